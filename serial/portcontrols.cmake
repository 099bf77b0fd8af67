# The port selection box (Qt Widgets). Only where Widgets are built.
if(TARGET Qt6::Widgets)
    add_library(vexora_portcontrols STATIC ${CMAKE_CURRENT_LIST_DIR}/AfPortControls.cpp)
    target_include_directories(vexora_portcontrols PUBLIC ${CMAKE_CURRENT_LIST_DIR})
    target_link_libraries(vexora_portcontrols PUBLIC vexora_component Qt6::Widgets)
    vexora_warnings(vexora_portcontrols)
endif()
