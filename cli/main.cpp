// quarvo-flash: chooses the real HID backend, the process's signals, the terminal and the
// single-instance guard, and hands them with the process's streams to the front end.
#include "cli_app.h"
#include "console.h"

#include "hid/hidapi_backend.h"
#include "platform/instance_guard.h"

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

int main(int argc, char** argv)
{
#if defined(_WIN32)
    SetConsoleOutputCP(CP_UTF8);
#endif
    const std::vector<std::string> args(argv + 1, argv + argc);
    quarvo::ProcessSignals signals;
    const char* lockDirectory = std::getenv(quarvo::LOCK_DIRECTORY_VARIABLE);
    quarvo::InstanceGuard guard(quarvo::UPDATER_GUARD_NAME, lockDirectory ? lockDirectory : "");
    quarvo::CliEnvironment env{
        std::cout,
        std::cerr,
        isatty(fileno(stdout)) != 0,
        [] { return std::make_unique<quarvo::HidapiBackend>(); },
        "hidapi " + quarvo::HidapiBackend::libraryVersion(),
        [] { return quarvo::terminalColumns(fileno(stdout)); },
        &signals,
        [&guard] {
            switch (guard.acquire()) {
            case quarvo::InstanceGuard::Result::Acquired:
                return quarvo::UpdateGuard::Acquired;
            case quarvo::InstanceGuard::Result::AlreadyRunning:
                return quarvo::UpdateGuard::AlreadyRunning;
            case quarvo::InstanceGuard::Result::Unavailable:
                break;
            }
            return quarvo::UpdateGuard::Unavailable;
        },
    };
    return quarvo::runCli(args, env);
}
