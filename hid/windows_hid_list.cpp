#include "windows_hid_list.h"

#include "text_encoding.h"

#include "platform/windows_error.h"

#include <windows.h>

// MinGW-w64's hidsdi.h declares its functions without C linkage.
extern "C" {
#include <hidsdi.h>
}
#include <setupapi.h>

#include <memory>
#include <string>
#include <vector>

namespace quarvo {
namespace {

struct DeviceSetCloser {
    void operator()(HDEVINFO set) const { SetupDiDestroyDeviceInfoList(set); }
};
using DeviceSet = std::unique_ptr<void, DeviceSetCloser>;

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// The interface's device path, empty when the system no longer has it.
std::wstring interfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData)
{
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return {};
    // DWORD units keep the structure aligned.
    std::vector<DWORD> buffer(size / sizeof(DWORD) + 1);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, size, nullptr, nullptr))
        return {};
    return detail->DevicePath;
}

// "CALL failed: the system's reason (error N)".
std::string systemError(const std::string& call, DWORD error = GetLastError())
{
    const std::string reason = windowsErrorText(error);
    return call + " failed: " + (reason.empty() ? std::string() : reason + " ") + "(error " +
           std::to_string(error) + ")";
}

// A string the device reports, empty when it has none.
template <typename Query> std::string deviceString(HANDLE handle, Query query)
{
    wchar_t text[256] = {};
    // One character less than the buffer, so that the text always ends in a null.
    if (!query(handle, text, sizeof text - sizeof text[0]))
        return {};
    return utf8FromWide(text);
}

} // namespace

ListingAnswer listWindowsHidInterfaces(std::uint16_t vendorId, std::uint16_t productId)
{
    ListingAnswer answer;
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO present =
        SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (present == INVALID_HANDLE_VALUE) {
        answer.failure = systemError("SetupDiGetClassDevs");
        return answer;
    }
    const DeviceSet set(present);
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    std::vector<HidDeviceInfo>& found = answer.interfaces;
    DWORD index = 0;
    for (; SetupDiEnumDeviceInterfaces(set.get(), nullptr, &hidGuid, index, &interfaceData);
         ++index) {
        const std::wstring path = interfacePath(set.get(), interfaceData);
        if (path.empty())
            continue;
        // No access asked for: the attributes and strings of a device that the system holds open
        // for itself (a keyboard, a mouse) can still be read, as hidapi does.
        HANDLE opened = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (opened == INVALID_HANDLE_VALUE)
            continue;
        const Handle handle(opened);
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof attributes;
        if (!HidD_GetAttributes(handle.get(), &attributes) ||
            (vendorId != 0 && attributes.VendorID != vendorId) ||
            (productId != 0 && attributes.ProductID != productId))
            continue;
        HidDeviceInfo info;
        info.path = utf8FromWide(path.c_str());
        info.vendorId = attributes.VendorID;
        info.productId = attributes.ProductID;
        info.product = deviceString(handle.get(), HidD_GetProductString);
        info.serial = deviceString(handle.get(), HidD_GetSerialNumberString);
        found.push_back(std::move(info));
    }
    // The walk ends with "no more items"; another reason, before anything was found, is a
    // listing that failed.
    if (const DWORD error = GetLastError(); error != ERROR_NO_MORE_ITEMS && found.empty()) {
        answer.failure = systemError(
            "SetupDiEnumDeviceInterfaces (interface " + std::to_string(index) + ")", error);
        return answer;
    }
    answer.listed = true;
    return answer;
}

} // namespace quarvo
