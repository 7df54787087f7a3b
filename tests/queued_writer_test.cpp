#include "cli/queued_writer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quarvo {
namespace {

// Outputs as a test drives them: each records what it took, in one log shared by all, and can be
// held (a reader that stalls), made to fail, or let go.
class Outputs {
public:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::string> log; // "<channel>:<text>" in the order written
        bool held = false;
        bool failing = false;
        int entered = 0; // calls that reached the output
    };

    QueuedWriter::Channel channel(int number)
    {
        return [state = m_state, number](const char* data, std::size_t size, int,
                                         std::string& reason) -> long {
            std::unique_lock lock(state->mutex);
            ++state->entered;
            state->changed.notify_all();
            state->changed.wait(lock, [&] { return !state->held; });
            if (state->failing) {
                reason = "No space left on device";
                return -1;
            }
            state->log.push_back(std::to_string(number) + ":" + std::string(data, size));
            return static_cast<long>(size);
        };
    }
    void hold(bool held)
    {
        {
            std::lock_guard lock(m_state->mutex);
            m_state->held = held;
        }
        m_state->changed.notify_all();
    }
    // Waits (bounded) until a write has reached the output.
    bool entered()
    {
        std::unique_lock lock(m_state->mutex);
        return m_state->changed.wait_for(lock, std::chrono::seconds(10),
                                         [&] { return m_state->entered > 0; });
    }
    void fail()
    {
        std::lock_guard lock(m_state->mutex);
        m_state->failing = true;
    }
    std::vector<std::string> log()
    {
        std::lock_guard lock(m_state->mutex);
        return m_state->log;
    }

private:
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

constexpr int DRAIN_MS = 5000;

TEST(QueuedWriterTest, WritesEveryPieceInTheOrderGivenAcrossChannels)
{
    Outputs outputs;
    QueuedWriter writer({outputs.channel(0), outputs.channel(1)}, 1024);
    writer.submit(0, "a\n");
    writer.submit(1, "b\n");
    writer.submit(0, "c\n");
    EXPECT_TRUE(writer.close(DRAIN_MS));
    EXPECT_EQ(outputs.log(), (std::vector<std::string>{"0:a\n", "1:b\n", "0:c\n"}));
    EXPECT_EQ(writer.unwrittenLines(), 0u);
}

TEST(QueuedWriterTest, AStalledReaderNeitherHoldsTheProducerNorKeepsTheOtherStreamsText)
{
    Outputs outputs;
    outputs.hold(true);
    QueuedWriter writer({outputs.channel(0), outputs.channel(1)}, 64);
    writer.submit(0, "bar\n"); // taken by the writer, which the stalled reader holds
    ASSERT_TRUE(outputs.entered());
    writer.submit(1, "stopped\n");                  // still queued behind it
    writer.submit(0, std::string(100, 'x') + "\n"); // over the queue's bound: dropped
    EXPECT_FALSE(writer.close(0));
    EXPECT_EQ(writer.takeQueued(0), ""); // the writer is blocked on this one
    EXPECT_EQ(writer.takeQueued(1), "stopped\n");
    // The dropped line and the one the stalled reader holds; the taken one is no longer queued.
    EXPECT_EQ(writer.unwrittenLines(), 2u);
    outputs.hold(false); // the writer left behind finishes its piece and ends
}

TEST(QueuedWriterTest, AFailedChannelKeepsItsReasonAndTakesNothingMoreWhileTheOtherGoesOn)
{
    Outputs failing;
    failing.fail();
    Outputs healthy;
    QueuedWriter writer({failing.channel(0), healthy.channel(1)}, 1024);
    writer.submit(0, "lost\n");
    writer.submit(1, "kept\n");
    writer.submit(0, "not tried\n");
    EXPECT_TRUE(writer.close(DRAIN_MS));
    EXPECT_EQ(writer.failure(0), "No space left on device");
    EXPECT_TRUE(writer.failure(1).empty());
    EXPECT_EQ(healthy.log(), (std::vector<std::string>{"1:kept\n"}));
}

TEST(QueuedStreamBufTest, HandsOverInPiecesAndAtEveryFlush)
{
    Outputs outputs;
    QueuedWriter writer({outputs.channel(0)}, 1 << 20);
    QueuedStreamBuf buffer(writer, 0, 8);
    std::ostream stream(&buffer);
    stream << "0123456789"; // past 8 bytes: handed over
    stream << "ab";
    stream.flush(); // handed over however little
    EXPECT_TRUE(writer.close(DRAIN_MS));
    EXPECT_EQ(outputs.log(), (std::vector<std::string>{"0:0123456789", "0:ab"}));
}

} // namespace
} // namespace quarvo
