# The port configuration dialog (Qt Widgets), which installs itself as the platform's
# CommConfigDialogA. Only where Widgets are built.
if(TARGET Qt6::Widgets)
    add_library(vexora_commdialog STATIC ${CMAKE_CURRENT_LIST_DIR}/AfCommConfigDialog.cpp)
    target_include_directories(vexora_commdialog PUBLIC ${CMAKE_CURRENT_LIST_DIR})
    target_link_libraries(vexora_commdialog PUBLIC vexora_serial_pure vexora_platform Qt6::Widgets)
    vexora_warnings(vexora_commdialog)
endif()
