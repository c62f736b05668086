// The window as a module of its own: qparlin loads it only when it shows a window, so that a run without one
// (servers, --headless, no display) maps no Qt library and keeps its memory small. The module holds its own
// copy of the program's libraries; it makes its own wave backend from the settings it is given.
#pragma once

#include <string>

#include "app/VoiceApp.h"

// The module's exports (app/WindowEntry.cpp): the window, as a VoiceApp::WindowRunner, the error box for a
// bad command line, as a VoiceApp::ErrorWindow, and the stamp of the build it came from, which the loader
// compares with its own.
#define QPARLIN_WINDOW_ENTRY "qparlin_run_window"
#define QPARLIN_WINDOW_ERROR_BOX "qparlin_show_command_line_error"
#define QPARLIN_WINDOW_STAMP "qparlin_window_stamp"

// What a program and its module must agree on: the build (its date and time) and the size of the settings
// handed over.
std::string WindowModuleStamp();

// Loads the window module that belongs to this program: `module` (a path) when given, else the one installed
// beside it or built beside it. Null, with the reason in `problem`, when there is none that fits.
VoiceApp::WindowRunner LoadWindowModule(std::string& problem, const std::string& module = {});
// The same module's error box for a command line that cannot be used.
VoiceApp::ErrorWindow LoadCommandLineErrorWindow(std::string& problem, const std::string& module = {});
