// Growable bytes: payloads, queued frames, HTTP bodies.
#pragma once

#include <cstdint>

#include "base/GrowableBuffer.h"

using ByteBuffer = GrowableBuffer<uint8_t>;
