// One posted message: the value and its two parameters, as window and thread messages carry them.
#pragma once

#include <cstdint>

using WPARAM = uintptr_t;
using LPARAM = intptr_t;

struct Message {
    uint32_t message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

// Ends a MessageThread's loop; wParam is the thread's exit code.
constexpr uint32_t WM_QUIT = 0x0012;
