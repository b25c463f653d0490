// Test support for driving the real server binary on loopback: temporary
// directories, free ports, a server process with its own settings file and
// event log, and a raw LDAP client over a socket.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace krytest {

// A directory removed with its contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreePort();

void WriteFile(const std::string& path, const std::string& contents);
std::string ReadFile(const std::string& path);

struct RunResult {
  int exitCode = -1;  // -1 when killed by a signal or timed out
  std::string output; // standard error and standard output together
};

// A server installation in a temporary tree: bin/ (working directory with
// krycertd.cfg), etc/, data/, log/. Ports are chosen free at construction.
class ServerTree {
 public:
  ServerTree();
  ~ServerTree();
  ServerTree(const ServerTree&) = delete;
  ServerTree& operator=(const ServerTree&) = delete;

  int port = 0;
  int commandPort = 0;
  std::string root, bin, etc, data, log, config, settings, events;

  // Writes krycertd.cfg: the standard lines (ports, directory, keyrings
  // when the corpus is available) followed by `extra`.
  void WriteConfig(const std::string& extra = "", bool standard = true);
  // Runs the server to its end with the given arguments (after argv[0]).
  RunResult Run(const std::vector<std::string>& args, int timeoutSeconds = 30) const;
  // Creates the databases (-g -n); true on success.
  bool CreateDatabases() const;

  // Starts `krycertd -g -s ...` in the background; true once the regular
  // port accepts connections.
  bool Start(const std::vector<std::string>& extraArgs = {}, const std::vector<std::string>& env = {});
  // Starts the server exactly with `args` (no -g -s added).
  bool StartWithArgs(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
  // Sends `sig` and waits for the exit; the exit code or -1.
  int Stop(int sig, int timeoutSeconds = 30);
  bool Running() const;
  // Process ID of the background server, -1 when none was started.
  pid_t pid() const { return pid_; }
  // Sends a signal without waiting.
  void Signal(int sig) const;
  // Everything the background server wrote so far.
  std::string Output() const;
  // Waits until the server's output contains `text`.
  bool WaitForOutput(const std::string& text, int timeoutMs) const;
  // The event file so far, and a wait for an event text in it. Once
  // start-up is done without -d, events are no longer echoed to the output.
  std::string Events() const;
  bool WaitForEvent(const std::string& text, int timeoutMs) const;

 private:
  TempDir tmp_;
  pid_t pid_ = -1;
  std::string outputFile_;
};

// A raw client connection.
// Reads one BER message (tag, length, body) through `readExact`, which
// fills exactly the bytes asked for or fails; false on a failed read or a
// length of more than four octets.
bool ReadBerMessage(const std::function<bool(void*, size_t)>& readExact, std::string* message);

class Client {
 public:
  Client() = default;
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool Connect(int port, int timeoutMs = 2000);
  bool Send(const std::string& bytes);
  // Reads one BER message (tag, length, contents) within the time-out.
  // Returns false on end of stream, error or time-out.
  bool ReadMessage(std::string* message, int timeoutMs = 5000);
  // True when the peer closed the connection (end of stream or reset)
  // within the time-out, without sending anything first.
  bool WaitClosed(int timeoutMs = 5000);
  void Close();
  int fd() const { return fd_; }

 private:
  bool ReadExact(void* data, size_t n, int timeoutMs);
  int fd_ = -1;
};

// LDAPv2 requests and responses built and taken apart with the server's
// own codec.
std::string BindRequest(int msgid, const std::string& dn, const std::string& password, int version = 2);
std::string UnbindRequest(int msgid);
std::string SearchRequest(int msgid, const std::string& base, int scope = 0);
std::string DeleteRequest(int msgid, const std::string& dn);
// Attribute type and values of an add, a modify or a search entry.
using AttrList = std::vector<std::pair<std::string, std::vector<std::string>>>;
std::string AddRequest(int msgid, const std::string& dn, const AttrList& attrs);
// A modify whose every change replaces the values of one attribute.
std::string ModifyReplaceRequest(int msgid, const std::string& dn, const AttrList& attrs);
// A search (scope 0 base, 1 one level, 2 subtree) with the filter
// (attr=value), asking for every attribute.
// `wanted` is the list of attributes asked for (empty: all of them).
std::string SearchEqualityRequest(int msgid, const std::string& base, int scope, const std::string& attr,
                                  const std::string& value, const std::vector<std::string>& wanted = {});

struct SearchEntry {
  std::string dn;
  AttrList attrs;
  // The values of `type` (compared ignoring case); empty when absent.
  std::vector<std::string> Values(const std::string& type) const;
};
// Reads the responses to one search up to its final result: the entries
// and the result code, or -1 when the responses cannot be read or decoded.
int ReadSearchResponses(Client& client, std::vector<SearchEntry>* entries, int timeoutMs = 10000);

// Result code of an LDAPResult response (bind, search done, delete, ...);
// -1 when it cannot be decoded. *tag receives the response tag.
int ResultCode(const std::string& message, unsigned* tag = nullptr, std::string* text = nullptr,
               int* msgid = nullptr);

// Quotes a word for /bin/sh.
std::string ShellQuote(const std::string& s);
// Runs a shell command line and collects its standard output (the caller
// adds "2>&1" to collect errors too) and its exit code (-1 when it did not
// exit normally).
RunResult RunShell(const std::string& commandLine);

// Runs an OpenLDAP client `tool -P 2 -x -H ldap://127.0.0.1:port args...`
// (time-limited), feeding it `ldif` through the file `ldifFile` when `ldif`
// is not empty; output is standard output and error together.
RunResult RunLdapTool(int port, const std::string& tool, const std::vector<std::string>& args,
                      const std::string& ldif = std::string(), const std::string& ldifFile = std::string());

// A TCP connection to 127.0.0.1:`port` from the loopback address `source`
// (such as "127.0.0.2"), for clients the server must tell apart; the
// descriptor, or -1.
int ConnectFrom(const std::string& source, int port);
// Resident memory of a process in KiB (VmRSS of /proc/<pid>/status); -1
// when it cannot be read.
long ResidentKiB(pid_t pid);

// Environment of the tests.
std::string ServerBinary();
std::string CorpusDir();  // empty when not available
// The 16-digit key ID of corpus key NAME (from the corpus's KEYIDS.tsv);
// empty when the corpus does not name it.
std::string CorpusKeyID(const std::string& name);

}  // namespace krytest
