// Every kind of failure the simulator offers, with what the device holds after it and the sentence
// the update ends with: one table for the windows' session and for the command line. The update
// files are 3000 bytes of code and 1000 of database: output report 1 erases the code region, 2
// starts its programming and 3 to 50 carry its 12 pages, 51 erases the header's sector, 52 and 53
// to 56 program the header page, 57 erases the database region, 58 starts its programming and 59
// to 74 carry its 4 pages, 75 restarts.
#pragma once

#include "frontend/window_texts.h"
#include "job/flash_job.h"
#include "protocol/device_state.h"
#include "protocol/texts.h"
#include "sim/sim_scenario.h"

#include <string>
#include <vector>

namespace quarvo {

struct FailureKindCase {
    const char* name;
    SimScenario scenario;
    int stepsShown; // the steps 1 to N were entered
    JobOutcome outcome;
    bool reached;
    RegionState program;
    RegionState header;
    RegionState database;
    bool restartSent;
    FailureKind failure;
    const char* endSentence;
    const char* lastStatus;
};

inline void PrintTo(const FailureKindCase& c, std::ostream* out) { *out << c.name; }

inline const std::vector<FailureKindCase>& failureKindCases()
{
    using R = RegionState;
    using F = FailureKind;
    static const std::vector<FailureKindCase> cases = {
        {"Healthy",
         {},
         6,
         JobOutcome::Success,
         true,
         R::Written,
         R::Written,
         R::Written,
         true,
         F::None,
         windowtext::END_SUCCESS,
         text::UPDATE_OK},
        // Never reached: the connection's text stays on the status line.
        {"Absent",
         {Fault::Absent, 0},
         1,
         JobOutcome::DeviceFailed,
         false,
         R::Untouched,
         R::Untouched,
         R::Untouched,
         false,
         F::DeviceAbsent,
         windowtext::END_NOT_REACHED,
         text::CONNECT_FAILED},
        {"OpenRefused",
         {Fault::OpenRefused, 0},
         1,
         JobOutcome::DeviceFailed,
         false,
         R::Untouched,
         R::Untouched,
         R::Untouched,
         false,
         F::OpenRefused,
         windowtext::END_OPEN_REFUSED,
         text::CONNECT_FAILED},
        {"FirstReportFails",
         {Fault::WriteFail, 1},
         1,
         JobOutcome::DeviceFailed,
         false,
         R::Untouched,
         R::Untouched,
         R::Untouched,
         false,
         F::LinkLost,
         windowtext::END_NOTHING_TAKEN,
         text::REGION_ERASE_FAILED},
        {"SilentDevice",
         {Fault::Silent, 0},
         1,
         JobOutcome::DeviceFailed,
         true,
         R::BeingErased,
         R::Untouched,
         R::Untouched,
         false,
         F::DeviceSilent,
         windowtext::END_NO_PROGRAM,
         text::REGION_ERASE_FAILED},
        {"EndlessErase",
         {Fault::Endless, 0},
         1,
         JobOutcome::DeviceFailed,
         true,
         R::BeingErased,
         R::Untouched,
         R::Untouched,
         false,
         F::DeviceSilent,
         windowtext::END_NO_PROGRAM,
         text::REGION_ERASE_FAILED},
        {"CodeWriteFails",
         {Fault::WriteFail, 5},
         2,
         JobOutcome::DeviceFailed,
         true,
         R::PartlyWritten,
         R::Untouched,
         R::Untouched,
         false,
         F::LinkLost,
         windowtext::END_NO_PROGRAM_LINK_LOST,
         text::REGION_WRITE_FAILED},
        {"CodeReportRefused",
         {Fault::ShortWrite, 5},
         2,
         JobOutcome::DeviceFailed,
         true,
         R::PartlyWritten,
         R::Untouched,
         R::Untouched,
         false,
         F::DeviceRefused,
         windowtext::END_NO_PROGRAM,
         text::REGION_WRITE_FAILED},
        {"CableOutInTheCode",
         {Fault::Disconnect, 20},
         2,
         JobOutcome::DeviceFailed,
         true,
         R::PartlyWritten,
         R::Untouched,
         R::Untouched,
         false,
         F::LinkLost,
         windowtext::END_NO_PROGRAM_LINK_LOST,
         text::REGION_WRITE_FAILED},
        {"HeaderEraseFails",
         {Fault::WriteFail, 51},
         3,
         JobOutcome::DeviceFailed,
         true,
         R::Written,
         R::Untouched,
         R::Untouched,
         false,
         F::LinkLost,
         windowtext::END_NO_PROGRAM_LINK_LOST,
         text::REGION_ERASE_FAILED},
        {"HeaderPageFails",
         {Fault::WriteFail, 54},
         3,
         JobOutcome::DeviceFailed,
         true,
         R::Written,
         R::PartlyWritten,
         R::Untouched,
         false,
         F::LinkLost,
         windowtext::END_NO_PROGRAM_LINK_LOST,
         text::REGION_WRITE_FAILED},
        {"DatabaseEraseFails",
         {Fault::WriteFail, 57},
         4,
         JobOutcome::DeviceFailed,
         true,
         R::Written,
         R::Written,
         R::Untouched,
         false,
         F::LinkLost,
         windowtext::END_DATABASE_INCOMPLETE,
         text::REGION_ERASE_FAILED},
        {"DatabaseWriteFails",
         {Fault::WriteFail, 60},
         5,
         JobOutcome::DeviceFailed,
         true,
         R::Written,
         R::Written,
         R::PartlyWritten,
         false,
         F::LinkLost,
         windowtext::END_DATABASE_INCOMPLETE,
         text::REGION_WRITE_FAILED},
        {"RestartFails",
         {Fault::WriteFail, 75},
         6,
         JobOutcome::DeviceFailed,
         true,
         R::Written,
         R::Written,
         R::Written,
         false,
         F::LinkLost,
         windowtext::END_NOT_RESTARTED,
         text::RESTART_FAILED},
    };
    return cases;
}

} // namespace quarvo
