#include "app/GuiFrontEnd.h"

#include <QApplication>

#include "app/MainDialog.h"
#include "platform/mixer/Mixer.h"

int RunGuiFrontEnd(const Settings& settings, const std::string& versionText, const std::string& buildText,
                   int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Q-Parlin");
    Q_INIT_RESOURCE(qparlin);
    QApplication::setWindowIcon(QIcon(":/images/icon-128.png"));
    // The volume sliders work on the sound system's mixer (ALSA, which reaches PulseAudio and PipeWire too).
    SetMixerBackend(MakeAlsaMixerBackend());
    {
        MainDialog window(settings, versionText, buildText);
        window.Initialize();
        window.Run();
    }
    SetMixerBackend(nullptr);
    return 0;
}
