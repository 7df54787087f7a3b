#include "console.h"
#include "console_writer.h"
#include "terminal_view.h"

#include "hid/text_encoding.h"

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <memory>

namespace quarvo {
namespace {

bool isConsole(HANDLE handle, DWORD& mode)
{
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
}

// Writes a whole piece of UTF-16 to a console, however many calls that takes.
bool writeConsole(HANDLE handle, std::u16string_view text)
{
    while (!text.empty()) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 8192));
        if (!WriteConsoleW(handle, text.data(), chunk, &written, nullptr) || written == 0)
            return false;
        text.remove_prefix(written);
    }
    return true;
}

} // namespace

struct Console::Saved {
    HANDLE output = nullptr;
    DWORD outputMode = 0;
    std::unique_ptr<ConsoleLineBuffer> outBuffer;
    std::unique_ptr<ConsoleLineBuffer> errBuffer;
    std::streambuf* outBefore = nullptr;
    std::streambuf* errBefore = nullptr;
};

Console::Console() : m_saved(new Saved)
{
    // The code pages are left as they are: text reaches a console as UTF-16, whatever they say.
    m_saved->output = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (isConsole(m_saved->output, mode)) {
        m_terminal = true;
        m_saved->outputMode = mode;
        m_escapes = SetConsoleMode(m_saved->output, mode | ENABLE_PROCESSED_OUTPUT |
                                                        ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
        HANDLE output = m_saved->output;
        m_saved->outBuffer = std::make_unique<ConsoleLineBuffer>(
            [output](std::u16string_view text) { return writeConsole(output, text); });
        m_saved->outBefore = std::cout.rdbuf(m_saved->outBuffer.get());
    }
    if (isConsole(error, mode)) {
        m_saved->errBuffer = std::make_unique<ConsoleLineBuffer>(
            [error](std::u16string_view text) { return writeConsole(error, text); });
        m_saved->errBefore = std::cerr.rdbuf(m_saved->errBuffer.get());
    }
}

Console::~Console()
{
    std::cout.flush();
    std::cerr.flush();
    if (m_saved->outBefore)
        std::cout.rdbuf(m_saved->outBefore);
    if (m_saved->errBefore)
        std::cerr.rdbuf(m_saved->errBefore);
    if (m_terminal)
        SetConsoleMode(m_saved->output, m_saved->outputMode);
    delete m_saved;
}

std::vector<std::string> Console::arguments(int argc, char** argv) const
{
    // The narrow argv is in the ANSI code page (Big5 in Taiwan); the wide command line is exact.
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i)
        args.push_back(utf8FromWide(wide[i]));
    LocalFree(wide);
    return args;
}

int Console::columns() const
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (m_terminal && GetConsoleScreenBufferInfo(m_saved->output, &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
    return columnsFromEnvironment();
}

void Console::holdIfAlone()
{
    DWORD processes[2];
    if (!m_terminal || GetConsoleProcessList(processes, 2) != 1)
        return;
    std::cout << "\nPress Enter to close this window." << std::flush;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    wchar_t typed[64];
    DWORD got = 0;
    while (ReadConsoleW(input, typed, 64, &got, nullptr) && got > 0) {
        for (DWORD i = 0; i < got; ++i)
            if (typed[i] == L'\r' || typed[i] == L'\n')
                return;
    }
}

QueuedWriter::Channel Console::outputChannel(int) const { return {}; }

bool Console::outputsShareFile() const { return false; }

} // namespace quarvo
