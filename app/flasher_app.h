// The application: builds the main dialog on the backend it is given, runs start-up and the
// dialog's modal loop, and returns the process's exit code (1 when another instance runs).
#pragma once

#include "hid/hid_backend.h"

namespace quarvo {

class CFlasherApp {
public:
    explicit CFlasherApp(HidBackend& backend) : m_backend(backend) {}
    int initInstance();

private:
    HidBackend& m_backend;
};

} // namespace quarvo
