// The HTTP side of the HKP listener, on libmicrohttpd: a pool of threads,
// one per core, each serving many connections through epoll (so a
// connection costs no thread start, and a kept-alive connection serves
// request after request), at most "HKPMaxConnections" of them and
// "HKPMaxConnectionsPerAddress" from one address, an idle time-out per
// connection and a deadline per request ("HKPRequestTimeout"), request
// bodies capped by "MaxMessageSize" each and by "HKPMaxBodyBytes"
// together. Requests are routed to the lookup, the submission, the Web Key
// Directory and the operator's /pks/stats and /pks/health; lookups and
// submissions take a token of the client address's rate limits first. The
// HTTP library does all the parsing of the protocol.
#include <malloc.h>
#include <microhttpd.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "cert/access.h"
#include "hkp/answer.h"
#include "hkp/admission.h"
#include "hkp/body_budget.h"
#include "hkp/directory.h"
#include "hkp/hashquery.h"
#include "hkp/hkp.h"
#include "hkp/idle_spin.h"
#include "hkp/lookup.h"
#include "hkp/peername.h"
#include "hkp/query.h"
#include "hkp/status.h"
#include "hkp/submit.h"
#include "hkp/watchdog.h"
#include "hkp/wkd.h"
#include "ldap/result.h"
#include "ldap/sockbuf.h"
#include "log/eventlog.h"
#include "log/metrics.h"
#include "log/trace.h"
#include "recon/net/service.h"
#include "runtime/connection.h"
#include "runtime/globals.h"
#include "runtime/ratelimits.h"
#include "util/strutil.h"
#include "util/thread.h"

namespace kry {

namespace {

// Longest idle wait of an HTTP connection, whatever the LDAP socket waits
// are: a slot held by a silent client is a slot other clients lack.
constexpr int kMaxIdleSeconds = 30;

// The pool's threads never wait for a client: the library reads and writes
// without blocking and calls the handlers only with what has arrived. They
// do wait for the directory, so a long submission holds its thread's other
// connections back; at least two threads keep one from holding up all.
unsigned PoolThreads() { return std::max(2u, std::thread::hardware_concurrency()); }

struct DaemonDeleter {
  void operator()(MHD_Daemon* d) const { MHD_stop_daemon(d); }
};
struct ResponseDeleter {
  void operator()(MHD_Response* r) const { MHD_destroy_response(r); }
};

// Allocations from this size up are mapped on their own and go back to the
// system when freed. Fixing the threshold keeps the allocator from raising
// it after the first large body is freed, which would leave later bodies in
// the pool threads' arenas. (Trimming the arenas after each body
// instead raced with exiting connection threads inside the allocator.)
constexpr int kMapBodiesFromBytes = 256 * 1024;
// First share of a body sent without a length, grown by doubling.
constexpr uint64_t kFirstUnknownShare = 64 * 1024;

// Each connection's memory for a request's headers and the answer's: the
// library clears all of it after every request, so its default of 32 KiB
// cost a quarter of a lookup's instructions. 16 KiB still holds some 7 KiB
// of request headers (GnuPG and curl send a few hundred bytes); bodies pass
// through it in pieces into the request's own buffer.
constexpr size_t kConnectionMemoryBytes = 16 * 1024;
// How long a pool thread watches its only connection for the next request
// before sleeping: a little more than a client's turn-around between an
// answer and its next request on loopback.
constexpr int kNextRequestSpinMicros = 60;

BodyBudget g_bodyBudget;
RequestWatchdog g_watchdog;

Mutex g_hkpLock;  // guards g_daemon and g_port
std::unique_ptr<MHD_Daemon, DaemonDeleter> g_daemon;
int g_port = 0;
std::atomic<int> g_openConnections{0};  // connections the library holds

// What the directory side knows of one HTTP connection, for all its
// requests: peer, connection number, key-library context.
struct HkpConnection {
  Connection conn;
  int fd = -1;
  bool peerKnown = false;
  bool keptAlive = false;  // the client asked to keep the connection after this answer
  std::string admissionKey;  // the address it is counted under
};

// One request while its body arrives. The body's memory is its share of
// the budget, taken before it is buffered.
struct HkpRequest {
  bool isAdd = false;
  bool isHashQuery = false;  // POST /pks/hashquery
  uint64_t bodyCap = 0;      // largest body taken: 0 for requests without one
  bool answered = false;
  bool tooLarge = false;
  bool tooBusy = false;  // the budget had no room for the body
  std::string body;
  BodyShare share{&g_bodyBudget};
};

void Logger(void*, const char* fmt, va_list ap) {
  const std::string text = StrFormatV(fmt, ap);
  // The library checks its total before AdmitConnection sees the
  // connection; a refusal of its own is known only by this message.
  if (text.rfind("Server reached connection limit", 0) == 0) metrics::CountRefusedConnection(metrics::kHkp);
  Debug(LDAP_DEBUG_ANY, "HKP: %s", text.c_str());
}

void OnConnection(void*, MHD_Connection* connection, void** socketContext, MHD_ConnectionNotificationCode code) {
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    auto c = std::make_unique<HkpConnection>();
    {
      MutexGuard lock(g_globals->countersLock);
      c->conn.c_connid = g_globals->nextConnectionID++;
    }
    c->conn.c_starttime = GetCurrentTime();
    const MHD_ConnectionInfo* peer = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    c->admissionKey = HkpAdmissionKey(peer ? peer->client_addr : nullptr);
    const Globals* g = g_globals;
    const bool within = HkpAdmitted(c->admissionKey, g->HKPMaxConnectionsPerAddress, g->HKPMaxConnections);
    const MHD_ConnectionInfo* fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    // A connection two pool threads admitted past the limit at the same
    // moment is shut at once: the library reads its end and closes it.
    if (!within && fd) shutdown(fd->connect_fd, SHUT_RDWR);
    c->fd = fd ? fd->connect_fd : -1;
    g_watchdog.Add(c.get(), c->fd, c->conn.c_connid);
    g_openConnections.fetch_add(1, std::memory_order_relaxed);
    *socketContext = c.release();
    metrics::CountConnection(metrics::kHkp);
    metrics::HkpConnectionOpened();
  } else if (code == MHD_CONNECTION_NOTIFY_CLOSED && *socketContext) {
    std::unique_ptr<HkpConnection> c(static_cast<HkpConnection*>(*socketContext));
    *socketContext = nullptr;
    g_watchdog.Remove(c.get());
    ReleaseHkpKeyContext(&c->conn);
    HkpLeft(c->admissionKey);
    g_openConnections.fetch_sub(1, std::memory_order_relaxed);
    metrics::HkpConnectionClosed();
  }
}

// Turns a connection away before the library takes it when its address,
// or the port, has no room left, so that the refusal is counted. The
// library is given no per-address limit: it would check it before this
// and refuse without a word. A connection is counted when it starts; one
// that the pool's threads let in past a limit at the same moment is shut
// there.
MHD_Result AdmitConnection(void*, const sockaddr* address, socklen_t) {
  const Globals* g = g_globals;
  return HkpAdmit(HkpAdmissionKey(address), g->HKPMaxConnectionsPerAddress, g->HKPMaxConnections) ? MHD_YES : MHD_NO;
}

// The answer is out. A sole client's next request is waited for briefly
// here, so that the thread finds it at once instead of being woken for it.
void OnCompleted(void*, MHD_Connection* connection, void** requestContext, MHD_RequestTerminationCode code) {
  std::unique_ptr<HkpRequest> r(static_cast<HkpRequest*>(*requestContext));
  *requestContext = nullptr;
  r.reset();
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  if (!info || !info->socket_context) return;
  g_watchdog.NextRequest(info->socket_context);
  const auto* hc = static_cast<HkpConnection*>(info->socket_context);
  if (code == MHD_REQUEST_TERMINATED_COMPLETED_OK && hc->keptAlive)
    SpinForNextRequest(hc->fd, g_openConnections, kNextRequestSpinMicros);
}

HkpConnection* ConnectionOf(MHD_Connection* c) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  auto* hc = info ? static_cast<HkpConnection*>(info->socket_context) : nullptr;
  if (hc && !hc->peerKnown) {
    const MHD_ConnectionInfo* peer = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    SetHkpPeer(&hc->conn, peer ? peer->client_addr : nullptr);
    hc->peerKnown = true;
  }
  return hc;
}

void FreeBody(void* body) { delete static_cast<std::string*>(body); }

// The answer's body goes to the library as it is, without a copy; the
// library frees it with the response.
MHD_Result Send(MHD_Connection* c, HkpRequest* r, HkpAnswer a, const char* allow = nullptr, int retryAfter = 0) {
  r->answered = true;
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  if (info && info->socket_context) g_watchdog.Answering(info->socket_context);
  auto body = std::make_unique<std::string>(std::move(a.body));
  std::unique_ptr<MHD_Response, ResponseDeleter> resp(
      MHD_create_response_from_buffer_with_free_callback_cls(body->size(), body->data(), &FreeBody, body.get()));
  if (!resp) return MHD_NO;
  body.release();  // the response owns it now
  MHD_add_response_header(resp.get(), MHD_HTTP_HEADER_CONTENT_TYPE, a.contentType.c_str());
  if (allow) MHD_add_response_header(resp.get(), MHD_HTTP_HEADER_ALLOW, allow);
  if (retryAfter > 0)
    MHD_add_response_header(resp.get(), MHD_HTTP_HEADER_RETRY_AFTER, std::to_string(retryAfter).c_str());
  return MHD_queue_response(c, static_cast<unsigned>(a.status), resp.get());
}

bool IsWkdPath(const char* url) { return std::strncmp(url, kWkdPrefix, sizeof kWkdPrefix - 1) == 0; }

// The event line and, for requests the directory never saw, the access-log
// line: a lookup as a search, a submission as an add, anything else as a
// request of no category, each with the LDAP result an LDAP client would
// have got (50 refused access, 51 stopping, 2 any malformed request).
metrics::OpKind KindOfPath(const char* url) {
  if (std::strcmp(url, "/pks/lookup") == 0 || std::strcmp(url, "/pks/hashquery") == 0) return metrics::kLookup;
  if (std::strcmp(url, "/pks/add") == 0) return metrics::kSubmit;
  if (std::strcmp(url, "/pks/stats") == 0 || std::strcmp(url, "/pks/health") == 0) return metrics::kStatus;
  if (IsWkdPath(url)) return metrics::kWkd;
  return metrics::kOther;
}

void Note(const HkpConnection* hc, const char* method, const char* url, int status, bool logged) {
  metrics::CountOperation(metrics::kHkp, KindOfPath(url), metrics::ResultOfHttpStatus(status));
  LogError(EVENTLOG_VERBOSE, "conn=%d HKP %s %s from %s: %d.", static_cast<int>(hc->conn.c_connid), method, url,
           hc->conn.c_addr.empty() ? "unknown" : hc->conn.c_addr.c_str(), status);
  if (logged) return;
  int category = kLogOther;
  if (std::strcmp(url, "/pks/lookup") == 0 || std::strcmp(url, "/pks/hashquery") == 0) category = kLogSearch;
  else if (std::strcmp(url, "/pks/add") == 0) category = kLogAdd;
  int code = status == 403 ? 50 : (status == 503 || status == 429) ? 51 : 2;
  // Web Key Directory files are looked up like keys: a policy file read is
  // a search that succeeded, an unknown domain, file or address one that
  // found nothing.
  if (status == 200) code = LDAP_SUCCESS;  // /pks/stats and /pks/health
  if (IsWkdPath(url)) {
    category = kLogSearch;
    if (status == 200) code = LDAP_SUCCESS;
    else if (status == 404) code = LDAP_NO_SUCH_OBJECT;
  }
  HkpAccessLog(&hc->conn, category, AccessLogDetail(), 0, GetCurrentTime(), code);
}

HkpAnswer Lookup(MHD_Connection* c, HkpConnection* hc) {
  HkpQuery q;
  std::string error;
  auto argument = [c](const char* name) { return MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, name); };
  if (!ParseHkpLookup(argument, &q, &error)) return HkpText(400, error);
  if (!AccessAllowed(hc->conn.c_addr.c_str(), ConnectionHostName(&hc->conn), ACL_READ))
    return HkpText(403, "You do not have authority to perform this action.");
  return HkpLookup(&hc->conn, q);
}

HkpAnswer Busy() { return HkpText(503, "Too many submissions are in progress; try again later."); }


// "/.well-known/openpgpkey/...": the policy file or a key, for the
// configured domains only.
HkpAnswer Wkd(MHD_Connection* c, HkpConnection* hc, const char* url, bool* logged) {
  const char* host = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
  const WkdRequest r = ParseWkdPath(url, host ? host : "", g_globals->WKDDomains);
  if (r.target == WkdTarget::kNone) return HkpText(404, "No such Web Key Directory file.");
  if (!AccessAllowed(hc->conn.c_addr.c_str(), ConnectionHostName(&hc->conn), ACL_READ))
    return HkpText(403, "You do not have authority to perform this action.");
  if (r.target == WkdTarget::kPolicy) {
    HkpAnswer a;
    a.body = kWkdPolicy;
    return a;
  }
  return WkdLookup(&hc->conn, r, MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "l"), logged);
}

HkpAnswer Add(HkpConnection* hc, HkpRequest& r) {
  if (r.tooLarge) return HkpText(413, "The request body is larger than the server accepts.");
  if (r.tooBusy) return Busy();
  std::string keytext;
  const bool found = FormField(r.body, "keytext", &keytext);
  std::string().swap(r.body);  // the form is not needed beside its field
  if (!found) return HkpText(400, "The form field keytext is missing or malformed.");
  if (keytext.find_first_not_of(" \t\r\n") == std::string::npos) return HkpText(400, "The form field keytext is empty.");
  return HkpSubmit(&hc->conn, keytext);
}

HkpAnswer HashQuery(HkpConnection* hc, HkpRequest& r) {
  if (r.tooLarge)
    return HkpText(413, "A hash query may ask for at most " + std::to_string(kMaxHashQueryDigests) + " digests.");
  if (r.tooBusy) return Busy();
  if (!AccessAllowed(hc->conn.c_addr.c_str(), ConnectionHostName(&hc->conn), ACL_READ))
    return HkpText(403, "You do not have authority to perform this action.");
  return HkpHashQuery(&hc->conn, r.body);
}

// 413 before the rest of the body is read: the connection closes after
// the answer.
MHD_Result TooLarge(MHD_Connection* c, HkpConnection* hc, HkpRequest* r, const char* url, const char* method) {
  const HkpAnswer a = HkpText(413, "The request body is larger than the server accepts.");
  Note(hc, method, url, a.status, false);
  return Send(c, r, a);
}

// The values of every Content-Length header agree (or there is at most
// one): a peer that sends two lengths may mean either, and a proxy in front
// of the server may have taken the other one.
struct LengthHeaders {
  const char* first = nullptr;
  bool conflict = false;
};

MHD_Result CollectLength(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* h = static_cast<LengthHeaders*>(cls);
  if (!key || strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) != 0) return MHD_YES;
  const char* v = value ? value : "";
  if (!h->first) h->first = v;
  else if (std::strcmp(h->first, v) != 0) h->conflict = true;
  return MHD_YES;
}

bool ConflictingLengths(MHD_Connection* c) {
  LengthHeaders h;
  MHD_get_connection_values(c, MHD_HEADER_KIND, &CollectLength, &h);
  return h.conflict;
}

// A request refused before its body is read: the connection closes after
// the answer.
MHD_Result RefuseEarly(MHD_Connection* c, HkpConnection* hc, HkpRequest* r, const char* url, const char* method,
                       const HkpAnswer& a) {
  Note(hc, method, url, a.status, false);
  return Send(c, r, a);
}

// First call of a request: only the headers are known. A body announced
// as too large is refused at once (the connection then closes without
// reading it); everything else is answered once the request is complete,
// so that the connection can be kept alive.
MHD_Result Begin(MHD_Connection* c, HkpConnection* hc, HkpRequest* r, const char* url, const char* method) {
  const bool post = std::strcmp(method, MHD_HTTP_METHOD_POST) == 0;
  r->isAdd = post && std::strcmp(url, "/pks/add") == 0;
  r->isHashQuery = post && std::strcmp(url, "/pks/hashquery") == 0;
  // A hash query holds nothing but digests: its cap is that of the most it
  // may ask for.
  if (r->isAdd) r->bodyCap = g_globals->MaxMessageSize;
  if (r->isHashQuery) r->bodyCap = kMaxHashQueryBody;
  if (ConflictingLengths(c))
    return RefuseEarly(c, hc, r, url, method, HkpText(400, "The request has conflicting Content-Length headers."));
  if (r->bodyCap == 0) return MHD_YES;
  const char* length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  if (!length || !IsSignedDigits(length)) return MHD_YES;
  const long announced = AtoiSaturating(length);
  if (static_cast<uint64_t>(announced) > r->bodyCap) return TooLarge(c, hc, r, url, method);
  if (announced <= 0) return MHD_YES;
  // The whole body's memory at once: taken from the budget, then allocated
  // once rather than grown (and copied) step by step as it arrives.
  if (!r->share.GrowTo(static_cast<uint64_t>(announced), g_globals->HKPMaxBodyBytes))
    return RefuseEarly(c, hc, r, url, method, Busy());
  r->body.reserve(static_cast<size_t>(announced));
  return MHD_YES;
}

// Room for `more` bytes of a body: within its share, grown (by doubling)
// for a body sent without a length. False when the budget has no room.
bool MakeRoom(HkpRequest* r, size_t more) {
  const uint64_t needed = r->body.size() + more;
  if (needed <= r->share.bytes()) return true;
  const uint64_t cap = r->bodyCap;
  const uint64_t grown = std::min(cap, std::max({needed, 2 * r->share.bytes(), kFirstUnknownShare}));
  if (!r->share.GrowTo(grown, g_globals->HKPMaxBodyBytes)) return false;
  r->body.reserve(static_cast<size_t>(grown));
  return true;
}

constexpr char kTooFast[] = "Too many requests from your address; try again later.";

// Lookups and Web Key Directory reads take a read token, submissions a
// write token; other requests (errors, wrong methods) take none.
bool OverRate(const HkpConnection* hc, const HkpRequest* r, const char* url, bool isGet, int* retryAfter) {
  RateBucket bucket;
  if (r->isAdd) bucket = kRateHkpWrite;
  else if (r->isHashQuery || (isGet && (std::strcmp(url, "/pks/lookup") == 0 || IsWkdPath(url))))
    bucket = kRateHkpRead;
  else return false;
  return !RateAllowed(&hc->conn, bucket, retryAfter);
}

// The whole request is in: route it and answer.
MHD_Result Finish(MHD_Connection* c, HkpConnection* hc, HkpRequest* r, const char* url, const char* method) {
  g_watchdog.Answering(hc);  // the request is whole: its answer takes what it takes
  const auto began = std::chrono::steady_clock::now();
  const bool isGet = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 || std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
  HkpAnswer a;
  const char* allow = nullptr;
  bool logged = false;  // the directory wrote the access-log line
  int retryAfter = 0;
  if (dird_shutdown) {
    a = HkpText(503, "The server is stopping.");
  } else if (OverRate(hc, r, url, isGet, &retryAfter)) {
    a = HkpText(429, kTooFast);
  } else if (r->isAdd) {
    a = Add(hc, *r);
    logged = a.status != 400 && a.status != 413 && a.status != 503;
  } else if (r->isHashQuery) {
    a = HashQuery(hc, *r);
    logged = a.status != 400 && a.status != 403 && a.status != 413 && a.status != 503;
  } else if (std::strcmp(url, "/pks/hashquery") == 0) {
    a = HkpText(405, "Hash queries use POST.");
    allow = "POST";
  } else if (std::strcmp(url, "/pks/add") == 0) {
    a = HkpText(405, "Keys are submitted with POST.");
    allow = "POST";
  } else if (std::strcmp(url, "/pks/lookup") == 0) {
    if (isGet) {
      a = Lookup(c, hc);
      logged = a.status != 400 && a.status != 403;
    } else {
      a = HkpText(405, "Lookups use GET.");
      allow = "GET, HEAD";
    }
  } else if (std::strcmp(url, "/pks/health") == 0 && isGet) {
    a = HealthAnswer();
  } else if (std::strcmp(url, "/pks/stats") == 0 && isGet) {
    const char* options = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "options");
    a = StatsAnswer(options && std::strstr(options, "mr") != nullptr);
  } else if (IsWkdPath(url)) {
    if (isGet) {
      a = Wkd(c, hc, url, &logged);
    } else {
      a = HkpText(405, "Web Key Directory files are read with GET.");
      allow = "GET, HEAD";
    }
  } else {
    a = HkpText(404, "Only /pks/lookup, /pks/add, /pks/hashquery, /pks/stats, /pks/health and /.well-known/openpgpkey/ "
                     "are served here.");
  }
  metrics::ObserveDuration(metrics::kHkp,
                           std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
  Note(hc, method, url, a.status, logged);
  return Send(c, r, std::move(a), allow, retryAfter);
}

MHD_Result Access(void*, MHD_Connection* c, const char* url, const char* method, const char* version,
                  const char* upload, size_t* uploadSize, void** requestContext) {
  HkpConnection* hc = ConnectionOf(c);
  if (!hc) return MHD_NO;
  auto* r = static_cast<HkpRequest*>(*requestContext);
  if (!r) {
    auto fresh = std::make_unique<HkpRequest>();
    r = fresh.get();
    *requestContext = fresh.release();
    const char* connection = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONNECTION);
    hc->keptAlive = AsksKeepAlive(version, connection);
    return Begin(c, hc, r, url, method);
  }
  if (*uploadSize > 0) {
    if (r->tooLarge && !r->answered) {
      *uploadSize = 0;
      return TooLarge(c, hc, r, url, method);
    }
    if (r->tooBusy && !r->answered) {
      *uploadSize = 0;
      return RefuseEarly(c, hc, r, url, method, Busy());
    }
    if (!r->answered && r->bodyCap != 0) {
      if (r->body.size() + *uploadSize > r->bodyCap) {
        r->tooLarge = true;
        std::string().swap(r->body);
      } else if (!MakeRoom(r, *uploadSize)) {
        r->tooBusy = true;
        std::string().swap(r->body);
      } else {
        r->body.append(upload, *uploadSize);
      }
    }
    *uploadSize = 0;
    return MHD_YES;
  }
  if (r->answered) return MHD_YES;
  return Finish(c, hc, r, url, method);
}

int IdleSeconds() {
  const int fromLdap = std::max(1, g_berSocketTimeoutMs.load() / 1000);
  return std::min(fromLdap, kMaxIdleSeconds);
}

}  // namespace

int StartHkpListener() {
  Globals* g = g_globals;
  StartMetricsListener();
  StartRecon();
  MutexGuard lock(g_hkpLock);
  if (g_daemon || !g || g->HKPPort == 0) return 0;
  const int port = g->HKPPort;
  if (port == g->Port || port == g->CommandPort || (port == g->SecurePort && g->SecureMode != SECURE_DISABLED)) {
    LogError(EVENTLOG_ERROR, "HKPPort %d is already used by another port of the server; HKP not started.", port);
    return 1;
  }
  mallopt(M_MMAP_THRESHOLD, kMapBodiesFromBytes);
  ClearHostNameCache();
  g_watchdog.Start(g->HKPRequestTimeout);
  // The library shares its connection limit out among the threads, and a
  // thread at its share stops accepting, leaving clients waiting in the
  // backlog. Each thread may therefore take the whole limit: the total is
  // kept by AdmitConnection, which turns the surplus away at once.
  const unsigned threads = PoolThreads();
  const unsigned limit = static_cast<unsigned>(std::max(1, g->HKPMaxConnections));
  // "Turbo": a new connection's request is read at once, without first
  // waiting for the poll to report it (it has usually arrived with it).
  MHD_Daemon* d = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_TURBO | MHD_USE_ERROR_LOG, static_cast<uint16_t>(port),
      &AdmitConnection, nullptr, &Access, nullptr, MHD_OPTION_THREAD_POOL_SIZE, threads,
      MHD_OPTION_CONNECTION_LIMIT, limit * threads, MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemoryBytes,
      MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(IdleSeconds()),
      MHD_OPTION_NOTIFY_CONNECTION, &OnConnection, nullptr, MHD_OPTION_NOTIFY_COMPLETED, &OnCompleted, nullptr,
      MHD_OPTION_EXTERNAL_LOGGER, &Logger, nullptr, MHD_OPTION_LISTENING_ADDRESS_REUSE, 1u, MHD_OPTION_END);
  if (!d) {
    g_watchdog.Stop();
    LogError(EVENTLOG_ERROR, "Opening the HKP port %d failed; HKP not started.", port);
    return 1;
  }
  g_daemon.reset(d);
  g_port = port;
  LogError(EVENTLOG_INFO, "HKP listener serving port %d (at most %d connections, %u threads).", port,
           g->HKPMaxConnections, threads);
  return 0;
}

void StopHkpListener() {
  StopMetricsListener();
  StopRecon();
  MutexGuard lock(g_hkpLock);
  if (!g_daemon) return;
  g_daemon.reset();  // waits for the pool's threads
  g_watchdog.Stop();
  LogError(EVENTLOG_INFO, "HKP listener on port %d stopped.", g_port);
  g_port = 0;
}

int HkpListenerPort() {
  MutexGuard lock(g_hkpLock);
  return g_port;
}

}  // namespace kry
