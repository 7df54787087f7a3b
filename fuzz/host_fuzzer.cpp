// libFuzzer harness for the host side: a HID backend whose every answer comes from the fuzz input
// (which interfaces are enumerated, which opens are refused, what each write and read reports and
// delivers) drives one command, the erase wait, programming, a region write or a half of the job.
// Besides crashes, hangs and leaks it stops on a broken promise: a result outside the documented
// set, or a bar left away from 0.
#include "fuzz_input.h"

#include "frontend/progress_model.h"
#include "job/flash_job.h"
#include "protocol/commands.h"
#include "sim/virtual_clock.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quarvo {
namespace {

class FuzzConnection final : public HidConnection {
public:
    FuzzConnection(FuzzInput& input, Clock& clock) : m_input(input), m_clock(clock) {}

    int write(const std::uint8_t*, std::size_t length) override
    {
        m_clock.sleepUntilUs(m_clock.nowUs() + m_input.byte());
        switch (m_input.empty() ? 7 : m_input.choose(8)) {
        case 0:
            return -1;
        case 1:
            return 0;
        case 2:
            return 33;
        case 3:
            return static_cast<int>(length) - 1;
        default:
            return static_cast<int>(length);
        }
    }

    int read(std::uint8_t* data, std::size_t length, int timeoutMs) override
    {
        // A used-up input is a device that has gone quiet: every wait runs to its bound.
        const unsigned choice = m_input.empty() ? 1 : m_input.choose(8);
        if (choice == 1 || choice == 2) {
            const std::int64_t tookMs = choice == 1 ? timeoutMs : m_input.byte() % (timeoutMs + 1);
            m_clock.sleepUntilUs(m_clock.nowUs() + tookMs * 1000);
            return 0;
        }
        if (choice == 0)
            return -1;
        const std::size_t count = 1 + m_input.choose(static_cast<unsigned>(length));
        data[0] = 0;
        m_input.fill({data + 1, count - 1});
        if (choice == 7 && count >= 5)
            std::memcpy(data + 1, "over", 4);
        return static_cast<int>(count);
    }

    std::string error() const override { return "fuzzed failure"; }

private:
    FuzzInput& m_input;
    Clock& m_clock;
};

class FuzzBackend final : public HidBackend {
public:
    explicit FuzzBackend(FuzzInput& input) : m_input(input) {}

    std::vector<HidDeviceInfo> enumerate(std::uint16_t, std::uint16_t) override
    {
        std::vector<HidDeviceInfo> list(m_input.empty() ? 1 : m_input.choose(4));
        for (HidDeviceInfo& info : list) {
            info.path = "fuzz";
            const bool match = m_input.choose(4) != 0 || m_input.empty();
            info.vendorId = match ? VENDOR_ID : static_cast<std::uint16_t>(m_input.u32());
            info.productId = match ? PRODUCT_ID : static_cast<std::uint16_t>(m_input.u32());
        }
        return list;
    }

    std::unique_ptr<HidConnection> open(const std::string&, std::string& error) override
    {
        if (!m_input.empty() && m_input.choose(8) == 0) {
            error = "Permission denied";
            return nullptr;
        }
        return std::make_unique<FuzzConnection>(m_input, m_clock);
    }

    Clock& clock() override { return m_clock; }

private:
    FuzzInput& m_input;
    VirtualClock m_clock;
};

// Keeps what a bar shows; texts and message boxes are only counted.
class CheckingSurface final : public OutputSurface {
public:
    void setStatus(const std::string& text) override { lastStatus = text; }
    void setProgressRange(std::uint32_t maximum) override { bar.setRange(maximum); }
    void setProgressPos(std::uint32_t position) override { bar.setPos(position); }
    void showMessage(const std::string&) override {}
    void beginStep(const StepInfo&) override {}

    std::string lastStatus;
    ProgressModel bar;
};

std::vector<std::uint8_t> regionBuffer(FuzzInput& input, std::int32_t length)
{
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(length) + BUFFER_SLACK);
    input.fill({buffer.data(), std::min<std::size_t>(buffer.size(), 64)});
    return buffer;
}

void run(FuzzInput& input)
{
    FuzzBackend backend(input);
    CheckingSurface surface;
    CommandContext ctx{backend, surface};
    const unsigned operation = input.choose(7);
    // Small regions keep each run short; the shapes that matter (a partial page, a whole sector)
    // all occur below this.
    const auto length = static_cast<std::int32_t>((input.u32() & 0xFFFF) % 9000);
    switch (operation) {
    case 0: {
        const std::uint32_t count = input.u32();
        const int result = eraseBlocks(ctx, input.u32(), count);
        check(result == 0 || static_cast<std::uint32_t>(result) == count, "erase result");
        break;
    }
    case 1: {
        const int result = restartDevice(ctx);
        check(result == 0 || result == -1, "restart result");
        break;
    }
    case 2: {
        HidDevice device(backend);
        if (!openBootloader(ctx, device, "erase"))
            break;
        const std::uint32_t count = input.choose(16);
        if (eraseBlocks(ctx, device, 10, count) == 0)
            break;
        const int result = waitEraseProgress(ctx, device, count);
        check(result == -1 || (result >= 64 && result < 128), "erase wait result");
        check(surface.bar.shown() == 0, "bar after the erase wait");
        break;
    }
    case 3: {
        const std::uint32_t pages = input.choose(24);
        std::vector<std::uint8_t> data(input.choose(2) ? pages * 256 : input.choose(256) * 24);
        input.fill({data.data(), std::min<std::size_t>(data.size(), 64)});
        const unsigned result = programPages(ctx, data, 0xA0, pages);
        check(result == 0 || result == pages * 256, "program result");
        check(result == 0 || data.size() >= pages * 256, "program past the data");
        check(surface.bar.shown() == 0, "bar after programming");
        break;
    }
    case 4: {
        auto buffer = regionBuffer(input, length);
        const int result = writeRegion(ctx, buffer, length, CODE_ADDRESS);
        check(result == 0 || result == -1 || result == -2, "region result");
        check(surface.bar.shown() == 0, "bar after a region");
        break;
    }
    case 5:
    case 6: {
        auto buffer = regionBuffer(input, length);
        const bool code = operation == 5;
        const bool ok = code ? writeCode(ctx, buffer, length) : writeDatabase(ctx, buffer, length);
        check(surface.bar.shown() == 0, "bar after a half of the job");
        check(!ok || length > 0, "success with an empty file");
        check(code || ok == (surface.lastStatus == "更新成功!"), "success text without success");
        break;
    }
    default:
        break;
    }
}

} // namespace
} // namespace quarvo

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    quarvo::FuzzInput input(data, size);
    quarvo::run(input);
    return 0;
}
