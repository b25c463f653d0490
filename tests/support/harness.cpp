#include "support/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "ldap/ber.h"

namespace krytest {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void RemoveTree(const std::string& path) {
  std::string cmd = "rm -rf '" + path + "'";
  if (std::system(cmd.c_str()) != 0) {
  }
}

// Child side of a spawn: working directory, environment, output file.
[[noreturn]] void ExecServer(const std::string& dir, const std::vector<std::string>& args,
                             const std::vector<std::string>& env, const std::string& outFile) {
  if (chdir(dir.c_str()) != 0) _exit(127);
  int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) _exit(127);
  dup2(out, 1);
  dup2(out, 2);
  int devnull = open("/dev/null", O_RDONLY);
  if (devnull >= 0) dup2(devnull, 0);
  for (const std::string& e : env) putenv(strdup(e.c_str()));
  std::vector<char*> argv;
  std::string bin = ServerBinary();
  argv.push_back(const_cast<char*>(bin.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(bin.c_str(), argv.data());
  _exit(127);
}

}  // namespace

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char ch : s) q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return q + "'";
}

RunResult RunShell(const std::string& commandLine) {
  RunResult r;
  FILE* p = popen(commandLine.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  int status = pclose(p);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

RunResult RunLdapTool(int port, const std::string& tool, const std::vector<std::string>& args,
                      const std::string& ldif, const std::string& ldifFile) {
  std::string cmd = "timeout 20 " + tool + " -P 2 -x -o nettimeout=10 -H ldap://127.0.0.1:" + std::to_string(port);
  if (!ldif.empty()) {
    WriteFile(ldifFile, ldif);
    cmd += " -f " + ShellQuote(ldifFile);
  }
  for (const auto& a : args) cmd += " " + ShellQuote(a);
  cmd += " 2>&1";
  return RunShell(cmd);
}

std::string ServerBinary() {
  const char* b = std::getenv("KRYCERTD_BIN");
  return b ? b : "krycertd";
}

// The repository carries the corpus, so a directory that is not there is a
// fault to report (each test names the file it lacks), not a reason to skip.
std::string CorpusDir() {
  const char* c = std::getenv("KRY_CORPUS");
  return c ? c : "";
}

std::string CorpusKeyID(const std::string& name) {
  std::istringstream tsv(ReadFile(CorpusDir() + "/KEYIDS.tsv"));
  std::string line;
  while (std::getline(tsv, line)) {
    std::istringstream row(line);
    std::string n, fpr, keyId;
    if (std::getline(row, n, '\t') && n == name && std::getline(row, fpr, '\t') && std::getline(row, keyId, '\t'))
      return keyId;
  }
  return "";
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/krytest.XXXXXX";
  char* p = mkdtemp(tmpl);
  path_ = p ? p : "/tmp";
}

TempDir::~TempDir() {
  if (path_ != "/tmp") RemoveTree(path_);
}

namespace {

// Whether a listening socket could bind `port` on 127.0.0.1 right now.
bool PortBindable(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return false;
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

}  // namespace

// Ports come from below the kernel's ephemeral range (32768 and up by
// default): the client sockets of tests running beside this one take their
// local ports from that range, and one of them holding the port a server
// was given would make its start fail now and then.
int FreePort() {
  static std::mutex m;
  static std::mt19937 rng(static_cast<unsigned>(getpid()) * 7919u ^ static_cast<unsigned>(time(nullptr)));
  std::lock_guard<std::mutex> lock(m);
  // A test often asks for two ports before it binds either: one process
  // never hands the same port out twice.
  static std::set<int> given;
  std::uniform_int_distribution<int> pick(20000, 32000);
  for (int tries = 0; tries < 200; ++tries) {
    const int port = pick(rng);
    if (given.count(port) == 0 && PortBindable(port)) {
      given.insert(port);
      return port;
    }
  }
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(s);
  return port;
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << contents;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

ServerTree::ServerTree() {
  root = tmp_.path();
  bin = root + "/bin";
  etc = root + "/etc";
  data = root + "/data";
  log = root + "/log";
  for (const std::string& d : {bin, etc, data, log}) mkdir(d.c_str(), 0755);
  config = bin + "/krycertd.cfg";
  settings = etc + "/settings";
  events = log + "/events.log";
  outputFile_ = log + "/output.txt";
  port = FreePort();
  do {
    commandPort = FreePort();
  } while (commandPort == port);
  std::string corpus = CorpusDir();
  if (!corpus.empty()) {
    // Without the rings the server does not start; the test's output then
    // says which corpus file was missing.
    for (const auto& ring : {std::make_pair("server-pubring.pkr", "KRYcertd-pubring.pkr"),
                             std::make_pair("server-secring.skr", "KRYcertd-secring.skr")}) {
      const std::string from = corpus + "/" + ring.first;
      if (access(from.c_str(), R_OK) == 0)
        WriteFile(etc + "/" + ring.second, ReadFile(from));
      else
        fprintf(stderr, "corpus file missing: %s\n", from.c_str());
    }
  }
  WriteConfig();
}

ServerTree::~ServerTree() {
  if (pid_ > 0) Stop(SIGKILL, 10);
}

void ServerTree::WriteConfig(const std::string& extra, bool standard) {
  std::string cfg;
  if (standard) {
    cfg += "Port " + std::to_string(port) + "\n";
    cfg += "CommandPort " + std::to_string(commandPort) + "\n";
    cfg += "SecureMode disabled\n";
    cfg += "Directory ../data\n";
    cfg += "LogLevel verbose\n";
  }
  cfg += extra;
  WriteFile(config, cfg);
}

RunResult ServerTree::Run(const std::vector<std::string>& args, int timeoutSeconds) const {
  RunResult r;
  std::string out = log + "/run.txt";
  pid_t pid = fork();
  if (pid == 0)
    ExecServer(bin, args, {"KRYCERTD_SETTINGS=" + settings, "KRYCERTD_EVENTLOG=" + events}, out);
  int status = 0;
  int64_t deadline = NowMs() + timeoutSeconds * 1000;
  for (;;) {
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (NowMs() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      r.output = ReadFile(out);
      return r;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.output = ReadFile(out);
  return r;
}

bool ServerTree::CreateDatabases() const { return Run({"-g", "-n"}).exitCode == 0; }

bool ServerTree::Start(const std::vector<std::string>& extraArgs, const std::vector<std::string>& env) {
  std::vector<std::string> args = {"-g", "-s"};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  return StartWithArgs(args, env);
}

bool ServerTree::StartWithArgs(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<std::string> fullEnv = {"KRYCERTD_SETTINGS=" + settings, "KRYCERTD_EVENTLOG=" + events};
  fullEnv.insert(fullEnv.end(), env.begin(), env.end());
  pid_ = fork();
  if (pid_ == 0) ExecServer(bin, args, fullEnv, outputFile_);
  int64_t deadline = NowMs() + 15000;
  while (NowMs() < deadline) {
    if (!Running()) return false;
    Client c;
    if (c.Connect(port, 200)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

bool ServerTree::Running() const {
  if (pid_ <= 0) return false;
  int status;
  return waitpid(pid_, &status, WNOHANG) == 0;
}

int ServerTree::Stop(int sig, int timeoutSeconds) {
  if (pid_ <= 0) return -1;
  kill(pid_, sig);
  int status = 0;
  int64_t deadline = NowMs() + timeoutSeconds * 1000;
  for (;;) {
    pid_t w = waitpid(pid_, &status, WNOHANG);
    if (w == pid_) break;
    if (w < 0) {
      pid_ = -1;
      return -1;
    }
    if (NowMs() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      pid_ = -1;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ServerTree::Signal(int sig) const {
  if (pid_ > 0) kill(pid_, sig);
}

std::string ServerTree::Output() const { return ReadFile(outputFile_); }

bool ServerTree::WaitForOutput(const std::string& text, int timeoutMs) const {
  int64_t deadline = NowMs() + timeoutMs;
  do {
    if (Output().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (NowMs() < deadline);
  return false;
}

std::string ServerTree::Events() const { return ReadFile(events); }

bool ServerTree::WaitForEvent(const std::string& text, int timeoutMs) const {
  int64_t deadline = NowMs() + timeoutMs;
  do {
    if (Events().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (NowMs() < deadline);
  return false;
}

Client::~Client() { Close(); }

void Client::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool Client::Connect(int port, int timeoutMs) {
  Close();
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  int rc = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  if (rc != 0 && errno != EINPROGRESS) {
    Close();
    return false;
  }
  if (rc != 0) {
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, timeoutMs) != 1) {
      Close();
      return false;
    }
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      Close();
      return false;
    }
  }
  int flags = fcntl(fd_, F_GETFL);
  fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
  return true;
}

bool Client::Send(const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

bool Client::ReadExact(void* data, size_t n, int timeoutMs) {
  auto* p = static_cast<uint8_t*>(data);
  int64_t deadline = NowMs() + timeoutMs;
  while (n > 0) {
    int left = static_cast<int>(deadline - NowMs());
    if (left <= 0) return false;
    pollfd pf{fd_, POLLIN, 0};
    if (poll(&pf, 1, left) != 1) return false;
    ssize_t r = recv(fd_, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool ReadBerMessage(const std::function<bool(void*, size_t)>& readExact, std::string* message) {
  message->clear();
  uint8_t tag, first;
  if (!readExact(&tag, 1) || !readExact(&first, 1)) return false;
  message->push_back(static_cast<char>(tag));
  message->push_back(static_cast<char>(first));
  size_t len = first;
  if (first & 0x80) {
    int n = first & 0x7F;
    if (n > 4) return false;
    len = 0;
    for (int i = 0; i < n; ++i) {
      uint8_t b;
      if (!readExact(&b, 1)) return false;
      message->push_back(static_cast<char>(b));
      len = (len << 8) | b;
    }
  }
  std::string body(len, '\0');
  if (len && !readExact(&body[0], len)) return false;
  *message += body;
  return true;
}

bool Client::ReadMessage(std::string* message, int timeoutMs) {
  return ReadBerMessage([&](void* p, size_t n) { return ReadExact(p, n, timeoutMs); }, message);
}

bool Client::WaitClosed(int timeoutMs) {
  int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    int left = static_cast<int>(deadline - NowMs());
    if (left <= 0) return false;
    pollfd pf{fd_, POLLIN, 0};
    if (poll(&pf, 1, left) != 1) return false;
    char buf[256];
    ssize_t r = recv(fd_, buf, sizeof buf, 0);
    if (r <= 0) return true;
    return false;  // data arrived instead
  }
}

namespace {
std::string Finish(kry::BerBuffer* ber) {
  return std::string(reinterpret_cast<const char*>(ber->buffer()), ber->current);
}
}  // namespace

std::string BindRequest(int msgid, const std::string& dn, const std::string& password, int version) {
  kry::BerBufferPtr ber = kry::ber_alloc_ptr(kry::BER_OPTION_DER);
  kry::ber_printf(ber.get(), "{it{isto}}", msgid, 0x60, version, dn.c_str(), 0x80, password.data(),
                  static_cast<int>(password.size()));
  return Finish(ber.get());
}

std::string UnbindRequest(int msgid) {
  kry::BerBufferPtr ber = kry::ber_alloc_ptr(kry::BER_OPTION_DER);
  kry::ber_printf(ber.get(), "{itn}", msgid, 0x42);
  return Finish(ber.get());
}

std::string SearchRequest(int msgid, const std::string& base, int scope) {
  kry::BerBufferPtr ber = kry::ber_alloc_ptr(kry::BER_OPTION_DER);
  // Filter (objectclass=*): presence, [7] primitive.
  kry::ber_printf(ber.get(), "{it{siiiibts{}}}", msgid, 0x63, base.c_str(), scope, 0, 0, 0, 0, 0x87, "objectclass");
  return Finish(ber.get());
}

std::string DeleteRequest(int msgid, const std::string& dn) {
  kry::BerBufferPtr ber = kry::ber_alloc_ptr(kry::BER_OPTION_DER);
  kry::ber_printf(ber.get(), "{its}", msgid, 0x4A, dn.c_str());
  return Finish(ber.get());
}

std::string AddRequest(int msgid, const std::string& dn, const AttrList& attrs) {
  kry::BerBufferPtr ber = kry::ber_alloc_ptr(kry::BER_OPTION_DER);
  kry::ber_printf(ber.get(), "{it{s{", msgid, 0x68, dn.c_str());
  for (const auto& a : attrs) kry::ber_printf(ber.get(), "{s[v]}", a.first.c_str(), &a.second);
  kry::ber_printf(ber.get(), "}}}");
  return Finish(ber.get());
}

std::string ModifyReplaceRequest(int msgid, const std::string& dn, const AttrList& attrs) {
  kry::BerBufferPtr ber = kry::ber_alloc_ptr(kry::BER_OPTION_DER);
  kry::ber_printf(ber.get(), "{it{s{", msgid, 0x66, dn.c_str());
  for (const auto& a : attrs) kry::ber_printf(ber.get(), "{e{s[v]}}", 2, a.first.c_str(), &a.second);
  kry::ber_printf(ber.get(), "}}}");
  return Finish(ber.get());
}

std::string SearchEqualityRequest(int msgid, const std::string& base, int scope, const std::string& attr,
                                  const std::string& value, const std::vector<std::string>& wanted) {
  kry::BerBufferPtr ber = kry::ber_alloc_ptr(kry::BER_OPTION_DER);
  kry::ber_printf(ber.get(), "{it{siiiibt{ss}{v}}}", msgid, 0x63, base.c_str(), scope, 0, 0, 0, 0, 0xA3,
                  attr.c_str(), value.c_str(), &wanted);
  return Finish(ber.get());
}

std::vector<std::string> SearchEntry::Values(const std::string& type) const {
  for (const auto& a : attrs)
    if (strcasecmp(a.first.c_str(), type.c_str()) == 0) return a.second;
  return {};
}

namespace {
// Decodes a SearchResultEntry; false when it does not decode.
bool DecodeSearchEntry(const std::string& message, SearchEntry* out) {
  kry::BerBufferPtr ber = kry::ber_init(message.data(), message.size());
  if (!ber) return false;
  int id = 0;
  kry::ber_tag_t tag = 0;
  if (kry::ber_scanf(ber.get(), "{it{a", &id, &tag, &out->dn) == -1) return false;
  kry::ber_len_t len = 0;
  size_t last = 0;
  for (kry::ber_tag_t t = kry::ber_first_item(ber.get(), &len, &last); t != kry::LBER_DEFAULT;
       t = kry::ber_next_item(ber.get(), &len, last)) {
    std::pair<std::string, std::vector<std::string>> a;
    if (kry::ber_scanf(ber.get(), "{av}", &a.first, &a.second) == -1) return false;
    out->attrs.push_back(std::move(a));
  }
  return true;
}
}  // namespace

int ReadSearchResponses(Client& client, std::vector<SearchEntry>* entries, int timeoutMs) {
  entries->clear();
  for (;;) {
    std::string m;
    if (!client.ReadMessage(&m, timeoutMs)) return -1;
    unsigned tag = 0;
    int code = ResultCode(m, &tag);
    if (tag == 0x65) return code;
    SearchEntry e;
    if (!DecodeSearchEntry(m, &e)) return -1;
    entries->push_back(std::move(e));
  }
}

int ResultCode(const std::string& message, unsigned* tag, std::string* text, int* msgid) {
  kry::BerBufferPtr ber = kry::ber_init(message.data(), message.size());
  if (!ber) return -1;
  int id = 0, code = -1;
  kry::ber_tag_t t = 0;
  std::string matched, msg;
  if (kry::ber_scanf(ber.get(), "{it{eaa}}", &id, &t, &code, &matched, &msg) == -1) return -1;
  if (tag) *tag = t;
  if (text) *text = msg;
  if (msgid) *msgid = id;
  return code;
}

int ConnectFrom(const std::string& source, int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return -1;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1 ||
      bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(s);
    return -1;
  }
  return s;
}

long ResidentKiB(pid_t pid) {
  const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

}  // namespace krytest
