// Anything that takes posted messages: the main window, the console loop, a message thread. Posting
// never waits for the receiver.
#pragma once

#include "platform/Message.h"

class MessageTarget {
public:
    virtual ~MessageTarget() = default;
    virtual void Post(uint32_t message, WPARAM wParam, LPARAM lParam) = 0;
};
