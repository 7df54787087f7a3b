#include "sim_device.h"

#include <algorithm>
#include <cstring>

namespace quarvo {
namespace {

constexpr std::size_t RECORD_SIZE = 64;
constexpr std::size_t MAX_LISTED_UNERASED = 1024;
constexpr int SHORT_WRITE_COUNT = 33;

// Releases the device's lock while the clock runs, so that inspection never waits on a transfer.
void sleepUnlocked(std::unique_lock<std::mutex>& lock, Clock& clock, std::int64_t untilUs)
{
    lock.unlock();
    clock.sleepUntilUs(untilUs);
    lock.lock();
}

} // namespace

SimDevice::SimDevice(Clock& clock, SimScenario scenario, SimTiming timing)
    : m_clock(clock), m_scenario(scenario), m_timing(timing),
      m_attachedAtUs(
          scenario.fault == Fault::Late ? clock.nowUs() + std::int64_t{scenario.at} * 1000000 : 0)
{
}

bool SimDevice::goneLocked() const
{
    return m_scenario.fault == Fault::Absent || m_disconnected || m_clock.nowUs() < m_attachedAtUs;
}

bool SimDevice::present() const
{
    std::lock_guard lock(m_mutex);
    return !goneLocked();
}

void SimDevice::setConnected(bool connected)
{
    std::lock_guard lock(m_mutex);
    m_disconnected = !connected;
}

void SimDevice::setOpenRefused(bool refused)
{
    std::lock_guard lock(m_mutex);
    m_openRefused = refused;
}

bool SimDevice::openLink(std::string& error)
{
    std::lock_guard lock(m_mutex);
    if (goneLocked()) {
        error = "No such device";
        return false;
    }
    if (m_scenario.fault == Fault::OpenRefused || m_openRefused) {
        error = "Permission denied";
        return false;
    }
    if (m_linkOpen) {
        error = "Device or resource busy";
        return false;
    }
    m_linkOpen = true;
    ++m_links;
    return true;
}

void SimDevice::closeLink(std::int64_t closedAtUs)
{
    std::lock_guard lock(m_mutex);
    // Whatever became due while this link was open was delivered to it; unread, it is lost now.
    const std::int64_t now =
        closedAtUs >= 0 ? std::min(closedAtUs, m_clock.nowUs()) : m_clock.nowUs();
    while (!m_input.empty() && m_input.front().readyUs <= now)
        m_input.pop_front();
    while (m_endlessNextUs >= 0 && m_endlessNextUs <= now)
        m_endlessNextUs += m_timing.endlessRecordUs;
    m_linkOpen = false;
}

std::int64_t SimDevice::nextInputDueUs()
{
    std::lock_guard lock(m_mutex);
    const Pending* next = nextPending();
    return next ? next->readyUs : -1;
}

void SimDevice::record(bool out, int count, const std::uint8_t* data, std::size_t length)
{
    if (!m_recordTraffic)
        return;
    Traffic entry{out, m_clock.nowUs(), m_links, count, {}};
    std::memcpy(entry.bytes.data(), data, std::min(length, entry.bytes.size()));
    m_traffic.push_back(entry);
}

void SimDevice::violation(std::string text) { m_violations.push_back(std::move(text)); }

int SimDevice::write(const std::uint8_t* data, std::size_t length, std::string& error)
{
    std::unique_lock lock(m_mutex);
    if (goneLocked()) {
        error = "device disconnected";
        return -1;
    }
    if (!m_linkOpen) {
        error = "link not open";
        return -1;
    }
    const unsigned number = ++m_writes;
    const bool faultHere = m_scenario.at == number;
    const bool stalled = m_scenario.fault == Fault::Stall && number >= m_scenario.at;

    // A busy or stalled device does not take the report; the host's transport gives up after its
    // own bound.
    std::int64_t now = m_clock.nowUs();
    if (stalled || m_busyUntilUs - now > m_timing.writeBoundUs) {
        sleepUnlocked(lock, m_clock, now + m_timing.writeBoundUs);
        error = "Connection timed out";
        return -1;
    }
    if (m_scenario.fault == Fault::WriteFail && faultHere) {
        error = "write failed (simulated)";
        return -1;
    }
    if (m_busyUntilUs > now)
        sleepUnlocked(lock, m_clock, m_busyUntilUs);
    if (m_timing.reportUs > 0)
        sleepUnlocked(lock, m_clock, m_clock.nowUs() + m_timing.reportUs);

    if (faultHere &&
        (m_scenario.fault == Fault::ShortWrite || m_scenario.fault == Fault::ZeroWrite)) {
        const int count = m_scenario.fault == Fault::ShortWrite ? SHORT_WRITE_COUNT : 0;
        record(true, count, data, length);
        return count;
    }
    if (length != REPORT_SIZE || data[0] != 0)
        violation("output report of " + std::to_string(length) + " bytes with report id " +
                  std::to_string(length ? data[0] : 0));
    record(true, static_cast<int>(REPORT_SIZE), data, length);
    if (length == REPORT_SIZE)
        takeReport(data + 1);
    if (m_scenario.fault == Fault::Disconnect && number >= m_scenario.at)
        m_disconnected = true;
    return static_cast<int>(REPORT_SIZE);
}

void SimDevice::takeReport(const std::uint8_t* payload)
{
    if (m_programRemaining > 0) {
        const std::uint32_t count = std::min<std::uint32_t>(PAYLOAD_SIZE, m_programRemaining);
        programChunk(m_programAddress, payload, count);
        m_programAddress += count;
        m_programRemaining -= count;
        Command& command = m_commands.back();
        command.lastDataUs = m_clock.nowUs();
        if (command.dataReceived == 0)
            command.firstDataUs = command.lastDataUs;
        command.dataReceived += count;
        return;
    }
    const CommandPacket packet = decodePacket(payload);
    if (packet.signature != PACKET_SIGNATURE) {
        violation("command report without the HIDC signature");
        return;
    }
    if (packet.checksum != packetChecksum(payload, CHECKSUMMED_SIZE)) {
        violation("command report with a wrong checksum");
        return;
    }
    runCommand(packet);
}

void SimDevice::runCommand(const CommandPacket& packet)
{
    m_commands.push_back({packet.command, packet.param1, packet.param2, 0, 0, 0});
    switch (packet.command) {
    case CMD_ERASE:
        startErase(packet.param1, packet.param2);
        break;
    case CMD_PROGRAM: {
        const std::uint64_t end = (std::uint64_t{packet.param1} + packet.param2) * 256;
        if (end > SIM_FLASH_SIZE)
            violation("program command beyond the end of flash");
        m_programAddress = packet.param1 * 256;
        m_programRemaining = packet.param2 * 256;
        break;
    }
    case CMD_RESTART:
        if (packet.param1 != RESTART_PARAM1 || packet.param2 != RESTART_PARAM2)
            violation("restart command with wrong parameters");
        else
            m_restarted = true;
        break;
    default:
        violation("unknown command 0x" + [&] {
            char text[8];
            std::snprintf(text, sizeof text, "%04x", packet.command);
            return std::string(text);
        }());
    }
}

void SimDevice::startErase(std::uint32_t firstSector, std::uint32_t count)
{
    const std::uint64_t end = std::uint64_t{firstSector} + count;
    if (end * SIM_SECTOR_SIZE > SIM_FLASH_SIZE)
        violation("erase command beyond the end of flash");
    for (std::uint64_t index = firstSector; index < end && index * SIM_SECTOR_SIZE < SIM_FLASH_SIZE;
         ++index) {
        Sector& s = sector(static_cast<std::uint32_t>(index));
        s.data.fill(0xFF);
        s.erased.set();
    }
    const bool instant = m_scenario.fault == Fault::InstantErase;
    const std::int64_t sectorUs = instant ? 0 : m_timing.sectorEraseUs;
    const std::int64_t start = m_clock.nowUs() + (instant ? 0 : m_timing.firstRecordUs);
    m_busyUntilUs = start + static_cast<std::int64_t>(count) * sectorUs;
    if (m_scenario.fault == Fault::Silent)
        return;
    if (m_scenario.fault == Fault::Endless) {
        m_endlessNextUs = start;
        return;
    }
    // One record each time the percentage of sectors done changes, sent when the sector that
    // changes it is done: at most 101 records, whatever the count.
    std::uint8_t record[RECORD_SIZE] = {};
    for (std::uint64_t i = 1; i <= count;) {
        const std::uint64_t percent = i * 100 / count;
        storeLe32(record, static_cast<std::uint32_t>(percent));
        queueRecord(start + static_cast<std::int64_t>(i) * sectorUs, record);
        // The first sector at which the percentage reaches the next value.
        i = std::max(i + 1, ((percent + 1) * count + 99) / 100);
    }
    std::memcpy(record, "over", 4);
    queueRecord(m_busyUntilUs, record);
}

void SimDevice::queueRecord(std::int64_t readyUs, const std::uint8_t* record)
{
    switch (m_scenario.fault) {
    case Fault::Split32:
        m_input.push_back({readyUs, {record, record + 32}});
        m_input.push_back({readyUs, {record + 32, record + 64}});
        break;
    case Fault::Split40: {
        m_input.push_back({readyUs, {record, record + 40}});
        std::vector<std::uint8_t> rest(record + 40, record + 64);
        rest.resize(40, 0);
        m_input.push_back({readyUs, std::move(rest)});
        break;
    }
    default:
        m_input.push_back({readyUs, {record, record + RECORD_SIZE}});
    }
}

const SimDevice::Pending* SimDevice::nextPending()
{
    if (m_input.empty() && m_endlessNextUs >= 0) {
        std::uint8_t record[RECORD_SIZE] = {};
        storeLe32(record,
                  static_cast<std::uint32_t>(m_endlessNextUs / m_timing.endlessRecordUs % 100));
        queueRecord(m_endlessNextUs, record);
        m_endlessNextUs += m_timing.endlessRecordUs;
    }
    return m_input.empty() ? nullptr : &m_input.front();
}

int SimDevice::read(std::uint8_t* data, std::size_t length, int timeoutMs, std::string& error)
{
    std::unique_lock lock(m_mutex);
    if (goneLocked()) {
        error = "device disconnected";
        return -1;
    }
    if (!m_linkOpen) {
        error = "link not open";
        return -1;
    }
    const unsigned number = ++m_reads;
    if (m_scenario.fault == Fault::ReadFail && number == m_scenario.at) {
        error = "read failed (simulated)";
        return -1;
    }
    const std::int64_t deadline = m_clock.nowUs() + std::int64_t{std::max(timeoutMs, 0)} * 1000;
    for (;;) {
        if (goneLocked()) {
            error = "device disconnected";
            return -1;
        }
        const bool stalled = m_scenario.fault == Fault::Stall && m_writes >= m_scenario.at;
        const Pending* next = stalled ? nullptr : nextPending();
        const std::int64_t now = m_clock.nowUs();
        if (next && next->readyUs <= now) {
            data[0] = 0;
            if (m_scenario.fault == Fault::EmptyRead && number == m_scenario.at) {
                record(false, 1, data, 1);
                return 1;
            }
            const std::size_t count = std::min(next->payload.size(), length - 1);
            if (count > 0)
                std::memcpy(data + 1, next->payload.data(), count);
            m_input.pop_front();
            record(false, static_cast<int>(count + 1), data, count + 1);
            return static_cast<int>(count + 1);
        }
        if (now >= deadline)
            return 0;
        sleepUnlocked(lock, m_clock, next ? std::min(next->readyUs, deadline) : deadline);
    }
}

void SimDevice::injectInput(std::vector<std::uint8_t> payload)
{
    std::lock_guard lock(m_mutex);
    m_input.push_back({m_clock.nowUs(), std::move(payload)});
}

SimDevice::Sector& SimDevice::sector(std::uint32_t index)
{
    auto [it, inserted] = m_flash.try_emplace(index);
    if (inserted)
        it->second.data.fill(SIM_UNERASED_FILL);
    return it->second;
}

void SimDevice::programChunk(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count)
{
    while (count > 0) {
        if (address >= SIM_FLASH_SIZE)
            return; // already recorded as a violation by the program command
        Sector& s = sector(address / SIM_SECTOR_SIZE);
        const std::uint32_t offset = address % SIM_SECTOR_SIZE;
        const std::uint32_t here = std::min(count, SIM_SECTOR_SIZE - offset);
        for (std::uint32_t i = 0; i < here; ++i) {
            if (!s.erased.test(offset + i)) {
                if (m_unerasedWrites.size() < MAX_LISTED_UNERASED)
                    m_unerasedWrites.push_back(address + i);
                ++m_unerasedWriteCount;
            }
            s.data[offset + i] &= bytes[i];
            s.erased.reset(offset + i);
        }
        address += here;
        bytes += here;
        count -= here;
    }
}

std::vector<std::uint8_t> SimDevice::flash(std::uint32_t address, std::size_t length) const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::uint8_t> out(length, SIM_UNERASED_FILL);
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint64_t at = std::uint64_t{address} + i;
        const auto it = m_flash.find(static_cast<std::uint32_t>(at / SIM_SECTOR_SIZE));
        if (it != m_flash.end())
            out[i] = it->second.data[at % SIM_SECTOR_SIZE];
    }
    return out;
}

bool SimDevice::erased(std::uint32_t address) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_flash.find(address / SIM_SECTOR_SIZE);
    return it != m_flash.end() && it->second.erased.test(address % SIM_SECTOR_SIZE);
}

std::vector<std::uint32_t> SimDevice::unerasedWrites() const
{
    std::lock_guard lock(m_mutex);
    return m_unerasedWrites;
}

std::size_t SimDevice::unerasedWriteCount() const
{
    std::lock_guard lock(m_mutex);
    return m_unerasedWriteCount;
}

std::vector<std::string> SimDevice::violations() const
{
    std::lock_guard lock(m_mutex);
    return m_violations;
}

std::vector<SimDevice::Command> SimDevice::commands() const
{
    std::lock_guard lock(m_mutex);
    return m_commands;
}

std::vector<SimDevice::Traffic> SimDevice::traffic() const
{
    std::lock_guard lock(m_mutex);
    return m_traffic;
}

std::uint32_t SimDevice::pendingProgramBytes() const
{
    std::lock_guard lock(m_mutex);
    return m_programRemaining;
}

bool SimDevice::restarted() const
{
    std::lock_guard lock(m_mutex);
    return m_restarted;
}

unsigned SimDevice::linksOpened() const
{
    std::lock_guard lock(m_mutex);
    return m_links;
}

bool SimDevice::linkOpen() const
{
    std::lock_guard lock(m_mutex);
    return m_linkOpen;
}

void SimDevice::setRecordTraffic(bool on)
{
    std::lock_guard lock(m_mutex);
    m_recordTraffic = on;
}

} // namespace quarvo
