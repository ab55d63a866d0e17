// The desktop program as a module the tessaryn executable loads only when it starts the window,
// so that a headless run never maps the GUI libraries.
#include "app/desktop.h"

extern "C" __attribute__((visibility("default"))) int tessaryn_run_desktop(
    int argc, char** argv, const tessaryn::DesktopOptions* options) {
    return tessaryn::runDesktop(argc, argv, *options);
}
