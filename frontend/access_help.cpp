#include "access_help.h"

#include "platform/udev_rule.h"

namespace quarvo {

std::string linuxAccessHelp(const std::string& installedRule)
{
    // One command, a step per line: a shell reads on after a line that ends in &&, so it can be
    // copied from the box as it stands.
    constexpr const char* APPLY = "sudo udevadm control --reload-rules &&\nsudo udevadm trigger";
    std::string help = "已找到更新模式中的設備，但目前的使用者沒有開啟它的權限。\n\n";
    if (!installedRule.empty()) {
        help += "允許開啟設備的 udev 規則已安裝在：\n" + installedRule +
                "\n\n請在終端機執行下列指令讓 udev 套用這條規則，然後拔下並重新插上設備，再按"
                "「更新」：\n\n";
        help += APPLY;
    } else {
        help += "請在原始碼目錄的終端機中執行下列指令，安裝並套用 udev 規則，然後拔下並重新插上"
                "設備，再按「更新」：\n\n";
        help += std::string("sudo cp ") + SOURCE_UDEV_RULE + " /etc/udev/rules.d/ &&\n" + APPLY;
    }
    return help;
}

} // namespace quarvo
