#include "runtime/cmdport.h"

#include "log/trace.h"
#include "runtime/process.h"

namespace kry {

void ServeCommandPort(int /*listenSocket*/) {
  Debug(LDAP_DEBUG_TRACE, "=> ServeCommandPort\n");
  g_stopEvent->Wait();
  Debug(LDAP_DEBUG_TRACE, "<= ServeCommandPort\n");
}

}  // namespace kry
