// The process's console, one implementation per platform: the standard streams, arguments and
// terminal of the process. Used by quarvo-flash's main only.
#pragma once

#include "cli_app.h"
#include "queued_writer.h"

#include <string>
#include <vector>

namespace quarvo {

// The process's console. On Windows: text to a console goes to it as whole UTF-16 lines (UTF-8
// bytes still go to pipes and files unchanged), virtual-terminal processing is switched on for
// the bar where the console has it and put back at the end, and the arguments are taken from the
// wide command line. Elsewhere the streams carry UTF-8 as they are. Construct one, in main.
class Console {
public:
    // On POSIX systems standard streams that are closed at start are opened onto /dev/null first.
    Console();
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // The program's arguments as UTF-8, without the program's name.
    std::vector<std::string> arguments(int argc, char** argv) const;
    // Whether standard output is a terminal (draw the bar) and understands "\033[K".
    bool terminal() const { return m_terminal; }
    bool escapes() const { return m_escapes; }
    // The terminal's width now: the system's answer, else $COLUMNS, else 0 (unknown).
    int columns() const;
    // When this process is the only one in its console window (started from Explorer), the
    // window would close with the result: ask for Enter first.
    void holdIfAlone();
    // How text reaches standard output (1) or error (2) without a write that blocks for good: on
    // POSIX systems a pipe, a FIFO or a terminal is written in pieces it has room for, after a
    // bounded wait for that room, and a socket without waiting; files as they are. Empty where the
    // streams themselves are written (Windows, whose console writes whole lines).
    QueuedWriter::Channel outputChannel(int stream) const;
    // Standard output and error are one file (2>&1), so that when one stalls both do.
    bool outputsShareFile() const;

private:
    bool m_terminal = false;
    bool m_escapes = true;
    struct Saved;
    Saved* m_saved = nullptr; // what the Windows console had before; null elsewhere
};

} // namespace quarvo
