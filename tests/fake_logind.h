// logind as the front ends see it through the InhibitorBus seam: each lock is the write end of a
// pipe, so a test can tell from the read end whether the lock is still held (closing it is what
// gives a lock back). POSIX only.
#pragma once

#include "platform/system_hold.h"

#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace quarvo {

class FakeLogind final : public InhibitorBus {
public:
    FakeLogind() = default;
    FakeLogind(const FakeLogind&) = delete;
    FakeLogind& operator=(const FakeLogind&) = delete;
    ~FakeLogind() override
    {
        for (int end : readEnds)
            ::close(end);
    }
    int inhibit(const std::string& what, const std::string&, const std::string&,
                const std::string& mode, std::string& error,
                const std::function<bool()>& stopRequested) override
    {
        calls.push_back(what + "/" + mode);
        stopCheckGiven = static_cast<bool>(stopRequested);
        int ends[2];
        if (!available || ::pipe(ends) != 0) {
            error = "no system bus";
            return -1;
        }
        readEnds.push_back(ends[0]);
        return ends[1];
    }
    // Whether lock number `index` is still held: its pipe has not been closed at the far end.
    bool holding(std::size_t index) const
    {
        pollfd end{readEnds.at(index), POLLIN, 0};
        return ::poll(&end, 1, 0) == 0;
    }

    bool available = true;
    std::vector<std::string> calls; // "what/mode" for each call
    bool stopCheckGiven = false;    // whether the last call was given a stop check
    std::vector<int> readEnds;
};

// Everything that would cut a write short, as logind is asked to hold it back.
inline const std::string FULL_INHIBIT_CALL = "shutdown:sleep:idle:handle-power-key:handle-suspend-"
                                             "key:handle-hibernate-key:handle-lid-switch/block";

} // namespace quarvo
