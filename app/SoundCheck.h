// The check at start that sound can be had at all: the recording and playback devices the settings choose
// are opened in the call's format and closed again, so that a program with no sound device, an unusable WAV
// file or a device number that does not exist says so at once instead of listening without sound.
#pragma once

#include <string>

#include "app/Settings.h"

// Empty when both devices open on the current wave backend; otherwise one sentence naming the device, the
// reason and what to do. An input WAV file at another rate than the format's passes while the format is not
// chosen (no -a) and a session may agree the peer's.
std::string CheckSoundDevices(const Settings& settings);
