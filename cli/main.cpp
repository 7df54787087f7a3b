// quarvo-flash: chooses the real HID backend and the process's platform pieces (its console, its
// stop requests, the machine-wide guard and the system hold) and hands them with the process's
// streams to the front end.
#include "cli_app.h"
#include "console.h"

#include "frontend/history.h"
#include "hid/hidapi_backend.h"
#include "platform/instance_guard.h"
#include "platform/process_stops.h"
#include "platform/udev_rule.h"

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    quarvo::Console console;
    const std::vector<std::string> args = console.arguments(argc, argv);
    quarvo::ProcessStops stops;
    const char* lockDirectory = std::getenv(quarvo::LOCK_DIRECTORY_VARIABLE);
    quarvo::InstanceGuard guard(quarvo::UPDATER_GUARD_NAME, lockDirectory ? lockDirectory : "");
#if defined(__linux__)
    quarvo::LogindBus logind;
    quarvo::SystemHold hold(&logind);
#else
    quarvo::SystemHold hold;
#endif
    quarvo::CliEnvironment env{
        std::cout,
        std::cerr,
        console.terminal(),
        [] { return std::make_unique<quarvo::HidapiBackend>(); },
        "hidapi " + quarvo::HidapiBackend::libraryVersion(),
        [&console] { return console.columns(); },
        &stops,
        &guard,
        console.escapes(),
        quarvo::installedUdevRule(),
        &hold,
        console.outputChannel(1),
        console.outputChannel(2),
        console.outputsShareFile(),
        quarvo::defaultHistoryFile(),
    };
    const int status = quarvo::runCli(args, env);
    // A writer thread is still blocked on a standard stream whose reader stalled: the flush of
    // the streams at exit would wait on it for as long. The status is what matters now.
    if (env.outputLeftBehind)
        std::_Exit(status);
    console.holdIfAlone();
    return status;
}
