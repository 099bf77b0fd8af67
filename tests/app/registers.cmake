# The register values the tool writes, from field values.
vexora_add_test(test_mbus_registers SOURCES ${CMAKE_CURRENT_LIST_DIR}/RegistersTest.cpp
    LIBS vexora_mbus LABELS app)
