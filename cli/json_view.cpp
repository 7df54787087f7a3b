#include "json_view.h"

#include "frontend/history.h"
#include "frontend/journey.h"
#include "platform/process_stops.h"

#include <cmath>

namespace quarvo {
namespace {

double seconds(std::int64_t us) { return std::round(static_cast<double>(us) / 1e3) / 1e3; }

Json deviceStateJson(const DeviceState& device)
{
    // The same names as the history's records.
    HistoryRecord record;
    record.device = device;
    return record.toJson()["deviceState"];
}

} // namespace

void JsonView::write(Json line, std::int64_t atUs)
{
    if (m_originUs < 0)
        m_originUs = atUs;
    Json stamped;
    stamped.set("event", line["event"]);
    stamped.set("t", seconds(atUs - m_originUs));
    for (const auto& [name, value] : line.members())
        if (name != "event")
            stamped.set(name, value);
    m_out << stamped.dump() << '\n' << std::flush;
}

void JsonView::event(const RunEvent& event, const RunSnapshot& now)
{
    Json line;
    switch (event.kind) {
    case RunEvent::Kind::Step:
        line.set("event", "step");
        line.set("number", event.step.number());
        line.set("of", UPDATE_STEP_COUNT);
        line.set("name", event.step.label());
        break;
    case RunEvent::Kind::Status:
        line.set("event", "status");
        line.set("text", event.text);
        break;
    case RunEvent::Kind::Message:
        line.set("event", "message");
        line.set("text", event.text);
        line.set("detail", event.detail);
        break;
    case RunEvent::Kind::WaitingForGuard:
    case RunEvent::Kind::WaitingForDevice:
        line.set("event", "wait");
        line.set("for", event.kind == RunEvent::Kind::WaitingForGuard ? "guard" : "device");
        line.set("limitS", seconds(event.waitUs));
        break;
    case RunEvent::Kind::ConfirmationAsked:
        line.set("event", "notice");
        line.set("text", "the device is being written: a second interrupt within " +
                             std::to_string(CONFIRM_STOP_MS / 1000) + " s stops it anyway");
        break;
    case RunEvent::Kind::Warning:
        line.set("event", "notice");
        line.set("text", event.text);
        break;
    case RunEvent::Kind::Ended:
        return; // told by end()
    }
    write(std::move(line), now.nowUs);
}

void JsonView::tick(const RunSnapshot& snapshot)
{
    if (!snapshot.step || snapshot.phase == RunPhase::Ended)
        return;
    const std::int64_t now = m_clock.nowUs();
    // A wait for the device, counting down.
    const auto wait = noticedWait(snapshot);
    if (wait && now - m_lastWaitUs >= JSON_WAIT_INTERVAL_US) {
        m_lastWaitUs = now;
        Json line;
        line.set("event", "wait");
        line.set("for", wait->kind == NoticedWait::Kind::Answer ? "answer" : "erase");
        line.set("limitS", seconds(wait->leftUs));
        write(std::move(line), snapshot.nowUs);
        return;
    }
    if (now - m_lastProgressUs < JSON_PROGRESS_INTERVAL_US)
        return;
    Json line;
    line.set("event", "progress");
    line.set("overall", std::round(snapshot.overall * 1000) / 1000);
    line.set("step", snapshot.step->number());
    line.set("bytesDone", snapshot.bytesDone);
    line.set("bytesTotal", snapshot.bytesTotal);
    line.set("bytesPerSecond", std::round(snapshot.bytesPerSecond));
    line.set("timeLeftS", snapshot.timeLeftUs ? Json(seconds(*snapshot.timeLeftUs)) : Json());
    const std::string text = line.dump();
    if (text == m_lastProgress)
        return;
    m_lastProgress = text;
    m_lastProgressUs = now;
    write(std::move(line), snapshot.nowUs);
}

void JsonView::end(const JobEnd& end, int exitStatus, const RunSnapshot& last)
{
    Json line;
    line.set("event", "end");
    std::string outcome = outcomeName(end.outcome);
    if (!end.refusal.empty())
        outcome = "refused";
    else if (end.guardRefusal == GuardRefusal::AlreadyRunning)
        outcome = "another updater is running";
    else if (end.guardRefusal != GuardRefusal::None)
        outcome = "guard unavailable";
    else if (!end.internalError.empty())
        outcome = "internal error";
    line.set("outcome", outcome);
    line.set("exitStatus", exitStatus);
    line.set("stoppedBy", end.stoppedBy != 0 ? Json(signalName(end.stoppedBy)) : Json());
    line.set("detail", !end.refusal.empty()         ? end.refusal
                       : !end.internalError.empty() ? end.internalError
                                                    : end.detail);
    line.set("deviceState", deviceStateJson(end.device));
    line.set("sentence", endLine(end).text);
    write(std::move(line), last.nowUs);
}

} // namespace quarvo
