// Growable 16-bit samples: decoder output and codec scratch space.
#pragma once

#include <cstdint>

#include "base/GrowableBuffer.h"

using SampleBuffer = GrowableBuffer<int16_t>;
