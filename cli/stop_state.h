// The process's stop requests as its signal handler (POSIX) or console control handler (Windows)
// records them, and the rules that weigh them: while the device is not at risk any request stops
// at once; once it is, an interrupt only asks for confirmation unless another came within
// CONFIRM_STOP_SECONDS, a hangup is ignored, anything else stops. Kept in lock-free atomics in
// static storage, the only storage a handler may reach; callable from a signal handler.
#pragma once

namespace quarvo::stopstate {

inline constexpr int HANGUP = 1;     // SIGHUP
inline constexpr int INTERRUPT = 2;  // SIGINT, Ctrl-C
inline constexpr int TERMINATE = 15; // SIGTERM

// A request arrived as `signal` at `nowSeconds` on a monotonic clock.
void request(int signal, long long nowSeconds);

} // namespace quarvo::stopstate
