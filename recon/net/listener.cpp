#include "recon/net/listener.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "log/eventlog.h"
#include "recon/net/peer_stats.h"

namespace kry {
namespace recon_net {

int ReconListener::Start(int port, const PeerTable* peers, size_t maxSessions, Handler handler) {
  if (listen_) return 0;
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s) return -1;
  const int one = 1;
  setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<uint16_t>(port));
  at.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 || ::listen(s.get(), 16) != 0)
    return -1;
  socklen_t len = sizeof at;
  getsockname(s.get(), reinterpret_cast<sockaddr*>(&at), &len);
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return -1;
  wakeRead_ = Socket(pipeEnds[0]);
  wakeWrite_ = Socket(pipeEnds[1]);
  listen_ = std::move(s);
  port_ = ntohs(at.sin_port);
  peers_ = peers;
  maxSessions_ = maxSessions;
  handler_ = std::move(handler);
  if (!StartThread(&acceptThread_, [this] { AcceptLoop(); })) {
    listen_.Reset();
    port_ = 0;
    return -1;
  }
  return 0;
}

void ReconListener::Stop() {
  if (!acceptThread_.joinable()) return;
  const char byte = 0;
  while (::write(wakeWrite_.get(), &byte, 1) < 0 && errno == EINTR) {
  }
  acceptThread_.join();
  std::list<std::unique_ptr<Session>> ending;
  {
    MutexGuard guard(lock_);
    for (auto& s : sessions_) ::shutdown(s->socket.get(), SHUT_RDWR);
    ending.swap(sessions_);
    busy_.clear();
  }
  for (auto& s : ending) s->thread.join();
  listen_.Reset();
  wakeRead_.Reset();
  wakeWrite_.Reset();
  port_ = 0;
}

void ReconListener::ReapFinished() {
  std::list<std::unique_ptr<Session>> finished;
  {
    MutexGuard guard(lock_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      if ((*it)->done.load()) {
        busy_.erase((*it)->address);
        finished.splice(finished.end(), sessions_, it++);
      } else {
        ++it;
      }
    }
  }
  for (auto& s : finished) s->thread.join();
}

void ReconListener::Admit(Socket s, const std::string& address) {
  if (!peers_->Allowed(address)) {
    NoteRefusedConnection(true);
    LogError(EVENTLOG_VERBOSE, "Reconciliation connection from %s refused: not a partner nor allowed.",
             address.empty() ? "unknown" : address.c_str());
    return;
  }
  MutexGuard guard(lock_);
  if (sessions_.size() >= maxSessions_ || busy_.count(address)) {
    NoteRefusedConnection(false);
    return;
  }
  auto session = std::make_unique<Session>();
  session->socket = std::move(s);
  session->address = address;
  Session* raw = session.get();
  if (!StartThread(&raw->thread, [this, raw] {
        handler_(raw->socket.get(), raw->address);
        raw->done.store(true);
      })) {
    NoteRefusedConnection(false);
    return;
  }
  busy_.insert(address);
  sessions_.push_back(std::move(session));
}

void ReconListener::AcceptLoop() {
  for (;;) {
    pollfd p[2] = {{listen_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    // Finished sessions are joined at least once a second.
    const int ready = ::poll(p, 2, 1000);
    ReapFinished();
    if (ready < 0 && errno != EINTR) break;
    if (p[1].revents) break;
    if (ready <= 0 || !(p[0].revents & POLLIN)) continue;
    sockaddr_storage from{};
    socklen_t len = sizeof from;
    Socket s(::accept4(listen_.get(), reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC));
    if (!s) {
      // Out of descriptors: the connection stays queued, and polling again
      // at once would spin.
      if (errno == EMFILE || errno == ENFILE) ::usleep(100000);
      continue;
    }
    SetNoDelay(s.get());
    Admit(std::move(s), AddressText(reinterpret_cast<const sockaddr*>(&from)));
  }
}

}  // namespace recon_net
}  // namespace kry
