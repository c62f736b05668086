// What the call controller needs from a front end: a status line, the button states, the level meters, the
// mute buttons, and the exchange of the host and port fields. The window and the console implement it.
#pragma once

#include <string>

class CallView {
public:
    virtual ~CallView() = default;
    virtual void ShowStatus(const std::string& text) = 0;
    virtual void EnableButtons(bool connectAndListen, bool disconnect) = 0;
    virtual void ShowLevels(int microphone, int speaker) = 0;
    virtual void ShowMuteButtons(bool speakersMuted, bool microphoneMuted) = 0;
    // Reads the fields into the arguments. False when a field failed its check (the view has told the
    // user why); the arguments then hold what the view could read.
    virtual bool ReadFields(std::string& host, int& port, bool& muteSpeakers, bool& muteMicrophone) = 0;
    virtual void WriteFields(const std::string& host, int port, bool muteSpeakers, bool muteMicrophone) = 0;
};
