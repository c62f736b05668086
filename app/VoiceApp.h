// The application object: forms the version and build texts, starts sockets, reads the command line
// into its settings and runs the front end until it ends.
#pragma once

#include <memory>
#include <string>
#include <vector>

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
    // Shows a bad command line's error in a box and returns the exit status.
    using ErrorWindow = int (*)(const std::string& error, int argc, char** argv);
    using ErrorWindowLoader = ErrorWindow (*)(std::string& problem);
    void SetErrorWindowLoader(ErrorWindowLoader loader) { errorWindowLoader_ = loader; }

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
    ErrorWindowLoader errorWindowLoader_ = nullptr;

    std::string versionText_;
    std::string buildText_;
    Settings settings_;
};

// Whether a command line that cannot be used is also shown in an error box: only where a window could be
// shown, the arguments ask for no console run (--headless, --help and the other one-shot actions), and
// stderr is no terminal, so that a copy started from a menu or launcher tells its user why it did not start,
// while one typed in a terminal or run by a script only prints and ends.
bool CommandLineErrorWantsWindow(const std::vector<std::string>& args, bool displayAvailable,
                                 bool stderrIsTerminal);
// "YYMMDD" from a date as the compiler writes it ("Jan  5 2007" gives "070105").
std::string BuildTextFromDate(const char* date);
// One sentence for a secret file that cannot be used: the file, the reason and what to do.
std::string SecretProblemText(const std::string& path, const std::string& problem);
// Reads settings.secretFile into settings.secret; a file that cannot be used leaves the secret empty and
// says why in settings.startProblem.
void ReadSecret(Settings& settings);
// The wave backend the settings choose.
std::unique_ptr<WaveBackend> MakeWaveBackend(const Settings& settings);
