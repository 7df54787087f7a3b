// quarvo-uhid-device: the simulated bootloader as a real HID device of the Linux kernel, made
// through /dev/uhid, so that hidapi and hidraw can be tested end to end. It answers with the same
// device model as the in-process simulator and, on SIGTERM or SIGINT, writes what the device holds
// into the output directory and removes the device.
//
//   quarvo-uhid-device [--scenario NAME] [--out DIR]
//
// uhid queues the host's output reports in a small kernel queue and drops them once it is full,
// so one thread at real-time priority does nothing but drain the kernel's events into a queue of
// our own; the main thread runs the device model from there.
#include "sim_device.h"

#include "protocol/packet.h"

#include <linux/uhid.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using namespace quarvo;

// Vendor-defined page, one collection with a 64-byte input and a 64-byte output report and no
// report ids.
constexpr unsigned char REPORT_DESCRIPTOR[] = {
    0x06, 0x00, 0xFF, // usage page (vendor defined 0xFF00)
    0x09, 0x01,       // usage 1
    0xA1, 0x01,       // collection (application)
    0x15, 0x00,       //   logical minimum 0
    0x26, 0xFF, 0x00, //   logical maximum 255
    0x75, 0x08,       //   report size 8
    0x95, 0x40,       //   report count 64
    0x09, 0x01,       //   usage 1
    0x81, 0x02,       //   input (data, variable, absolute)
    0x95, 0x40,       //   report count 64
    0x09, 0x01,       //   usage 1
    0x91, 0x02,       //   output (data, variable, absolute)
    0xC0,             // end collection
};
// Longest the main thread sleeps before it looks at the device model and the stop flag again.
constexpr int IDLE_WAIT_MS = 20;

std::atomic<bool> g_stop{false}; // set by the signal handler only

void onSignal(int) { g_stop = true; }

bool sendEvent(int fd, const uhid_event& event)
{
    return ::write(fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event);
}

// What the device model needs of a kernel event; uhid_event itself is over 4 KiB.
struct KernelEvent {
    std::uint32_t type;
    std::int64_t atUs;  // when the reader took it from the kernel
    std::uint32_t id;   // of a get or set report request
    std::uint16_t size; // of output data
    std::uint8_t data[REPORT_SIZE];
};

class EventQueue {
public:
    void push(const KernelEvent& event)
    {
        {
            const std::lock_guard lock(m_mutex);
            m_events.push_back(event);
        }
        m_ready.notify_one();
    }
    bool pop(KernelEvent& event, std::chrono::microseconds wait)
    {
        std::unique_lock lock(m_mutex);
        if (!m_ready.wait_for(lock, wait, [this] { return !m_events.empty(); }))
            return false;
        event = m_events.front();
        m_events.pop_front();
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<KernelEvent> m_events;
};

// Real-time priority below the maximum by `below`. The reader runs above the device model, and
// both above the host's writer, so that the writer only runs while the device keeps up (and a
// writer that preempts the model while it holds the queue's lock cannot starve the reader).
void raisePriority(int below, const char* who)
{
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO) - below;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0)
        std::fprintf(stderr, "quarvo-uhid-device: no real-time priority for the %s\n", who);
}

void drainKernel(int fd, EventQueue& queue, Clock& clock)
{
    raisePriority(1, "reader");
    uhid_event event{};
    for (;;) {
        const ssize_t got = ::read(fd, &event, sizeof event);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        KernelEvent kept{event.type, clock.nowUs(), 0, 0, {}};
        if (event.type == UHID_OUTPUT) {
            kept.size = std::min<std::uint16_t>(event.u.output.size, REPORT_SIZE);
            std::memcpy(kept.data, event.u.output.data, kept.size);
        } else if (event.type == UHID_GET_REPORT) {
            kept.id = event.u.get_report.id;
        } else if (event.type == UHID_SET_REPORT) {
            kept.id = event.u.set_report.id;
        }
        queue.push(kept);
    }
}

// The bootloader has no feature reports; a request for one is answered with an error at once so
// that the kernel does not wait for it.
void refuseReportRequest(int fd, const KernelEvent& request)
{
    uhid_event reply{};
    if (request.type == UHID_GET_REPORT) {
        reply.type = UHID_GET_REPORT_REPLY;
        reply.u.get_report_reply.id = request.id;
        reply.u.get_report_reply.err = EIO;
    } else {
        reply.type = UHID_SET_REPORT_REPLY;
        reply.u.set_report_reply.id = request.id;
        reply.u.set_report_reply.err = EIO;
    }
    sendEvent(fd, reply);
}

void writeSummary(const SimDevice& device, const std::string& dir)
{
    std::ofstream state(dir + "/state.txt");
    state << "restarted " << (device.restarted() ? "yes" : "no") << '\n';
    state << "unerased " << device.unerasedWriteCount() << '\n';
    state << "pending " << device.pendingProgramBytes() << '\n';
    const auto violations = device.violations();
    state << "violations " << violations.size() << '\n';
    for (const std::string& violation : violations)
        state << "violation " << violation << '\n';
    for (const SimDevice::Command& command : device.commands()) {
        char line[160];
        if (command.command == CMD_PROGRAM) {
            const std::uint32_t address = command.param1 * 256;
            std::snprintf(line, sizeof line, "program %08x %u %lld\n", address,
                          command.dataReceived,
                          static_cast<long long>(command.lastDataUs - command.firstDataUs));
            const auto bytes = device.flash(address, command.dataReceived);
            std::snprintf(line + 100, 60, "/region_%08x.bin", address);
            std::ofstream(dir + (line + 100), std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<long>(bytes.size()));
        } else {
            std::snprintf(line, sizeof line, "command %04x %u %u\n", command.command,
                          command.param1, command.param2);
        }
        state << line;
    }
}

struct Options {
    std::string scenario = "healthy";
    std::string outDir = ".";
    bool verbose = false;
};

// [--scenario NAME] [--out DIR] [--verbose]; nullopt on anything else.
std::optional<Options> parseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--verbose") {
            options.verbose = true;
        } else if ((arg == "--scenario" || arg == "--out") && i + 1 < argc) {
            (arg == "--scenario" ? options.scenario : options.outDir) = argv[++i];
        } else {
            return std::nullopt;
        }
    }
    return options;
}

// The kernel's side of the device: /dev/uhid, the device it creates there and the input reports
// sent to it.
class UhidDevice {
public:
    ~UhidDevice()
    {
        destroy();
        if (m_fd >= 0)
            ::close(m_fd);
    }

    // Opens /dev/uhid and creates the HID device with the bootloader's ids; false with a message.
    bool create()
    {
        m_fd = ::open("/dev/uhid", O_RDWR | O_CLOEXEC);
        if (m_fd < 0) {
            std::perror("quarvo-uhid-device: /dev/uhid");
            return false;
        }
        uhid_event create{};
        create.type = UHID_CREATE2;
        std::snprintf(reinterpret_cast<char*>(create.u.create2.name), sizeof create.u.create2.name,
                      "Quarvo simulated bootloader");
        create.u.create2.rd_size = sizeof REPORT_DESCRIPTOR;
        create.u.create2.bus = 0x03; // USB
        create.u.create2.vendor = VENDOR_ID;
        create.u.create2.product = PRODUCT_ID;
        std::memcpy(create.u.create2.rd_data, REPORT_DESCRIPTOR, sizeof REPORT_DESCRIPTOR);
        if (!sendEvent(m_fd, create)) {
            std::perror("quarvo-uhid-device: create");
            return false;
        }
        m_created = true;
        return true;
    }

    // The device vanishes, as when its cable is pulled; harmless when repeated.
    void destroy()
    {
        if (!m_created)
            return;
        uhid_event destroy{};
        destroy.type = UHID_DESTROY;
        sendEvent(m_fd, destroy);
        m_created = false;
    }

    bool sendInput(const std::uint8_t* payload, std::size_t size)
    {
        uhid_event input{};
        input.type = UHID_INPUT2;
        input.u.input2.size = static_cast<std::uint16_t>(size);
        std::memcpy(input.u.input2.data, payload, size);
        return sendEvent(m_fd, input);
    }

    int fd() const { return m_fd; }
    bool created() const { return m_created; }

private:
    int m_fd = -1;
    bool m_created = false;
};

// Runs the device model on the kernel's events until SIGTERM or SIGINT. Returns the number of
// output reports the kernel delivered.
unsigned long runEventLoop(UhidDevice& uhid, SimDevice& device, EventQueue& queue, Clock& clock,
                           bool verbose)
{
    bool open = false;
    unsigned long outputs = 0;
    std::string error;
    while (!g_stop) {
        // Sleep until the next event, the next input report or the idle bound, whichever is first.
        std::int64_t waitUs = std::int64_t{IDLE_WAIT_MS} * 1000;
        if (const std::int64_t due = device.nextInputDueUs(); open && due >= 0)
            waitUs = std::clamp<std::int64_t>(due - clock.nowUs(), 0, waitUs);
        KernelEvent event{};
        if (queue.pop(event, std::chrono::microseconds(waitUs))) {
            if (verbose)
                std::printf("%lld event %u taken at %lld\n", static_cast<long long>(clock.nowUs()),
                            event.type, static_cast<long long>(event.atUs));
            switch (event.type) {
            case UHID_OPEN:
                open = device.openLink(error);
                break;
            case UHID_CLOSE:
                if (open)
                    device.closeLink(event.atUs);
                open = false;
                break;
            case UHID_OUTPUT:
                ++outputs;
                if (open)
                    device.write(event.data, event.size, error);
                break;
            case UHID_GET_REPORT:
            case UHID_SET_REPORT:
                refuseReportRequest(uhid.fd(), event);
                break;
            default:
                break;
            }
        }
        if (uhid.created() && !device.present()) {
            uhid.destroy();
            open = false;
        }
        // Input reports go out only while the host has the device open, as with a USB endpoint.
        while (open && uhid.created()) {
            std::uint8_t report[REPORT_SIZE];
            const int count = device.read(report, sizeof report, 0, error);
            if (count <= 0)
                break;
            const bool sent = uhid.sendInput(report + 1, static_cast<std::size_t>(count - 1));
            if (verbose)
                std::printf("%lld input %d bytes %s\n", static_cast<long long>(clock.nowUs()),
                            count - 1, sent ? "sent" : "NOT SENT");
        }
    }
    return outputs;
}

} // namespace

int main(int argc, char** argv)
{
    const auto options = parseOptions(argc, argv);
    const auto scenario = options ? parseScenario(options->scenario) : std::nullopt;
    if (!scenario) {
        std::fprintf(stderr,
                     "usage: quarvo-uhid-device [--scenario NAME] [--out DIR] [--verbose]\n");
        return 2;
    }
    UhidDevice uhid;
    if (!uhid.create())
        return 1;
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);

    SteadyClock clock;
    SimDevice device(clock, *scenario, SimTiming{});
    EventQueue queue;
    std::thread(drainKernel, uhid.fd(), std::ref(queue), std::ref(clock)).detach();
    raisePriority(2, "device model");
    std::printf("quarvo-uhid-device: ready (%s)\n", scenario->name().c_str());
    std::fflush(stdout);

    const unsigned long outputs = runEventLoop(uhid, device, queue, clock, options->verbose);

    writeSummary(device, options->outDir);
    std::ofstream(options->outDir + "/state.txt", std::ios::app) << "outputs " << outputs << '\n';
    uhid.destroy();
    std::printf("quarvo-uhid-device: stopped\n");
    return 0;
}
