#include "log/accesslog.h"

namespace kry {

void AddAccessLogEntry(Connection*, Operation*, int, const AccessLogDetail*, int, int) {}

}  // namespace kry
