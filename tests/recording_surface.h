// An output surface that records every call in order, and what a bar would show.
#pragma once

#include "frontend/progress_model.h"
#include "protocol/output_surface.h"

#include <mutex>
#include <string>
#include <vector>

namespace quarvo {

class RecordingSurface final : public OutputSurface {
public:
    enum class Kind { Status, Range, Pos, Message, Step };
    struct Call {
        Kind kind;
        std::string text;
        std::uint32_t value;
    };

    void setStatus(const std::string& text) override { add({Kind::Status, text, 0}); }
    void setProgressRange(std::uint32_t maximum) override
    {
        add({Kind::Range, {}, maximum});
        bar.setRange(maximum);
    }
    void setProgressPos(std::uint32_t position) override
    {
        add({Kind::Pos, {}, position});
        bar.setPos(position);
    }
    void showMessage(const std::string& text) override { add({Kind::Message, text, 0}); }
    // Recorded with the step's number (1 for the first) and its label.
    void beginStep(const StepInfo& step) override
    {
        add({Kind::Step, step.label(), static_cast<std::uint32_t>(step.number())});
    }
    void beginWait(const WaitInfo& wait) override { waits.push_back(wait); }

    std::vector<std::string> texts(Kind kind) const
    {
        std::vector<std::string> out;
        for (const Call& call : calls)
            if (call.kind == kind)
                out.push_back(call.text);
        return out;
    }
    std::vector<std::uint32_t> values(Kind kind) const
    {
        std::vector<std::uint32_t> out;
        for (const Call& call : calls)
            if (call.kind == kind)
                out.push_back(call.value);
        return out;
    }
    std::vector<std::string> statuses() const { return texts(Kind::Status); }
    std::vector<std::string> messages() const { return texts(Kind::Message); }
    std::vector<std::uint32_t> positions() const { return values(Kind::Pos); }
    std::vector<std::uint32_t> ranges() const { return values(Kind::Range); }
    std::vector<std::uint32_t> steps() const { return values(Kind::Step); }
    std::string lastStatus() const
    {
        const auto all = statuses();
        return all.empty() ? std::string() : all.back();
    }

    std::vector<Call> calls;
    std::vector<WaitInfo> waits; // every wait begun, in order
    ProgressModel bar;

private:
    void add(Call call) { calls.push_back(std::move(call)); }
};

} // namespace quarvo
