// Entry point of qparlin: everything happens in VoiceApp.
#include "app/VoiceApp.h"

#if QPARLIN_GUI
#include "app/WindowModule.h"
#endif

int main(int argc, char** argv) {
    VoiceApp app;
#if QPARLIN_GUI
    app.SetWindowLoader([](std::string& problem) { return LoadWindowModule(problem); });
    app.SetErrorWindowLoader([](std::string& problem) { return LoadCommandLineErrorWindow(problem); });
#endif
    return app.Run(argc, argv);
}
