// The system's own text for a Windows error code (FormatMessageW), in UTF-8, without the closing
// full stop and line break; empty when the system has none. Windows only.
#pragma once

#include <string>

namespace quarvo {

std::string windowsErrorText(unsigned long error);

} // namespace quarvo
