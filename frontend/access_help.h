// What the window tells a Linux user whose bootloader is attached but may not be opened: that the
// udev rule grants the access, and the one command that applies it.
#pragma once

#include <string>

namespace quarvo {

// `installedRule`: the installed rule's path; empty when running from a build tree, where the
// command installs the rule from the source tree first.
std::string linuxAccessHelp(const std::string& installedRule);

} // namespace quarvo
