#include "udev_rule.h"

#include <filesystem>
#include <system_error>
#include <vector>

namespace quarvo {

std::string installedUdevRule()
{
#if defined(__linux__)
    constexpr const char* RULE = "70-quarvo-bootloader.rules";
    std::vector<std::filesystem::path> places;
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error)
        places.push_back(self.parent_path().parent_path() / "lib/udev/rules.d" / RULE);
    for (const char* directory :
         {"/usr/lib/udev/rules.d", "/lib/udev/rules.d", "/etc/udev/rules.d"})
        places.push_back(std::filesystem::path(directory) / RULE);
    for (const auto& place : places)
        if (std::filesystem::exists(place, error))
            return place.lexically_normal().string();
#endif
    return {};
}

} // namespace quarvo
