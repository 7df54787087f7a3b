// quarvo-flash: chooses the real HID backend and hands the process's streams to the front end.
#include "cli_app.h"

#include "hid/hidapi_backend.h"

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
    quarvo::CliEnvironment env{
        std::cout,
        std::cerr,
        isatty(fileno(stdout)) != 0,
        [] { return std::make_unique<quarvo::HidapiBackend>(); },
        "hidapi " + quarvo::HidapiBackend::libraryVersion(),
    };
    return quarvo::runCli(args, env);
}
