// krycertrepl: follows the server's replication log and replays every
// record against the replicas it names, each replica at its own pace.
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "log/eventlog.h"
#include "repl/console.h"
#include "repl/follow.h"
#include "repl/replconfig.h"
#include "repl/replicator.h"

namespace {

struct Options {
  std::string config = "krycertd.cfg";
  std::string stateDir;
  kryrepl::TLSFiles tls;
  std::string source;
  bool status = false, json = false, echo = false;
};

int Usage() {
  std::fprintf(stderr,
               "usage: krycertrepl [-f config] [--state-dir dir] [--cert file --key file] [--source address] [-d]\n"
               "       krycertrepl [-f config] --status [--json]\n");
  return 2;
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "-f" && hasValue) o->config = argv[++i];
    else if (a == "--state-dir" && hasValue) o->stateDir = argv[++i];
    else if (a == "--cert" && hasValue) o->tls.certFile = argv[++i];
    else if (a == "--key" && hasValue) o->tls.keyFile = argv[++i];
    else if (a == "--source" && hasValue) o->source = argv[++i];
    else if (a == "--status") o->status = true;
    else if (a == "--json") o->json = true;
    else if (a == "-d") o->echo = true;
    else return false;
  }
  return o->tls.certFile.empty() == o->tls.keyFile.empty();
}

int Run(const Options& options, const kryrepl::ReplConfig& config) {
  kryrepl::WorkerSettings settings;
  settings.logFile = config.repLogFile;
  settings.stateDir = options.stateDir.empty() ? config.repLogFile + ".repl" : options.stateDir;
  settings.tls = options.tls;
  settings.source = options.source;
  if (::mkdir(settings.stateDir.c_str(), 0750) != 0 && errno != EEXIST) {
    kry::LogError(kry::EVENTLOG_ERROR, "Cannot create the state directory %s: %s.", settings.stateDir.c_str(),
                  std::strerror(errno));
    return 1;
  }
  kryrepl::Shared shared;
  std::vector<std::unique_ptr<kryrepl::Replicator>> workers;
  for (const std::string& name : config.replicas) {
    kryrepl::ReplicaAddress address;
    if (!kryrepl::ParseReplica(name, &address)) {
      kry::LogError(kry::EVENTLOG_ERROR, "Replica %s is not an address of the form [ldap[s]://]host[:port]; skipped.",
                    name.c_str());
      continue;
    }
    workers.push_back(std::make_unique<kryrepl::Replicator>(name, address, settings, &shared));
  }
  kry::LogError(kry::EVENTLOG_INFO, "krycertrepl started: %zu replicas, log %s.", workers.size(),
                settings.logFile.c_str());
  for (auto& w : workers) w->Start();
  std::thread console;
  if (config.commandPort > 0)
    console = std::thread([&] {
      kryrepl::ServeConsole(config.commandPort, config.commandTimeout, &shared, [&](bool json) {
        std::vector<kryrepl::ReplicaStatus> states;
        std::vector<kryrepl::Backlog> backlogs;
        for (auto& w : workers) {
          states.push_back(w->Status());
          backlogs.push_back(kryrepl::ScanBacklog(settings.logFile, states.back().offset, states.back().name));
        }
        const long now = static_cast<long>(std::time(nullptr));
        return json ? kryrepl::StatusJson(states, backlogs, now) : kryrepl::StatusText(states, backlogs, now);
      });
    });
  kryrepl::FollowLog(settings.logFile, &shared);
  for (auto& w : workers) w->Join();
  if (console.joinable()) console.join();
  kry::LogError(kry::EVENTLOG_INFO, "krycertrepl stopped.");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) return Usage();
  kryrepl::ReplConfig config;
  std::string error;
  if (kryrepl::ReadReplConfig(options.config, &config, &error) != 0) {
    std::fprintf(stderr, "krycertrepl: %s\n", error.c_str());
    return 1;
  }
  if (options.status) {
    if (config.commandPort == 0) {
      std::fprintf(stderr, "krycertrepl: no \"repdCommandPort\" line in %s\n", options.config.c_str());
      return 1;
    }
    return kryrepl::QueryStatus(config.commandPort, options.json, config.commandTimeout);
  }
  if (config.repLogFile.empty() || config.replicas.empty()) {
    std::fprintf(stderr, "krycertrepl: %s needs both \"RepLogFile\" and \"Replica\" lines\n", options.config.c_str());
    return 1;
  }
  // The stop signals are taken by the follower's signalfd; every thread
  // started from here on inherits the mask.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);
  kry::ErrorLogInit("krycertrepl", kry::EVENTLOG_INFO, 0, options.echo ? 1 : 0);
  const int rc = Run(options, config);
  kry::ErrorLogClose();
  return rc;
}
