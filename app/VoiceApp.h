// The application object: forms the version and build texts, starts sockets, reads the command line
// into its settings and runs the front end until it ends.
#pragma once

#include <memory>
#include <string>

#include "app/Settings.h"

class WaveBackend;

class VoiceApp {
public:
    // Runs the window until it closes; returns the exit status.
    using WindowRunner = int (*)(const Settings& settings, const std::string& versionText,
                                 const std::string& buildText, int argc, char** argv);
    // Finds the window when one is to be shown: null, with the reason in `problem`, when it cannot be.
    // Builds without the window leave it unset.
    using WindowLoader = WindowRunner (*)(std::string& problem);
    void SetWindowLoader(WindowLoader loader) { windowLoader_ = loader; }

    // Returns the process exit status: 0 after a normal run, 2 for a bad command line.
    int Run(int argc, char** argv);

private:
    int RunFrontEnd(int argc, char** argv);
    int RunConsole();
    // What the settings file remembers, under the command line.
    void ApplyRememberedSettings(int argc, char** argv);
    // True when a window can be shown: a display, or a Qt platform chosen in the environment.
    static bool DisplayAvailable();

    WindowLoader windowLoader_ = nullptr;

    std::string versionText_;
    std::string buildText_;
    Settings settings_;
};

// "YYMMDD" from a date as the compiler writes it ("Jan  5 2007" gives "070105").
std::string BuildTextFromDate(const char* date);
// One sentence for a secret file that cannot be used: the file, the reason and what to do.
std::string SecretProblemText(const std::string& path, const std::string& problem);
// Reads settings.secretFile into settings.secret; a file that cannot be used leaves the secret empty and
// says why in settings.startProblem.
void ReadSecret(Settings& settings);
// The wave backend the settings choose.
std::unique_ptr<WaveBackend> MakeWaveBackend(const Settings& settings);
