#include "runtime/process.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>
#include <thread>

#include "log/eventlog.h"
#include "log/trace.h"
#include "platform/pgp/kry.h"
#include "runtime/daemon.h"
#include "runtime/globals.h"
#include "runtime/options.h"

namespace kry {

ManualResetEvent* g_stopEvent = nullptr;

namespace {

// The signal thread only waits for signals: it gets a small stack of its
// own rather than the default (the stack limit), which may be large.
constexpr size_t kSignalThreadStack = 256 * 1024;
pthread_t g_signalThread;
bool g_signalThreadRunning = false;
std::atomic<bool> g_signalThreadStop{false};

void SignalLoop() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGUSR2);  // internal: ends this thread
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (g_signalThreadStop.load()) return;
    switch (sig) {
      case SIGINT:
      case SIGTERM:
        RequestStop();
        break;
      default:
        // SIGHUP: like closing the console window, the server keeps running.
        break;
    }
  }
}

// In service mode the relative default paths resolve next to the program.
void ChangeToProgramDirectory() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return;
  path[n] = '\0';
  std::string dir(path);
  size_t slash = dir.rfind('/');
  if (slash == std::string::npos) return;
  dir.resize(slash + 1);
  if (chdir(dir.c_str()) != 0) {
    // Stay where the service manager put us (WorkingDirectory=).
  }
}

void* SignalThreadMain(void*) {
  SignalLoop();
  return nullptr;
}

}  // namespace

void RequestStop() {
  dird_shutdown = 1;
  WakeListener();
  if (g_stopEvent) g_stopEvent->Set();
}

bool StartSignalThread() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
  g_signalThreadStop = false;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setstacksize(&attr, kSignalThreadStack);
  g_signalThreadRunning = pthread_create(&g_signalThread, &attr, SignalThreadMain, nullptr) == 0;
  pthread_attr_destroy(&attr);
  return g_signalThreadRunning;
}

void StopSignalThread() {
  if (!g_signalThreadRunning) return;
  g_signalThreadStop = true;
  pthread_kill(g_signalThread, SIGUSR2);
  pthread_join(g_signalThread, nullptr);
  g_signalThreadRunning = false;
}

int ProcessMain(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  serviceMode = !HasForegroundFlag(args);

  KRYMemoryMgrRef mgr = nullptr;
  if (KRYNewMemoryMgr(0, &mgr) != 0 || !mgr) {
    LogError(EVENTLOG_ERROR, "Unable to create memory manager");
    return 0;
  }
  if (KRYSetDefaultMemoryMgr(mgr) != 0) {
    LogError(EVENTLOG_ERROR, "KRY Memory Manager could not be initialized");
    KRYFreeMemoryMgr(mgr);
    return 0;
  }

  ManualResetEvent stopEvent;
  g_stopEvent = &stopEvent;
  if (!StartSignalThread()) {
    LogError(EVENTLOG_ERROR, "Creating the signal thread failed.");
    g_stopEvent = nullptr;
    KRYSetDefaultMemoryMgr(nullptr);
    KRYFreeMemoryMgr(mgr);
    return 1;
  }

  int result;
  if (!serviceMode) {
    // The exit code tells a caller (a script, a test) whether start-up
    // failed, so the server's result is the process's result.
    result = ServerMain(argc, argv);
  } else {
    // Service mode under systemd: no prompts, start the directory server at
    // once (ServerMain applies -s), and report the result as the exit code.
    ChangeToProgramDirectory();
    dird_shutdown = 0;
    result = ServerMain(argc, argv);
  }

  StopSignalThread();
  g_stopEvent = nullptr;
  KRYSetDefaultMemoryMgr(nullptr);
  KRYFreeMemoryMgr(mgr);
  return result;
}

}  // namespace kry
