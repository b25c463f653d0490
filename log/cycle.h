// Access-log cycling hook of the listener. The access log and its dated
// copies are not part of this build yet: nothing is ever due.
#pragma once

#include <ctime>

namespace kry {

// True when the access log is due to be copied at `now`.
bool AccessLogCycleDue(time_t now);
// Copies the access log to its dated file and removes old copies.
void CycleAccessLog(time_t now);

}  // namespace kry
