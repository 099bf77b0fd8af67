# Response decoding: the checks, the record decoding and the frames captured from real meters.
set(VEXORA_MBUS_FRAMES_DIR "" CACHE PATH
    "Folder of the captured M-Bus frames (default: ../shared/mbus-frames beside the source tree)")
if(VEXORA_MBUS_FRAMES_DIR)
    set(_decode_frames_dir ${VEXORA_MBUS_FRAMES_DIR})
else()
    cmake_path(ABSOLUTE_PATH PROJECT_SOURCE_DIR NORMALIZE OUTPUT_VARIABLE _decode_frames_dir)
    cmake_path(APPEND _decode_frames_dir .. shared mbus-frames)
    cmake_path(NORMAL_PATH _decode_frames_dir)
endif()
vexora_add_test(test_mbus_decode
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/DecodeTest.cpp ${CMAKE_CURRENT_LIST_DIR}/DecodeRealFramesTest.cpp
    LIBS vexora_mbus LABELS app)
target_compile_definitions(test_mbus_decode PRIVATE VEXORA_MBUS_FRAMES_DIR="${_decode_frames_dir}")
