// The reconciliation port: accepts peers that the peer table allows (others
// are closed at once and counted), at most one session per peer address and
// `maxSessions` in all, each on a thread of its own. A session's failure
// ends only that session. Start and Stop are called from one thread.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "recon/net/peers.h"
#include "recon/net/socket.h"
#include "util/thread.h"

namespace kry {
namespace recon_net {

class ReconListener {
 public:
  // Runs one session on `fd` from the peer at `address`; the listener owns
  // and closes the socket after it returns.
  using Handler = std::function<void(int fd, const std::string& address)>;

  ReconListener() = default;
  ~ReconListener() { Stop(); }
  ReconListener(const ReconListener&) = delete;
  ReconListener& operator=(const ReconListener&) = delete;

  // Listens on `port` (0: any free port, see port()) on every address.
  // `peers` must outlive the listener's run. 0, or -1 when the port cannot
  // be opened or the thread not started.
  int Start(int port, const PeerTable* peers, size_t maxSessions, Handler handler);
  // Stops accepting, cuts the sessions in progress short (their sockets are
  // shut down) and waits for their threads.
  void Stop();
  int port() const { return port_; }

 private:
  struct Session {
    Socket socket;
    std::string address;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void AcceptLoop();
  void Admit(Socket s, const std::string& address);
  void ReapFinished();

  Socket listen_;
  Socket wakeRead_, wakeWrite_;
  int port_ = 0;
  const PeerTable* peers_ = nullptr;
  size_t maxSessions_ = 0;
  Handler handler_;
  std::thread acceptThread_;
  Mutex lock_;  // guards sessions_ and busy_
  std::list<std::unique_ptr<Session>> sessions_;
  std::set<std::string> busy_;  // addresses with a session in progress
};

}  // namespace recon_net
}  // namespace kry
