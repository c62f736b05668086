// Entry point of qparlin: everything happens in VoiceApp.
#include "app/VoiceApp.h"

int main(int argc, char** argv) {
    VoiceApp app;
    return app.Run(argc, argv);
}
