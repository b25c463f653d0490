#include "repl/console.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "repl/fd.h"
#include "log/eventlog.h"
#include "repl/record.h"
#include "runtime/peer_user.h"

namespace kryrepl {

namespace {


void SetTimeouts(int fd, int seconds) {
  timeval tv{seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

long Age(long then, long now) { return then == 0 ? -1 : std::max(0L, now - then); }

std::string TimeText(long t) {
  if (t == 0) return "-";
  char buf[32];
  const time_t tt = t;
  tm parts{};
  gmtime_r(&tt, &parts);
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return buf;
}

void Answer(int fd, Shared* shared, const std::function<std::string(bool)>& report) {
  uid_t uid = 0;
  if (!kry::PeerUserOfConnection(fd, &uid) || (uid != 0 && uid != geteuid())) {
    const char no[] = "ERROR not allowed\n";
    (void)!::send(fd, no, sizeof no - 1, MSG_NOSIGNAL);
    return;
  }
  std::string line;
  char c;
  while (line.size() < 64 && !shared->stopping() && ::recv(fd, &c, 1, 0) == 1 && c != '\n') line += c;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::string reply;
  if (line == "STATUS")
    reply = report(true);
  else if (line == "STATUS TEXT")
    reply = report(false);
  else
    reply = "ERROR unknown command\n";
  for (size_t done = 0; done < reply.size();) {
    const ssize_t n = ::send(fd, reply.data() + done, reply.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

Backlog ScanBacklog(const std::string& logFile, uint64_t offset, const std::string& replica) {
  Backlog b;
  std::FILE* f = std::fopen(logFile.c_str(), "rb");
  if (!f) return b;
  if (std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0) {
    std::string carry;
    char buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
      carry.append(buf, n);
      size_t used = 0;
      while (size_t len = CompleteRecordLength(std::string_view(carry).substr(used))) {
        LogRecord r;
        if (ParseRecord(std::string_view(carry).substr(used, len), &r) == ParseStatus::kOk &&
            RecordNamesReplica(r, replica)) {
          ++b.records;
          if (b.oldestTime == 0) b.oldestTime = r.time;
        }
        used += len;
        b.bytes += len;
      }
      carry.erase(0, used);
    }
  }
  std::fclose(f);
  return b;
}

std::string StatusJson(const std::vector<ReplicaStatus>& replicas, const std::vector<Backlog>& backlogs, long now) {
  std::string out = "{\"replicas\":[";
  for (size_t i = 0; i < replicas.size(); ++i) {
    const ReplicaStatus& r = replicas[i];
    const Backlog& b = backlogs[i];
    if (i) out += ",";
    out += "{\"replica\":" + JsonString(r.name) + ",\"position\":" + std::to_string(r.offset) +
           ",\"records_behind\":" + std::to_string(b.records) + ",\"bytes_behind\":" + std::to_string(b.bytes) +
           ",\"oldest_undelivered_age\":" + std::to_string(Age(b.oldestTime, now)) +
           ",\"last_error\":" + JsonString(r.lastError) + ",\"last_error_time\":" + std::to_string(r.lastErrorTime) +
           ",\"delivered\":" + std::to_string(r.delivered) + ",\"refused\":" + std::to_string(r.refused) +
           ",\"retried\":" + std::to_string(r.retried) + ",\"connected\":" + (r.connected ? "true" : "false") +
           "}";
  }
  return out + "]}\n";
}

std::string StatusText(const std::vector<ReplicaStatus>& replicas, const std::vector<Backlog>& backlogs, long now) {
  std::string out;
  for (size_t i = 0; i < replicas.size(); ++i) {
    const ReplicaStatus& r = replicas[i];
    const Backlog& b = backlogs[i];
    const long age = Age(b.oldestTime, now);
    out += "replica " + r.name + (r.connected ? " (connected)" : "") + "\n";
    out += "  position " + std::to_string(r.offset) + ", behind " + std::to_string(b.records) + " records, " +
           std::to_string(b.bytes) + " bytes" + (age >= 0 ? ", oldest " + std::to_string(age) + " s old" : "") + "\n";
    out += "  delivered " + std::to_string(r.delivered) + ", refused " + std::to_string(r.refused) + ", retried " +
           std::to_string(r.retried) + "\n";
    out += "  last error " + (r.lastError.empty() ? std::string("none") : r.lastError + " at " + TimeText(r.lastErrorTime)) +
           "\n";
  }
  return out;
}

void ServeConsole(int port, int timeoutSeconds, Shared* shared, const std::function<std::string(bool)>& report) {
  Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const int one = 1;
  setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (listener.get() < 0 || ::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener.get(), 8) != 0) {
    kry::LogError(kry::EVENTLOG_ERROR, "Cannot open the status console on port %d: %s.", port, std::strerror(errno));
    return;
  }
  while (!shared->stopping()) {
    pollfd p{listener.get(), POLLIN, 0};
    if (::poll(&p, 1, 500) != 1) continue;
    Fd conn(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (conn.get() < 0) continue;
    SetTimeouts(conn.get(), timeoutSeconds > 0 ? timeoutSeconds : 30);
    Answer(conn.get(), shared, report);
  }
}

int QueryStatus(int port, bool json, int timeoutSeconds) {
  Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (s.get() < 0 || ::connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::fprintf(stderr, "krycertrepl: cannot reach the status console on port %d: %s\n", port, std::strerror(errno));
    return 1;
  }
  SetTimeouts(s.get(), timeoutSeconds > 0 ? timeoutSeconds : 30);
  const std::string ask = json ? "STATUS\n" : "STATUS TEXT\n";
  if (::send(s.get(), ask.data(), ask.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(ask.size())) return 1;
  std::string reply;
  char buf[4096];
  ssize_t n;
  while ((n = ::recv(s.get(), buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
  if (reply.empty() || reply.compare(0, 6, "ERROR ") == 0) {
    std::fprintf(stderr, "krycertrepl: %s", reply.empty() ? "no answer from the status console\n" : reply.c_str());
    return 1;
  }
  std::fputs(reply.c_str(), stdout);
  return 0;
}

}  // namespace kryrepl
