// The window front end: runs the program's window until it closes.
#pragma once

#include "app/Settings.h"

#include <string>

int RunGuiFrontEnd(const Settings& settings, const std::string& versionText, const std::string& buildText,
                   int argc, char** argv);
