#include "repl/follow.h"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "repl/fd.h"

namespace kryrepl {

namespace {


constexpr uint32_t kFileEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_MOVE_SELF | IN_DELETE_SELF;

}  // namespace

void FollowLog(const std::string& logFile, Shared* shared) {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  Fd signals(signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK));
  Fd watch(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  const size_t slash = logFile.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : logFile.substr(0, slash == 0 ? 1 : slash);
  if (watch.get() >= 0) inotify_add_watch(watch.get(), dir.c_str(), IN_CREATE | IN_MOVED_TO);
  int fileWatch = -1;
  while (!shared->stopping()) {
    // A file that was moved or deleted is watched again once it is back.
    if (watch.get() >= 0 && fileWatch < 0) fileWatch = inotify_add_watch(watch.get(), logFile.c_str(), kFileEvents);
    pollfd fds[2] = {{signals.get(), POLLIN, 0}, {watch.get(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, 1000);
    if (ready > 0 && (fds[0].revents & POLLIN)) {
      shared->RequestStop();
      break;
    }
    if (ready > 0 && (fds[1].revents & POLLIN)) {
      alignas(inotify_event) char buf[4096];
      ssize_t n;
      while ((n = ::read(watch.get(), buf, sizeof buf)) > 0) {
        for (char* p = buf; p < buf + n;) {
          const auto* ev = reinterpret_cast<const inotify_event*>(p);
          if (ev->wd == fileWatch && (ev->mask & (IN_MOVE_SELF | IN_DELETE_SELF | IN_IGNORED))) {
            if (!(ev->mask & IN_IGNORED)) inotify_rm_watch(watch.get(), fileWatch);
            fileWatch = -1;
          }
          p += sizeof(inotify_event) + ev->len;
        }
      }
    }
    shared->Notify();
  }
}

}  // namespace kryrepl
