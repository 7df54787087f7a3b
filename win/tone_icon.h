// The journey line's icons, drawn as the Qt window draws them: a filled disc with, in white, a
// tick for success, a cross for failure, the hands of a clock while the device is silent. Drawn
// at the size asked for, smoothed (each pixel sampled 4 x 4 times), with an alpha channel.
#pragma once

#include "frontend/journey.h"

#include <windows.h>

namespace quarvo {

// The icon for `tone` at `size` x `size` pixels, for the caller to destroy; nullptr for the tones
// without one (idle, running) or when the system could not make it.
HICON drawToneIcon(JourneyTone tone, int size);

} // namespace quarvo
