// krycertctl: the operator's console for a running krycertd, over the
// command port. Exit status: 0 success, 1 the server answered with a
// failure status, 2 the server could not be reached or refused the session.
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "runtime/console_proto.h"
#include "tools/krycertctl/console_client.h"
#include "util/strutil.h"

namespace krycertctl {

namespace {

using kry::ConsoleMessage;

constexpr int kStopPollMs = 200;
constexpr int kStopMaxPolls = 3000;  // 10 minutes
constexpr int kMaxChunks = 1000;
constexpr int kSessionRetryMs = 3000;

enum Exit { kExitOk = 0, kExitFailed = 1, kExitUnreachable = 2 };

struct Args {
  std::string command;
  std::string host = "127.0.0.1";
  int commandPort = 0;
  bool json = false;
  std::string user;
  int timeoutSeconds = 15;
  // A remote console: TLS with the client certificate of an OpenPGP key.
  bool tls = false;
  TLSOptions tlsOptions;
  std::string source;
  // start
  int port = -1, securePort = -1;
  bool keepPorts = false, noSigCheck = false;
  // block, unblock
  std::string fingerprint, reason;
  bool hasReason = false;
  // dump
  std::string dumpDir;
  long perFile = 0;
  bool overwrite = false;
};

const char kUsage[] =
    "usage: krycertctl [--host H] [--command-port N] [--user NAME] [--timeout S] [--json]\n"
    "                  [--tls --cert FILE --key FILE [--server-cert FILE]] [--source ADDR] COMMAND\n"
    "commands: status | start [--port N] [--secure-port N] [--keep-ports] [--no-sigcheck] | stop | stats |\n"
    "          connections | events | create-db | check-config |\n"
    "          block FINGERPRINT [--reason TEXT] | unblock FINGERPRINT |\n"
    "          dump DIR [--per-file N] [--overwrite]\n";

std::string JsonText(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') out += std::string("\\") + static_cast<char>(c);
    else if (c < 0x20) out += kry::StrFormat("\\u%04x", c);
    else out += static_cast<char>(c);
  }
  return out + "\"";
}

// Output of one command: ordered fields (human "name: value" lines, or one
// JSON object) and an optional list of two-part entries.
struct Report {
  std::vector<std::pair<std::string, std::string>> fields;  // value already JSON-encoded when json
  std::string listName, firstName, secondName;
  std::vector<std::pair<std::string, std::string>> entries;

  void Text(const std::string& k, const std::string& v) { fields.emplace_back(k, JsonText(v)); }
  void Number(const std::string& k, long v) { fields.emplace_back(k, std::to_string(v)); }
  void Bool(const std::string& k, bool v) { fields.emplace_back(k, v ? "true" : "false"); }

  void Print(bool json) const {
    if (json) {
      std::string out = "{";
      for (const auto& f : fields) out += (out.size() > 1 ? "," : "") + JsonText(f.first) + ":" + f.second;
      if (!listName.empty()) {
        out += std::string(out.size() > 1 ? "," : "") + JsonText(listName) + ":[";
        for (size_t i = 0; i < entries.size(); ++i)
          out += std::string(i ? "," : "") + "{" + JsonText(firstName) + ":" + JsonText(entries[i].first) + "," +
                 JsonText(secondName) + ":" + JsonText(entries[i].second) + "}";
        out += "]";
      }
      std::printf("%s}\n", out.c_str());
      return;
    }
    for (const auto& f : fields) {
      std::string v = f.second;
      if (v.size() >= 2 && v.front() == '"') v = v.substr(1, v.size() - 2);
      std::printf("%-20s %s\n", (f.first + ":").c_str(), v.c_str());
    }
    for (const auto& e : entries) std::printf("%s  %s\n", e.first.c_str(), e.second.c_str());
  }
};

int Fail(int code, const std::string& why) {
  std::fprintf(stderr, "krycertctl: %s\n", why.c_str());
  return code;
}

bool ParsePort(const char* text, int* out) {
  if (!kry::IsSignedDigits(text)) return false;
  long v = kry::AtoiSaturating(text);
  if (v < 0 || v > 65535) return false;
  *out = static_cast<int>(v);
  return true;
}

// 0 when the arguments are fine, else the exit status (usage printed).
int ParseArgs(int argc, char** argv, Args* a) {
  for (int i = 1; i < argc; ++i) {
    std::string opt = argv[i];
    auto value = [&](const char** v) {
      if (i + 1 >= argc) return false;
      *v = argv[++i];
      return true;
    };
    const char* v = nullptr;
    bool ok = true;
    if (opt == "--json") a->json = true;
    else if (opt == "--keep-ports") a->keepPorts = true;
    else if (opt == "--no-sigcheck") a->noSigCheck = true;
    else if (opt == "--tls") a->tls = true;
    else if (opt == "--cert") ok = value(&v) && (a->tlsOptions.certFile = v, true);
    else if (opt == "--key") ok = value(&v) && (a->tlsOptions.keyFile = v, true);
    else if (opt == "--server-cert") ok = value(&v) && (a->tlsOptions.serverCertFile = v, true);
    else if (opt == "--overwrite") a->overwrite = true;
    else if (opt == "--per-file")
      ok = value(&v) && kry::IsSignedDigits(v) && (a->perFile = kry::AtoiSaturating(v)) > 0 && a->perFile <= 100000000;
    else if (opt == "--reason") ok = value(&v) && (a->reason = v, a->hasReason = true);
    else if (opt == "--source") ok = value(&v) && (a->source = v, true);
    else if (opt == "--host") ok = value(&v) && (a->host = v, true);
    else if (opt == "--user") ok = value(&v) && (a->user = v, true);
    else if (opt == "--command-port") ok = value(&v) && ParsePort(v, &a->commandPort) && a->commandPort != 0;
    else if (opt == "--port") ok = value(&v) && ParsePort(v, &a->port);
    else if (opt == "--secure-port") ok = value(&v) && ParsePort(v, &a->securePort);
    else if (opt == "--timeout") ok = value(&v) && kry::IsSignedDigits(v) && (a->timeoutSeconds = atoi(v)) > 0;
    else if (opt == "-h" || opt == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (a->command.empty() && opt[0] != '-') a->command = opt;
    else if ((a->command == "block" || a->command == "unblock") && a->fingerprint.empty() && opt[0] != '-')
      a->fingerprint = opt;
    else if (a->command == "dump" && a->dumpDir.empty() && opt[0] != '-')
      a->dumpDir = opt;
    else ok = false;
    if (!ok) {
      std::fprintf(stderr, "krycertctl: bad argument '%s'\n%s", opt.c_str(), kUsage);
      return kExitUnreachable;
    }
  }
  if (a->command.empty()) {
    std::fputs(kUsage, stderr);
    return kExitUnreachable;
  }
  const TLSOptions& t = a->tlsOptions;
  if (a->tls != (!t.certFile.empty() && !t.keyFile.empty()) || (!a->tls && !t.serverCertFile.empty())) {
    std::fprintf(stderr, "krycertctl: --tls needs --cert and --key, and they need --tls\n%s", kUsage);
    return kExitUnreachable;
  }
  if (a->command != "start" && (a->port >= 0 || a->securePort >= 0 || a->keepPorts || a->noSigCheck)) {
    std::fprintf(stderr, "krycertctl: port options belong to the start command\n%s", kUsage);
    return kExitUnreachable;
  }
  if ((a->command == "dump") == a->dumpDir.empty() || (a->command != "dump" && (a->perFile || a->overwrite))) {
    std::fprintf(stderr, "krycertctl: dump takes one directory; --per-file and --overwrite belong to it\n%s", kUsage);
    return kExitUnreachable;
  }
  const bool blocking = a->command == "block" || a->command == "unblock";
  if (blocking == a->fingerprint.empty() || (a->hasReason && a->command != "block")) {
    std::fprintf(stderr, "krycertctl: block and unblock take one fingerprint, --reason only block\n%s", kUsage);
    return kExitUnreachable;
  }
  return 0;
}

// Never empty: the server takes an empty name as a request to shut down.
std::string DefaultUser() {
  if (const passwd* pw = getpwuid(geteuid())) {
    if (pw->pw_name && *pw->pw_name) return pw->pw_name;
  }
  return "uid" + std::to_string(geteuid());
}

std::string Field(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

// The command port and the start ports from the machine's settings file.
void DefaultsFromSettings(Args* a, kry::StartParams* start) {
  kry::RegistrySettings rs;
  kry::ClearRegistrySettings(&rs);
  kry::ReadRegistrySettings(&rs);
  if (a->commandPort == 0) {
    long cp = kry::AtoiSaturating(Field(rs.CommandPort, sizeof rs.CommandPort));
    a->commandPort = cp > 0 && cp <= 65535 ? static_cast<int>(cp) : 4000;
  }
  std::string port = Field(rs.Port, sizeof rs.Port), secure = Field(rs.SecurePort, sizeof rs.SecurePort);
  start->port = rs.PortDisabled || port.empty() ? "0" : port;
  start->securePort = rs.SecurePortDisabled || secure.empty() ? "0" : secure;
  if (a->port >= 0) start->port = std::to_string(a->port);
  if (a->securePort >= 0) start->securePort = std::to_string(a->securePort);
  // A secure port the server did not serve is not asked for again: with
  // SecureMode disabled the server refuses any secure port.
  start->keepPort = a->keepPorts;
  start->keepSecurePort = a->keepPorts && !rs.SecurePortDisabled;
  start->noSignatureCheck = a->noSigCheck;
}

// Sends a command and reads the reply, which must be of `replyType`.
bool Exchange(ConsoleClient& c, uint8_t type, const std::string& payload, uint8_t replyType, ConsoleMessage* reply,
              std::string* why) {
  if (!c.Send(type, payload) || !c.Receive(reply)) {
    *why = c.error();
    return false;
  }
  if (reply->type != replyType) {
    *why = "unexpected reply type " + std::to_string(reply->type);
    return false;
  }
  return true;
}

int Status(const kry::LogonReply& l, Report* r) {
  r->Number("pid", l.pid);
  r->Text("config_file", l.configFile);
  r->Bool("running", l.running);
  r->Bool("stopping", l.stopInProgress);
  if (l.running) {
    r->Number("port", l.portDisabled ? 0 : l.port);
    r->Number("secure_port", l.securePortDisabled ? 0 : l.securePort);
    r->Bool("signature_checks", !l.sigCheckOff);
  }
  return kExitOk;
}

int Start(ConsoleClient& c, const kry::StartParams& params, Report* r) {
  ConsoleMessage m;
  std::string why;
  kry::StartReply sr;
  if (!Exchange(c, kry::kMsgStartServer, kry::EncodeStartParams(params), kry::kReplyStart, &m, &why) ||
      !kry::DecodeStartReply(m.payload, &sr))
    return Fail(kExitUnreachable, why.empty() ? "short start reply" : why);
  r->Number("status", sr.status);
  r->Number("port", sr.port);
  r->Number("secure_port", sr.securePort);
  if (sr.status != kry::kConsoleOk)
    return Fail(kExitFailed, "the server did not start (status " + std::to_string(sr.status) +
                                 "); its event log has the cause");
  return kExitOk;
}

int Stop(ConsoleClient& c, Report* r) {
  for (int i = 0; i < kStopMaxPolls; ++i) {
    ConsoleMessage m;
    if (!c.Send(kry::kMsgStopServer, "") || !c.Receive(&m)) return Fail(kExitUnreachable, c.error());
    if (m.type == kry::kReplyStopped) {
      uint16_t result = kry::DecodeStatus(m.payload);
      r->Number("result", result);
      return result == 0 ? kExitOk : Fail(kExitFailed, "the listener ended with result " + std::to_string(result));
    }
    if (m.type != kry::kReplyStopping) return Fail(kExitUnreachable, "unexpected reply type " + std::to_string(m.type));
    std::this_thread::sleep_for(std::chrono::milliseconds(kStopPollMs));
  }
  return Fail(kExitFailed, "the server is still stopping");
}

int Stats(ConsoleClient& c, Report* r) {
  ConsoleMessage m;
  std::string why;
  kry::Statistics s;
  if (!Exchange(c, kry::kMsgStatistics, "", kry::kReplyStatistics, &m, &why) || !kry::DecodeStatistics(m.payload, &s))
    return Fail(kExitUnreachable, why.empty() ? "short statistics reply" : why);
  if (s.status != 0) return Fail(kExitFailed, "statistics not available (status " + std::to_string(s.status) + ")");
  r->Number("ops_initiated", s.opsInitiated);
  r->Number("ops_completed", s.opsCompleted);
  r->Number("entries_sent", s.entriesSent);
  r->Number("bytes_sent", s.bytesSent);
  r->Number("total_connections", s.totalConnections);
  r->Number("max_connections", s.maxConnections);
  r->Number("current_connections", s.currentConnections);
  r->Number("uptime_seconds", s.uptime);
  return kExitOk;
}

// Reads a chunked list: `request` is sent for the first and every further
// chunk until a chunk carries `lastStatus`.
int List(ConsoleClient& c, uint8_t type, const std::string& request, uint8_t replyType, uint16_t lastStatus,
         Report* r) {
  for (int i = 0; i < kMaxChunks; ++i) {
    ConsoleMessage m;
    std::string why;
    kry::ListChunk chunk;
    if (!Exchange(c, type, request, replyType, &m, &why) || !kry::DecodeListChunk(m.payload, &chunk))
      return Fail(kExitUnreachable, why.empty() ? "short list chunk" : why);
    std::vector<std::pair<std::string, std::string>> entries;
    if (chunk.count == 0 && !chunk.text.empty()) return Fail(kExitFailed, chunk.text);
    if (!kry::SplitListEntries(chunk, &entries)) return Fail(kExitUnreachable, "malformed list chunk");
    r->entries.insert(r->entries.end(), entries.begin(), entries.end());
    if (chunk.status == lastStatus) {
      r->Number("chunks", i + 1);
      r->Number("count", static_cast<long>(r->entries.size()));
      return kExitOk;
    }
  }
  return Fail(kExitFailed, "list longer than " + std::to_string(kMaxChunks) + " chunks");
}

int ShortCommand(ConsoleClient& c, uint8_t type, uint8_t replyType, const char* failure, Report* r,
                 const std::string& payload = std::string()) {
  ConsoleMessage m;
  std::string why;
  if (!Exchange(c, type, payload, replyType, &m, &why)) return Fail(kExitUnreachable, why);
  uint16_t status = kry::DecodeStatus(m.payload);
  r->Number("status", status);
  if (status != 0) return Fail(kExitFailed, std::string(failure) + " (status " + std::to_string(status) + ")");
  return kExitOk;
}

// The server writes the files, so a relative directory is made absolute
// here, against this program's working directory.
std::string AbsoluteDir(const std::string& dir) {
  if (!dir.empty() && dir[0] == '/') return dir;
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) return dir;
  return std::string(cwd) + "/" + dir;
}

int Dump(ConsoleClient& c, const Args& a, Report* r) {
  kry::DumpRequest req;
  req.perFile = static_cast<uint32_t>(a.perFile);
  req.overwrite = a.overwrite;
  req.directory = AbsoluteDir(a.dumpDir);
  if (!c.Send(kry::kMsgDump, kry::EncodeDumpRequest(req))) return Fail(kExitUnreachable, c.error());
  kry::DumpReply reply;
  for (;;) {
    ConsoleMessage m;
    if (!c.Receive(&m)) return Fail(kExitUnreachable, c.error());
    if ((m.type != kry::kReplyDump && m.type != kry::kReplyDumpProgress) || !kry::DecodeDumpReply(m.payload, &reply))
      return Fail(kExitUnreachable, "unexpected reply type " + std::to_string(m.type));
    if (m.type == kry::kReplyDump) break;
    if (!a.json) std::fprintf(stderr, "krycertctl: %llu keys dumped so far\n", static_cast<unsigned long long>(reply.keys));
  }
  r->Number("status", reply.status);
  r->Text("directory", req.directory);
  r->Number("keys", static_cast<long>(reply.keys));
  r->Number("bytes", static_cast<long>(reply.bytes));
  r->Number("files", reply.files);
  if (reply.status != kry::kConsoleOk) {
    r->Print(a.json);
    return Fail(kExitFailed, "the dump " + std::string(reply.status == kry::kConsoleDumpRefused ? "was refused" : "failed") +
                                 ": " + reply.text);
  }
  return kExitOk;
}

// Connects and logs on. The server turns consoles away while another
// session is open, and for a moment after one ends while it takes the port
// back, so a refusal is retried for a short while.
bool OpenSession(const Args& a, std::unique_ptr<ConsoleClient>* client, kry::LogonReply* logon) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSessionRetryMs);
  for (;;) {
    auto c = std::make_unique<ConsoleClient>();
    c->set_timeout_ms(a.timeoutSeconds * 1000);
    if (c->Connect(a.host, a.commandPort, a.timeoutSeconds * 1000, a.source) &&
        (!a.tls || c->StartTLS(a.tlsOptions)) && c->Logon(a.user, logon)) {
      *client = std::move(c);
      return true;
    }
    if (c->refused() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    Fail(kExitUnreachable, c->error());
    return false;
  }
}

int Run(Args& a) {
  kry::StartParams start;
  DefaultsFromSettings(&a, &start);
  if (a.user.empty()) a.user = DefaultUser();
  static const std::map<std::string, int> known = {{"status", 0}, {"start", 0},       {"stop", 0},
                                                   {"stats", 0},  {"connections", 0}, {"events", 0},
                                                   {"create-db", 0}, {"check-config", 0},
                                                   {"block", 0},  {"unblock", 0}, {"dump", 0}};
  if (!known.count(a.command)) return Fail(kExitUnreachable, "unknown command '" + a.command + "'");
  std::unique_ptr<ConsoleClient> client;
  kry::LogonReply logon;
  if (!OpenSession(a, &client, &logon)) return kExitUnreachable;
  ConsoleClient& c = *client;
  Report r;
  int rc = kExitOk;
  if (a.command == "status") {
    rc = Status(logon, &r);
  } else if (a.command == "start") {
    rc = Start(c, start, &r);
  } else if (a.command == "stop") {
    rc = Stop(c, &r);
  } else if (a.command == "stats") {
    rc = Stats(c, &r);
  } else if (a.command == "connections") {
    r.listName = "connections", r.firstName = "client", r.secondName = "since";
    rc = List(c, kry::kMsgConnections, "", kry::kReplyConnections, kry::kConsoleLastConnections, &r);
  } else if (a.command == "events") {
    r.listName = "events", r.firstName = "time", r.secondName = "message";
    kry::ReadEventsRequest req;
    req.pid = logon.pid;
    rc = List(c, kry::kMsgReadEvents, kry::EncodeReadEvents(req), kry::kReplyEvents, kry::kConsoleLastEvents, &r);
  } else if (a.command == "create-db") {
    rc = ShortCommand(c, kry::kMsgCreateDatabases, kry::kReplyCreateDatabases,
                      "the databases were not created; the server's event log has the cause", &r);
  } else if (a.command == "block") {
    // The reason is cut so that the message stays within the console's frame.
    const std::string payload = a.fingerprint + std::string(1, '\0') + a.reason.substr(0, 800);
    rc = ShortCommand(c, kry::kMsgBlock, kry::kReplyBlock,
                      "the key was not blocked (9: not a fingerprint, 11: see the server's event log)", &r, payload);
  } else if (a.command == "dump") {
    rc = Dump(c, a, &r);
    if (rc == kExitFailed) return rc;  // printed with the reason
  } else if (a.command == "unblock") {
    rc = ShortCommand(c, kry::kMsgUnblock, kry::kReplyUnblock,
                      "the key was not unblocked (9: not a fingerprint, 10: not blocked, 11: see the event log)", &r,
                      a.fingerprint);
  } else {
    rc = ShortCommand(c, kry::kMsgCheckConfig, kry::kReplyCheckConfig, "the configuration has errors", &r);
  }
  if (rc != kExitUnreachable) r.Print(a.json);
  return rc;
}

}  // namespace

}  // namespace krycertctl

int main(int argc, char** argv) {
  // TLS writes to a server that dropped the session must fail, not kill.
  signal(SIGPIPE, SIG_IGN);
  krycertctl::Args args;
  if (int rc = krycertctl::ParseArgs(argc, argv, &args)) return rc;
  return krycertctl::Run(args);
}
