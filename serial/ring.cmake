# The pure parts of the serial component: the byte ring and the line settings with their DCB
# mapping. No device, no thread, no Qt.
add_library(vexora_serial_pure STATIC
    ${CMAKE_CURRENT_LIST_DIR}/AfCircularBuffer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/AfLineSettings.cpp)
target_include_directories(vexora_serial_pure PUBLIC ${CMAKE_CURRENT_LIST_DIR}
                                                     ${CMAKE_CURRENT_LIST_DIR}/platform)
vexora_warnings(vexora_serial_pure)
