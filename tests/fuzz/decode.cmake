# libFuzzer target over the response decoders (clang, VEXORA_FUZZ only).
add_executable(fuzz_mbus_decode ${CMAKE_CURRENT_LIST_DIR}/DecodeFuzz.cpp)
target_link_libraries(fuzz_mbus_decode PRIVATE vexora_mbus)
target_link_options(fuzz_mbus_decode PRIVATE -fsanitize=fuzzer)
vexora_warnings(fuzz_mbus_decode)
