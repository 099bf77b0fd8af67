# The serial port component, the component base and the data dispatcher link. QtCore only,
# through the notification channel.
add_library(vexora_component STATIC
    ${CMAKE_CURRENT_LIST_DIR}/AfComponent.cpp
    ${CMAKE_CURRENT_LIST_DIR}/AfDataDispatcher.cpp
    ${CMAKE_CURRENT_LIST_DIR}/AfComPort.cpp)
target_include_directories(vexora_component PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(vexora_component PUBLIC vexora_core)
vexora_warnings(vexora_component)
