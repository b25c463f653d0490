// Access-log cycling: once a day or once a week ("CycleLogDay") at a local
// time ("CycleLogTime") the access log is copied to a dated file beside it
// (access.log -> access.YYYYMMDD.log), emptied, and dated copies beyond
// "CycleLogKeep" are deleted, oldest first. Copy and truncation run under
// the access-log lock, so no line is lost or torn.
#pragma once

#include <ctime>
#include <memory>
#include <string>

namespace kry {

// When the next cycle is due. Used only by the listener thread once created.
struct CycleContext {
  long remaining = 0;  // seconds left until the next cycle
  time_t last = 0;     // when the context was last checked
};

// Creates the context from the local time now. 0, 90 when out of memory,
// 1 when the time cannot be broken down (reported).
int CreateCycleLogContext(std::unique_ptr<CycleContext>* ctx);
// Sets ctx->remaining to the seconds from `local` (seconds of the minute
// ignored) until the next cycle of day `day` (0 Sunday .. 6 Saturday,
// 7 daily) at `minutes` after midnight.
void GetSecondsTilNextCycle(CycleContext* ctx, const struct tm& local, int day, int minutes);
// True when a cycle is due at `now`; counts the context down by the time
// elapsed since the last check. Never true for "never".
bool IsCycleLogTime(CycleContext* ctx, time_t now);
// Runs one cycle at `now` and schedules the next. 0 (also when skipped),
// 1 on a file error (reported), 90 when out of memory.
int CycleLog(CycleContext* ctx, time_t now);

// The dated copy name for `path` on the local date of `local`: ".%Y%m%d"
// inserted before the extension of the file name, or appended when the
// file name has none. 0, or 90 when out of memory.
int GetCycledFileName(const std::string& path, const struct tm& local, std::string* name);
// Deletes the oldest dated copies of `path` beyond "CycleLogKeep".
// 0, 1 on a bad path or directory error (reported), 90 when out of memory.
int DeleteExcessCycledLogs(const std::string& path);

// The listener's hooks, on the context in the global state.
bool AccessLogCycleDue(time_t now);
void CycleAccessLog(time_t now);

}  // namespace kry
