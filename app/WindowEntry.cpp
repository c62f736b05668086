// The window module's exports (app/WindowModule.h): its stamp, the window front end and the error box for a
// bad command line.
#include <string>

#include "app/GuiFrontEnd.h"
#include "app/WindowModule.h"

extern "C" __attribute__((visibility("default"))) const char* qparlin_window_stamp() {
    static const std::string stamp = WindowModuleStamp();
    return stamp.c_str();
}

extern "C" __attribute__((visibility("default"))) int qparlin_run_window(const Settings& settings,
                                                                         const std::string& versionText,
                                                                         const std::string& buildText,
                                                                         int argc, char** argv) {
    return RunGuiFrontEnd(settings, versionText, buildText, argc, argv);
}

extern "C" __attribute__((visibility("default"))) int qparlin_show_command_line_error(
    const std::string& error, int argc, char** argv) {
    return ShowCommandLineError(error, argc, argv);
}
