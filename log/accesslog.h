// Access-log hook of the result senders. The access log file and its line
// format are not part of this build yet: entries are accepted and dropped.
#pragma once

namespace kry {

struct Connection;
struct Operation;
struct AccessLogDetail;

// Records one access-log entry for `op` with its type, details, number of
// entries returned and result code.
void AddAccessLogEntry(Connection* conn, Operation* op, int logType, const AccessLogDetail* detail, int nentries,
                       int resultCode);

}  // namespace kry
