find_package(Qt6 REQUIRED COMPONENTS Test)
vexora_add_test(test_toolkit
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ToolkitTestApp.cpp
            ${CMAKE_CURRENT_LIST_DIR}/SpinEditTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/GaugeTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/GroupBoxTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/DropDownListTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/FloatFormatTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/StrToFloatTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/MessageBoxTest.cpp
            ${CMAKE_CURRENT_LIST_DIR}/PumpWaitTest.cpp
    LIBS vexora_toolkit Qt6::Test
    LABELS toolkit)
target_include_directories(test_toolkit PRIVATE ${CMAKE_CURRENT_LIST_DIR})
