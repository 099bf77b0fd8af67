# The configuration tool. Every unit in app/ except the program start goes into vexora_app, so
# that tests can build the windows; the executable adds main.
file(GLOB _vexora_app_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
list(REMOVE_ITEM _vexora_app_sources ${CMAKE_CURRENT_LIST_DIR}/Vexora.cpp)
add_library(vexora_app STATIC ${_vexora_app_sources})
set_target_properties(vexora_app PROPERTIES AUTOMOC ON)
target_include_directories(vexora_app PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(vexora_app PUBLIC vexora_toolkit vexora_operations vexora_widgets Qt6::Widgets)
vexora_warnings(vexora_app)

add_executable(vexora ${CMAKE_CURRENT_LIST_DIR}/Vexora.cpp)
target_link_libraries(vexora PRIVATE vexora_app)
vexora_warnings(vexora)

# What the Debian package installs: the tool, and its desktop entry and icon for the desktop's
# menu.
include(GNUInstallDirs)
install(TARGETS vexora RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/desktop/vexora.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/desktop/vexora.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
