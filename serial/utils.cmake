# AfUtils: small header-only helpers of the serial component (handle release).
add_library(vexora_utils INTERFACE)
target_include_directories(vexora_utils INTERFACE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(vexora_utils INTERFACE vexora_platform)
