// A model of the device's bootloader behind a HID endpoint. It parses and checks every command
// packet, keeps a NOR flash (erase sets 0xFF, programming ANDs into the cells and every write to a
// cell that was not erased is recorded), sends erase status records over the erase, takes program
// data as it comes, and records every report in both directions. Like a USB endpoint, input reports
// produced while no link is open wait for the next open, and those that became due while a link
// was open but were not read are gone when it closes. Faults come from a SimScenario.
// Thread-safe: tests inspect it while or after another thread drives it.
#pragma once

#include "sim_scenario.h"

#include "hid/clock.h"
#include "protocol/packet.h"

#include <bitset>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace quarvo {

inline constexpr std::uint32_t SIM_FLASH_SIZE = 0x2000000; // 32 MiB
inline constexpr std::uint32_t SIM_SECTOR_SIZE = 4096;
inline constexpr std::uint8_t SIM_UNERASED_FILL = 0x00; // content of never-erased flash

struct SimTiming {
    std::int64_t sectorEraseUs = 2000;     // erase time of one sector
    std::int64_t firstRecordUs = 1000;     // delay before the first status record
    std::int64_t endlessRecordUs = 100000; // record interval of the "endless" fault
    std::int64_t reportUs = 0;             // time one output report takes on the bus
    std::int64_t writeBoundUs = 5000000;   // a write the device does not take fails after this
};

class SimDevice {
public:
    struct Traffic {
        bool out; // true: host to device
        std::int64_t timeUs;
        unsigned link; // 1-based number of the link it travelled on
        int count;     // byte count reported to the host
        Report bytes;
    };
    struct Command {
        std::uint16_t command;
        std::uint32_t param1;
        std::uint32_t param2;
        std::uint32_t dataReceived; // program data taken for this command
        std::int64_t firstDataUs;   // when its first and last data report arrived
        std::int64_t lastDataUs;
    };

    SimDevice(Clock& clock, SimScenario scenario = {}, SimTiming timing = {});
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    // The endpoint, as HidConnection sees it (same results).
    bool present() const;
    bool openLink(std::string& error);
    // closedAtUs: when the host closed, if that was earlier than now (a device that learns of the
    // close late must not drop what became due after it).
    void closeLink(std::int64_t closedAtUs = -1);
    // When the next input report falls due, or -1 when none is waiting.
    std::int64_t nextInputDueUs();
    int write(const std::uint8_t* data, std::size_t length, std::string& error);
    int read(std::uint8_t* data, std::size_t length, int timeoutMs, std::string& error);

    // Unplugs the device (false) or plugs it back in (true), as a user would.
    void setConnected(bool connected);
    // From now on every open is refused (true), as it is without the permission to open it.
    void setOpenRefused(bool refused);

    // Queues a raw input report payload, due now; lets tests hand the host any record at all.
    void injectInput(std::vector<std::uint8_t> payload);

    // Inspection.
    std::vector<std::uint8_t> flash(std::uint32_t address, std::size_t length) const;
    bool erased(std::uint32_t address) const;
    std::vector<std::uint32_t> unerasedWrites() const; // first addresses, at most 1024
    std::size_t unerasedWriteCount() const;
    std::vector<std::string> violations() const;
    std::vector<Command> commands() const;
    std::vector<Traffic> traffic() const;
    std::uint32_t pendingProgramBytes() const;
    bool restarted() const;
    unsigned linksOpened() const;
    bool linkOpen() const;
    void setRecordTraffic(bool on);

private:
    struct Sector {
        std::array<std::uint8_t, SIM_SECTOR_SIZE> data;
        std::bitset<SIM_SECTOR_SIZE> erased;
    };
    struct Pending {
        std::int64_t readyUs;
        std::vector<std::uint8_t> payload;
    };

    bool goneLocked() const;
    void record(bool out, int count, const std::uint8_t* data, std::size_t length);
    void violation(std::string text);
    void takeReport(const std::uint8_t* payload);
    void runCommand(const CommandPacket& packet);
    void startErase(std::uint32_t firstSector, std::uint32_t count);
    void queueRecord(std::int64_t readyUs, const std::uint8_t* record);
    void programChunk(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count);
    Sector& sector(std::uint32_t index);
    const Pending* nextPending();

    mutable std::mutex m_mutex;
    Clock& m_clock;
    SimScenario m_scenario;
    SimTiming m_timing;

    std::map<std::uint32_t, Sector> m_flash;
    std::vector<std::uint32_t> m_unerasedWrites;
    std::size_t m_unerasedWriteCount = 0;
    std::vector<std::string> m_violations;
    std::vector<Command> m_commands;
    std::vector<Traffic> m_traffic;
    bool m_recordTraffic = true;

    std::deque<Pending> m_input;
    std::int64_t m_busyUntilUs = 0;
    std::int64_t m_endlessNextUs = -1;
    std::int64_t m_attachedAtUs = 0; // the Late fault's moment of attachment   // next record of an
                                     // endless erase, -1 when none
    std::uint32_t m_programAddress = 0;
    std::uint32_t m_programRemaining = 0;
    bool m_restarted = false;
    bool m_disconnected = false;
    bool m_openRefused = false; // set by setOpenRefused
    bool m_linkOpen = false;
    unsigned m_links = 0;
    unsigned m_writes = 0;
    unsigned m_reads = 0;
};

} // namespace quarvo
