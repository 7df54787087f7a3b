#include "hidapi_backend.h"

#include "interface_listing.h"
#include "text_encoding.h"
#ifdef _WIN32
#include "windows_hid_list.h"
#endif

#include <hidapi.h>

#include <cerrno>
#include <string_view>

namespace quarvo {
namespace {

std::string narrow(const wchar_t* text) { return utf8FromWide(text); }

std::string errorText(hid_device* device, const char* fallback)
{
    std::string text = narrow(hid_error(device));
    return text.empty() ? fallback : text;
}

class HidapiConnection final : public HidConnection {
public:
    explicit HidapiConnection(hid_device* device) : m_device(device) {}
    ~HidapiConnection() override { hid_close(m_device); }
    HidapiConnection(const HidapiConnection&) = delete;
    HidapiConnection& operator=(const HidapiConnection&) = delete;

    int write(const std::uint8_t* data, std::size_t length) override
    {
        const int count = hid_write(m_device, data, length);
        if (count < 0) {
            m_error = errorText(m_device, "hid_write failed");
            return -1;
        }
        // Some platforms count the report id, some only the payload; both mean the whole report.
        if (static_cast<std::size_t>(count) + 1 == length)
            return static_cast<int>(length);
        return count;
    }

    int read(std::uint8_t* data, std::size_t length, int timeoutMs) override
    {
        if (length < 2) {
            m_error = "read buffer too small";
            return -1;
        }
        // Read the payload behind byte 0, then put the report id in front of it.
        errno = 0;
        const int count = hid_read_timeout(m_device, data + 1, length - 1, timeoutMs);
        // A signal ends hidapi's poll early; nothing has arrived yet, which the caller's
        // deadline handles (and the caller may be asked to stop).
        if (count < 0 && errno == EINTR)
            return 0;
        if (count < 0) {
            // From hidapi 0.15 on a failed read keeps its reason apart from other calls'.
#if defined(HID_API_VERSION) && HID_API_VERSION >= HID_API_MAKE_VERSION(0, 15, 0)
            const std::string reason = narrow(hid_read_error(m_device));
            m_error = reason.empty() ? "hid_read_timeout failed" : reason;
#else
            m_error = errorText(m_device, "hid_read_timeout failed");
#endif
            return -1;
        }
        if (count == 0)
            return 0;
        data[0] = 0;
        return count + 1;
    }

    std::string error() const override { return m_error; }

private:
    hid_device* m_device;
    std::string m_error;
};

// hidapi's own listing of the present interfaces.
ListingAnswer hidapiListing(std::uint16_t vendorId, std::uint16_t productId)
{
    ListingAnswer answer;
    hid_device_info* list = hid_enumerate(vendorId, productId);
    if (!list) {
        // hidapi answers an empty listing and a failed one alike, with a null list; only its
        // reason tells them apart ("No HID devices ... found in the system.").
        const std::string reason = narrow(hid_error(nullptr));
        answer.listed = std::string_view(reason).starts_with("No HID devices");
        if (!answer.listed)
            answer.failure = reason;
        return answer;
    }
    answer.listed = true;
    for (const hid_device_info* item = list; item; item = item->next) {
        HidDeviceInfo info;
        info.path = item->path ? item->path : "";
        info.vendorId = item->vendor_id;
        info.productId = item->product_id;
        info.product = narrow(item->product_string);
        info.serial = narrow(item->serial_number);
        answer.interfaces.push_back(std::move(info));
    }
    hid_free_enumeration(list);
    return answer;
}

} // namespace

HidapiBackend::HidapiBackend() : m_initialised(hid_init() == 0) {}

HidapiBackend::~HidapiBackend()
{
    if (m_initialised)
        hid_exit();
}

std::vector<HidDeviceInfo> HidapiBackend::enumerate(std::uint16_t vendorId, std::uint16_t productId)
{
    if (!m_initialised)
        return {};
#ifdef _WIN32
    // hidapi's own listing first, as everywhere; where it cannot list (wine lacks the calls it
    // uses, see windows_hid_list.h) the SetupAPI listing finds the same paths.
    ChosenListing chosen = chooseListing(
        {"hidapi", hidapiListing}, {"SetupAPI", listWindowsHidInterfaces}, vendorId, productId);
    const std::lock_guard lock(m_listingMutex);
    m_listingSource = std::move(chosen.account);
    return std::move(chosen.interfaces);
#else
    ListingAnswer answer = hidapiListing(vendorId, productId);
    return std::move(answer.interfaces);
#endif
}

std::string HidapiBackend::listingSource() const
{
    const std::lock_guard lock(m_listingMutex);
    return m_listingSource;
}

std::unique_ptr<HidConnection> HidapiBackend::open(const std::string& path, std::string& error)
{
    if (!m_initialised) {
        error = "hidapi could not be initialised";
        return nullptr;
    }
    hid_device* device = hid_open_path(path.c_str());
    if (!device) {
        error = errorText(nullptr, "hid_open_path failed");
        return nullptr;
    }
    return std::make_unique<HidapiConnection>(device);
}

std::string HidapiBackend::unavailableReason() const
{
    if (m_initialised)
        return {};
    const std::string reason = narrow(hid_error(nullptr));
    return "hidapi could not be initialised" + (reason.empty() ? std::string() : ": " + reason);
}

std::string HidapiBackend::libraryVersion() { return hid_version_str(); }

} // namespace quarvo
