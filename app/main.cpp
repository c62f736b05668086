// Entry point of qparlin: everything happens in VoiceApp.
#include "app/VoiceApp.h"

#if QPARLIN_GUI
#include "app/GuiFrontEnd.h"
#endif

int main(int argc, char** argv) {
    VoiceApp app;
#if QPARLIN_GUI
    app.SetWindowRunner(&RunGuiFrontEnd);
#endif
    return app.Run(argc, argv);
}
