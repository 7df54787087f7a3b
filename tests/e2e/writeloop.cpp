// quarvo-e2e-writeloop PAGES: the bare loop the updater's data phase is measured against. Opens
// the bootloader through hidapi, sends one program command for PAGES pages at 0xA000 and then the
// data reports back to back, with nothing else in between.
#include "hid/hid_device.h"
#include "hid/hidapi_backend.h"
#include "protocol/packet.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    using namespace quarvo;
    const unsigned long pages = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 0;
    if (pages == 0 || pages > 0xFFFF) {
        std::fprintf(stderr, "usage: quarvo-e2e-writeloop PAGES (1 to 65535)\n");
        return 2;
    }
    HidapiBackend backend;
    HidDevice device(backend);
    if (!device.open(VENDOR_ID, PRODUCT_ID)) {
        std::fprintf(stderr, "quarvo-e2e-writeloop: %s\n", device.lastError().c_str());
        return 1;
    }
    Report report;
    frameCommand(CMD_PROGRAM, 0xA000 >> 8, static_cast<std::uint32_t>(pages), report);
    if (!device.writeReport(report.data(), REPORT_SIZE, nullptr))
        return 1;
    std::vector<std::uint8_t> data(pages * 256, 0x5A);
    for (std::size_t offset = 0; offset < data.size(); offset += PAYLOAD_SIZE) {
        frameData(data.data() + offset, report);
        if (!device.writeReport(report.data(), REPORT_SIZE, nullptr)) {
            std::fprintf(stderr, "quarvo-e2e-writeloop: %s\n", device.lastError().c_str());
            return 1;
        }
    }
    return 0;
}
