#include "app/GuiFrontEnd.h"

#include <QApplication>

#include "app/MainDialog.h"
#include "app/VoiceApp.h"
#include "base/Socket.h"
#include "platform/mixer/Mixer.h"
#include "platform/wave/Wave.h"

int RunGuiFrontEnd(const Settings& settings, const std::string& versionText, const std::string& buildText,
                   int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Q-Parlin");
    Q_INIT_RESOURCE(qparlin);
    QApplication::setWindowIcon(QIcon(":/images/icon-128.png"));
    // The window may run in a module of its own, with its own copy of the sound and socket layers: it sets
    // them up here, not in the program that loaded it.
    SetWaveBackend(MakeWaveBackend(settings));
    // The volume sliders work on the sound system's mixer (ALSA, which reaches PulseAudio and PipeWire too).
    SetMixerBackend(MakeAlsaMixerBackend());
    {
        MainDialog window(settings, versionText, buildText);
        window.Controller().EnableReach();
        window.Initialize();
        window.Run();
    }
    SetMixerBackend(nullptr);
    SetWaveBackend(nullptr);
    StopSockets();
    return 0;
}
