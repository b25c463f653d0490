// The Prometheus endpoint: GET /metrics on "MetricsPort", bound to
// "MetricsAddress" (loopback unless configured), on a libmicrohttpd daemon
// of its own with one polling thread, so that a scrape never waits for a
// slot of the HKP port and never takes one.
#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <cstring>
#include <memory>
#include <string>

#include "hkp/hkp.h"
#include "hkp/status.h"
#include "log/eventlog.h"
#include "runtime/globals.h"
#include "util/thread.h"

namespace kry {

namespace {

struct DaemonDeleter {
  void operator()(MHD_Daemon* d) const { MHD_stop_daemon(d); }
};
struct ResponseDeleter {
  void operator()(MHD_Response* r) const { MHD_destroy_response(r); }
};

Mutex g_metricsLock;  // guards g_metricsDaemon and g_metricsPort
std::unique_ptr<MHD_Daemon, DaemonDeleter> g_metricsDaemon;
int g_metricsPort = 0;

MHD_Result Reply(MHD_Connection* c, unsigned status, const std::string& body, const char* type) {
  std::unique_ptr<MHD_Response, ResponseDeleter> resp(
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY));
  if (!resp) return MHD_NO;
  MHD_add_response_header(resp.get(), MHD_HTTP_HEADER_CONTENT_TYPE, type);
  return MHD_queue_response(c, status, resp.get());
}

MHD_Result Access(void*, MHD_Connection* c, const char* url, const char* method, const char*, const char*,
                  size_t* uploadSize, void** requestContext) {
  // First call: headers only. A body is never wanted; it is skipped.
  if (!*requestContext) {
    *requestContext = c;
    return MHD_YES;
  }
  if (*uploadSize) {
    *uploadSize = 0;
    return MHD_YES;
  }
  const bool get = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 || std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
  if (std::strcmp(url, "/metrics") != 0) return Reply(c, 404, "Only /metrics is served here.\n", "text/plain");
  if (!get) return Reply(c, 405, "Metrics are read with GET.\n", "text/plain");
  return Reply(c, 200, MetricsText(), "text/plain; version=0.0.4; charset=utf-8");
}

}  // namespace

int StartMetricsListener() {
  Globals* g = g_globals;
  MutexGuard lock(g_metricsLock);
  if (g_metricsDaemon || !g || g->MetricsPort == 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(g->MetricsPort));
  if (inet_pton(AF_INET, g->MetricsAddress.c_str(), &address.sin_addr) != 1) return 1;
  MHD_Daemon* d = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_USE_ERROR_LOG,
                                   static_cast<uint16_t>(g->MetricsPort), nullptr, nullptr, &Access, nullptr,
                                   MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_CONNECTION_LIMIT, 16u,
                                   MHD_OPTION_CONNECTION_TIMEOUT, 10u, MHD_OPTION_LISTENING_ADDRESS_REUSE, 1u,
                                   MHD_OPTION_END);
  if (!d) {
    LogError(EVENTLOG_ERROR, "Opening the metrics port %s:%d failed; metrics not served.", g->MetricsAddress.c_str(),
             g->MetricsPort);
    return 1;
  }
  g_metricsDaemon.reset(d);
  g_metricsPort = g->MetricsPort;
  LogError(EVENTLOG_INFO, "Metrics served on %s:%d.", g->MetricsAddress.c_str(), g->MetricsPort);
  return 0;
}

void StopMetricsListener() {
  MutexGuard lock(g_metricsLock);
  if (!g_metricsDaemon) return;
  g_metricsDaemon.reset();
  g_metricsPort = 0;
}

}  // namespace kry
