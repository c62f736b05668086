#include "app/GuiFrontEnd.h"

#include <QApplication>
#include <QByteArray>
#include <QMessageBox>
#include <string_view>

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
    // The volume sliders work on the sound system's mixer (ALSA, which reaches PulseAudio and PipeWire too).
    SetMixerBackend(MakeAlsaMixerBackend());
    Settings current = settings;
    QByteArray geometry;
    for (;;) {
        // The window may run in a module of its own, with its own copy of the sound and socket layers: it
        // sets them up here, not in the program that loaded it. They are made again when the settings
        // dialog has chosen other devices, once the previous window's link has closed every device.
        SetWaveBackend(MakeWaveBackend(current));
        MainDialog window(current, versionText, buildText);
        if (!geometry.isEmpty())
            window.restoreGeometry(geometry);
        window.Controller().EnableReach();
        window.Initialize();
        if (window.Run() != MainDialog::kRestart)
            break;
        geometry = window.saveGeometry();
        current = window.NewSettings();
        ReadSecret(current);
    }
    SetMixerBackend(nullptr);
    SetWaveBackend(nullptr);
    StopSockets();
    return 0;
}

std::unique_ptr<QMessageBox> MakeCommandLineErrorBox(const std::string& error) {
    // The console's line starts with the program's name, which the box's title already gives.
    constexpr std::string_view kPrefix = "qparlin: ";
    const std::string_view reason =
        std::string_view(error).substr(std::string_view(error).starts_with(kPrefix) ? kPrefix.size() : 0);
    auto box = std::make_unique<QMessageBox>(QMessageBox::Critical, "Q-Parlin",
                                             "Q-Parlin cannot start: its command line has an error.",
                                             QMessageBox::Close);
    box->setInformativeText(QString::fromUtf8(reason.data(), static_cast<qsizetype>(reason.size())) +
                            "\n\nCorrect the command (or the launcher that runs it); 'qparlin --help' in a "
                            "terminal lists the options.");
    return box;
}

int ShowCommandLineError(const std::string& error, int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Q-Parlin");
    MakeCommandLineErrorBox(error)->exec();
    return 2;
}
