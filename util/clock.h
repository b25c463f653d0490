// The server's wall clock. Normally time(); when $KRYCERTD_CLOCK_FILE names
// a file, its first number (seconds since 1970) is the time instead, read
// again at every call, so that tests can move the server's time across a
// log-cycle boundary. An unreadable file falls back to the real time.
#pragma once

#include <ctime>

namespace kry {

time_t ClockNow();

}  // namespace kry
