# window-screenshot: the picture of the fully opened window in the README (tools/screenshot).
# Never installed.
add_executable(window-screenshot tools/screenshot.cpp)
target_link_libraries(window-screenshot PRIVATE mero_panel_qt mero_projector Qt6::Test)
