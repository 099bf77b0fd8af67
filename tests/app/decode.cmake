# Response decoding: the checks, the record decoding and the frames captured from real meters,
# which the repository keeps under tests/data/mbus-frames.
vexora_add_test(test_mbus_decode
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/DecodeTest.cpp ${CMAKE_CURRENT_LIST_DIR}/DecodeRealFramesTest.cpp
    LIBS vexora_mbus LABELS app)
target_compile_definitions(test_mbus_decode
    PRIVATE VEXORA_MBUS_FRAMES_DIR="${PROJECT_SOURCE_DIR}/tests/data/mbus-frames")
