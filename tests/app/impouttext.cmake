# "Imp Out" as a read shows it: the text that writes the register back.
if(TARGET vexora_operations)
    vexora_add_test(test_mbus_imp_out_text SOURCES ${CMAKE_CURRENT_LIST_DIR}/ImpOutTextTest.cpp
        LIBS vexora_operations LABELS app)
endif()
