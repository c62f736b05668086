// The window front end: runs the program's window until it closes.
#pragma once

#include "app/Settings.h"

#include <memory>
#include <string>

class QMessageBox;

int RunGuiFrontEnd(const Settings& settings, const std::string& versionText, const std::string& buildText,
                   int argc, char** argv);

// A command line that cannot be used, for a program started without a terminal (from a menu or a launcher,
// where nobody reads stderr): one error box that says what was wrong and where the options are told.
// Returns 2, the status of a bad command line.
int ShowCommandLineError(const std::string& error, int argc, char** argv);
// The box itself, not yet shown.
std::unique_ptr<QMessageBox> MakeCommandLineErrorBox(const std::string& error);
