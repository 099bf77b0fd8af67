# The thread-to-main notification channel and the application's exception display.
add_library(vexora_safesync STATIC
    ${CMAKE_CURRENT_LIST_DIR}/AfSafeSync.cpp
    ${CMAKE_CURRENT_LIST_DIR}/AfApplicationException.cpp)
target_include_directories(vexora_safesync PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(vexora_safesync PUBLIC Qt6::Core vexora_platform)
vexora_warnings(vexora_safesync)
