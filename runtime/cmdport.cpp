#include "runtime/cmdport.h"

#include "log/trace.h"
#include "runtime/globals.h"
#include "runtime/process.h"

namespace kry {

void ServeCommandPort(int /*listenSocket*/) {
  Debug(LDAP_DEBUG_TRACE, "=> ServeCommandPort\n");
  while (!g_stopEvent->WaitFor(1000)) {
    if (dird_shutdown && !g_globals->listenerThread.joinable()) break;
  }
  Debug(LDAP_DEBUG_TRACE, "<= ServeCommandPort\n");
}

}  // namespace kry
