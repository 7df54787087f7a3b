#include "updater_session.h"
#include "window_texts.h"

#include "quarvo_version.h"

#include "hid/clock.h"
#include "hid/hid_device.h"
#include "hid/text_encoding.h"
#include "job/flash_job.h"
#include "protocol/device_ids.h"
#include "protocol/texts.h"

#include <exception>
#include <system_error>
#include <utility>

namespace quarvo {
namespace {

// What the run is told of the platform, from what the session was given.
RunSetup runSetup(HidBackend& backend, std::optional<InstanceGuard>& guard,
                  std::optional<SystemHold>& hold, const std::optional<History>& history,
                  const SessionPlatform& platform, RunObserver& observer)
{
    RunSetup setup{backend};
    setup.guard = guard ? &*guard : nullptr;
    setup.hold = hold ? &*hold : nullptr;
    setup.stops = platform.stops;
    setup.observer = &observer;
    setup.boxesWait = true;
    setup.history = history ? &*history : nullptr;
    setup.frontEnd = "quarvo-updater";
    setup.version = QUARVO_VERSION;
    return setup;
}

std::optional<History> historyFor(const SessionPlatform& platform)
{
    if (platform.historyFile.empty())
        return std::nullopt;
    return std::optional<History>(std::in_place, platform.historyFile);
}

std::optional<InstanceGuard> guardFor(const SessionPlatform& platform)
{
    if (platform.guardName.empty())
        return std::nullopt;
    return std::optional<InstanceGuard>(std::in_place, platform.guardName, platform.lockDirectory);
}

std::optional<SystemHold> holdFor(const SessionPlatform& platform)
{
    if (!platform.holdSystem)
        return std::nullopt;
    return std::optional<SystemHold>(std::in_place, platform.sleepBus);
}

} // namespace

UpdaterSession::UpdaterSession(HidBackend& backend, std::filesystem::path directory,
                               WindowView& view, std::string accessHelp, SessionPlatform platform)
    : m_backend(backend), m_directory(std::move(directory)), m_view(view),
      m_accessHelp(std::move(accessHelp)), m_platform(std::move(platform)),
      m_guard(guardFor(m_platform)), m_hold(holdFor(m_platform)), m_history(historyFor(m_platform)),
      m_run(runSetup(backend, m_guard, m_hold, m_history, m_platform, *this))
{
}

UpdaterSession::~UpdaterSession()
{
    if (!m_run.forceStop(terminateSignal()))
        std::terminate();
}

std::optional<std::string> UpdaterSession::takeGuard()
{
    std::string obstacle;
    switch (m_run.takeGuard(std::nullopt, obstacle)) {
    case UpdateRun::GuardAnswer::Acquired:
        return std::nullopt;
    case UpdateRun::GuardAnswer::AlreadyRunning:
        return std::string(ALREADY_RUNNING_TEXT);
    case UpdateRun::GuardAnswer::HeldByOther:
    case UpdateRun::GuardAnswer::Unavailable:
    case UpdateRun::GuardAnswer::Stopped:
        break;
    }
    return std::string(GUARD_UNAVAILABLE_TEXT) + "\n" + obstacle;
}

UpdaterSession::Presence UpdaterSession::probe()
{
    // Nothing is sent; the device is closed again at once.
    HidDevice device(m_backend);
    const bool opened = device.open(VENDOR_ID, PRODUCT_ID) == 1;
    device.close();
    if (opened)
        return Presence::Present;
    return device.openState() == HidDevice::OpenState::Refused ? Presence::Refused
                                                               : Presence::Absent;
}

void UpdaterSession::showPresence(Presence presence)
{
    m_statusFromJob = false;
    m_view.showStatus(presence == Presence::Present ? windowtext::CONNECT_OK
                                                    : text::CONNECT_FAILED);
    if (presence == Presence::Refused)
        showOwnBox(m_accessHelp);
}

void UpdaterSession::showOwnBox(const std::string& text, const std::string& detail)
{
    if (text.empty())
        return;
    m_boxOpen = true;
    m_view.showMessageBox(text, detail);
    m_boxOpen = false;
}

void UpdaterSession::checkDevice()
{
    m_lastCheckUs = m_backend.clock().nowUs();
    m_presence = probe();
    showIdleLine();
    showPresence(*m_presence);
}

void UpdaterSession::showIdleLine()
{
    if (m_endShown)
        return;
    std::vector<std::string> missing;
    for (const char* name : {CODE_FILE, DATABASE_FILE}) {
        std::error_code error;
        if (!std::filesystem::is_regular_file(m_directory / name, error))
            missing.emplace_back(name);
    }
    showJourneyLine(idleLine(missing));
}

void UpdaterSession::recheckDevice()
{
    if (m_jobRunning.load() || m_boxOpen)
        return;
    const std::int64_t now = m_backend.clock().nowUs();
    if (now - m_lastCheckUs < DEVICE_RECHECK_INTERVAL_US)
        return;
    m_lastCheckUs = now;
    const Presence presence = probe();
    const Presence before = m_presence.value_or(presence);
    m_presence = presence;
    if (presence != before) {
        // A job's result stays on screen until a device is attached again or becomes usable (as
        // when its permissions are mended): not when it leaves, as a restarted device does.
        if (m_statusFromJob && before != Presence::Absent && presence != Presence::Present)
            return;
        showPresence(presence);
        if (presence == Presence::Present)
            m_endShown = false;
    }
    // The update files may have come or gone since the last look.
    showIdleLine();
}

void UpdaterSession::tick()
{
    if (!m_jobRunning.load()) {
        recheckDevice();
        return;
    }
    // What the job told since the last look comes first, then its progress as of then.
    runPendingCalls();
}

bool UpdaterSession::requestClose()
{
    if (!m_jobRunning.load())
        return true;
    if (!m_boxOpen) {
        // The job's end closes this box (finishJob), leaving the window with the result.
        m_closeRefusalOpen = true;
        showOwnBox(windowtext::UPDATE_RUNNING);
        m_closeRefusalOpen = false;
    }
    return false;
}

bool UpdaterSession::startUpdate()
{
    if (m_jobRunning.load())
        return true;
    m_jobRunning = true;
    m_endShown = false;
    m_barMaximum = 0;
    m_barPosition = 0;
    m_overallShown = 0;
    m_view.jobStarted();
    m_view.showProgress(0, 0);
    showJourneyLine(runningLine(RunSnapshot{}));
    JobRequest request;
    request.directory = m_directory;
    request.holdSystem = m_hold.has_value();
    request.simulated = m_platform.simulated;
    request.loadHooks = m_platform.loadHooks;
    if (m_run.start(std::move(request)))
        return true;
    // No thread, no job: the press has no effect beyond the end the run published.
    runPendingCalls();
    return false;
}

void UpdaterSession::pollStops()
{
    if (m_platform.stops)
        m_platform.stops->drainWakeups();
    const int signal = m_run.pollStops();
    // While a job runs it stops between reports, and the window ends with it (finishJob).
    if (signal != 0 && !m_jobRunning.load())
        m_view.endRequested(signal);
}

bool UpdaterSession::endSession(int signal)
{
    const bool ended = stopJob(signal);
    if (ended)
        m_view.endRequested(signal);
    return ended;
}

bool UpdaterSession::stopJob() { return stopJob(terminateSignal()); }

bool UpdaterSession::stopJob(int signal)
{
    if (!m_jobRunning.load())
        return true;
    ++m_stopsMade;
    if (!m_run.forceStop(signal))
        return false;
    // What the stopped job would still have shown is not shown.
    m_run.takeEvents();
    finishJob(false);
    return true;
}

void UpdaterSession::finishJob(bool withBoxes)
{
    const RunSnapshot snap = m_run.snapshot();
    const JobEnd end = snap.end.value_or(JobEnd{});
    if (withBoxes) {
        if (!end.internalError.empty())
            showOwnBox(windowtext::JOB_CRASHED, end.internalError);
        if (end.openFailure == HidDevice::OpenState::Refused)
            showOwnBox(m_accessHelp);
    }
    m_jobRunning = false;
    // What the job learnt of the device is where the re-checks start from.
    m_presence = end.openFailure == HidDevice::OpenState::NotFound  ? Presence::Absent
                 : end.openFailure == HidDevice::OpenState::Refused ? Presence::Refused
                                                                    : Presence::Present;
    m_lastCheckUs = m_backend.clock().nowUs();
    m_statusFromJob = true;
    if (snap.barMaximum != m_barMaximum || snap.barPosition != m_barPosition) {
        m_barMaximum = snap.barMaximum;
        m_barPosition = snap.barPosition;
        m_view.showProgress(m_barMaximum, m_barPosition);
    }
    showJourneyLine(endLine(end));
    m_endShown = true;
    if (end.stoppedBy != 0)
        m_view.logLine(std::string("stopped by ") + signalName(end.stoppedBy) +
                       (end.device.reached ? ": the device holds an incomplete update and has no "
                                             "working program until it is updated again"
                                           : "; nothing was sent, the device is unchanged"));
    m_view.jobEnded(end);
    if (m_closeRefusalOpen)
        m_view.closeMessageBox();
    if (end.stoppedBy != 0 && withBoxes)
        m_view.endRequested(end.stoppedBy);
}

void UpdaterSession::runPendingCalls()
{
    const unsigned stops = m_stopsMade;
    RunSnapshot after;
    for (const RunEvent& event : m_run.takeEvents(after)) {
        // A stop made meanwhile (the view may stop the job from what it is shown) has dropped
        // what is left.
        if (stops != m_stopsMade)
            return;
        handle(event);
    }
    if (stops == m_stopsMade && m_jobRunning.load())
        showRunning(after);
}

void UpdaterSession::handle(const RunEvent& event)
{
    switch (event.kind) {
    case RunEvent::Kind::Status:
        m_view.showStatus(event.text);
        break;
    case RunEvent::Kind::Message: {
        // The box is open for as long as the user takes; the worker waits for it.
        const unsigned stops = m_stopsMade;
        m_view.showMessageBox(event.text, boxDetail(event.detail));
        if (stops == m_stopsMade)
            m_run.answerBox();
        break;
    }
    case RunEvent::Kind::Step: {
        // Every step is shown, in order, even when the job went through several meanwhile.
        m_overallShown = std::max(m_overallShown, event.step.start);
        RunSnapshot entered;
        entered.step = event.step;
        entered.overall = m_overallShown;
        showJourneyLine(runningLine(entered));
        break;
    }
    case RunEvent::Kind::ConfirmationAsked:
        m_view.logLine("the device is being written; stopping now leaves it "
                       "without a working program. Interrupt again within " +
                       std::to_string(CONFIRM_STOP_MS / 1000) + " seconds to stop anyway.");
        break;
    case RunEvent::Kind::Warning:
        m_view.logLine(event.text);
        break;
    case RunEvent::Kind::WaitingForGuard:
    case RunEvent::Kind::WaitingForDevice:
        break;
    case RunEvent::Kind::Ended:
        finishJob(true);
        break;
    }
}

void UpdaterSession::showRunning(const RunSnapshot& snap)
{
    if (snap.phase == RunPhase::Ended)
        return; // the end comes with its event
    if (snap.barMaximum != m_barMaximum || snap.barPosition != m_barPosition) {
        m_barMaximum = snap.barMaximum;
        m_barPosition = snap.barPosition;
        m_view.showProgress(m_barMaximum, m_barPosition);
    }
    m_overallShown = std::max(m_overallShown, snap.overall);
    RunSnapshot shown = snap;
    shown.overall = m_overallShown;
    showJourneyLine(runningLine(shown));
}

void UpdaterSession::showJourneyLine(const JourneyLine& line)
{
    // The line is redrawn only when it reads differently (or changes its tone).
    const std::string key = line.text + char('0' + static_cast<int>(line.tone)) +
                            std::to_string(static_cast<int>(line.overall * 1000));
    if (key == m_journeyShown)
        return;
    m_journeyShown = key;
    m_view.showJourney(line);
}

void UpdaterSession::copyLastRecord()
{
    std::string error;
    std::optional<std::vector<Json>> records;
    if (m_history)
        records = m_history->read(error);
    if (!records || records->empty()) {
        showOwnBox(windowtext::NO_RECORD, error);
        return;
    }
    const std::string text = HistoryRecord::fromJson(records->back())->readable();
    showOwnBox(m_view.copyToClipboard(text) ? windowtext::RECORD_COPIED
                                            : windowtext::RECORD_NOT_COPIED);
}

std::string UpdaterSession::boxDetail(const std::string& reason) const
{
    // The job's boxes are about its update files: their detail says where they were looked for,
    // and why this one was refused.
    std::string detail = windowtext::FILES_FOLDER;
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::absolute(m_directory, error);
    // Built by appending: GCC 12 warns wrongly (-Wrestrict) about operator+ on a literal.
    detail.append("\n").append(printable(utf8FromPath(error ? m_directory : folder)));
    if (!reason.empty())
        detail.append("\n(").append(reason).append(")");
    return detail;
}

} // namespace quarvo
