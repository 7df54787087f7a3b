// The dialog's pictures are stored in the executable as PNG (about a hundredth of a bitmap's size)
// and decoded by the system's Windows Imaging Component (in every Windows since Vista, and wine)
// into the kind of bitmap LoadImage makes of a 24-bit BMP, so that GDI draws them as it did those.
#pragma once

#include <windows.h>

#include <string>

namespace quarvo {

// The PNG picture stored as RCDATA resource `id` of `module`, as a 24-bit bottom-up DIB section
// for the caller to delete; nullptr with the reason in `error` when it cannot be found or decoded.
HBITMAP loadPngPicture(HMODULE module, int id, std::string& error);

} // namespace quarvo
