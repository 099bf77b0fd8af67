# The port core with its event and write threads, and the thread base class.
add_library(vexora_core STATIC
    ${CMAKE_CURRENT_LIST_DIR}/AfThread.cpp
    ${CMAKE_CURRENT_LIST_DIR}/AfComPortCore.cpp)
target_include_directories(vexora_core PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(vexora_core PUBLIC vexora_serial_pure vexora_safesync vexora_platform vexora_utils)
vexora_warnings(vexora_core)
