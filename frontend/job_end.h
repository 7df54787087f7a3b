// How an update job ended, as UpdateRun found it: the facts every front end tells the user from.
#pragma once

#include "hid/hid_device.h"
#include "job/flash_job.h"
#include "protocol/device_state.h"
#include "protocol/update_step.h"

#include <optional>
#include <string>

namespace quarvo {

// Why the run did not get the single-instance guard (with the obstacle as the end's detail).
enum class GuardRefusal {
    None,
    AlreadyRunning, // another updater holds it
    HeldByOther,    // a process that is no updater holds its lock
    Unavailable,    // it could not be taken at all, so another updater cannot be ruled out
};

struct JobEnd {
    JobOutcome outcome = JobOutcome::Success;
    // The last step the job entered; none when it never reached the device's steps.
    std::optional<UpdateStep> step;
    // What the device holds now and how the job's last command failed: before any report went
    // out (device.reached), a failed job left the device as it was.
    DeviceState device = {};
    // The signal (or forced stop) that ended the job; 0 when none did.
    int stoppedBy = 0;
    // Why it failed, with its context ("database at 0x640000: data report 37 of 68: ..."); empty
    // on success.
    std::string detail = {};
    // How the last failed open ended (NotFound or Refused), for advice on fixing access.
    HidDevice::OpenState openFailure = HidDevice::OpenState::Closed;
    // The last status text the job showed.
    std::string lastStatus = {};
    // A fault of ours that threw on the worker, or a thread that could not be started: the
    // reason, for a box or a message. Empty when the job ran its course.
    std::string internalError = {};
    // The front end refused to go on after the files were loaded (its reason, for a usage error).
    std::string refusal = {};
    // The device was waited for and never came.
    bool deviceWaitExpired = false;
    GuardRefusal guardRefusal = GuardRefusal::None;
};

} // namespace quarvo
