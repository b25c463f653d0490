// The gossip client: every interval, give or take a fifth at random (so
// that peers started together drift apart), it takes the next partner in
// turn, connects within a time limit and runs one session as initiator.
// Start and Stop are called from one thread.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "recon/net/peers.h"
#include "util/thread.h"

namespace kry {
namespace recon_net {

class GossipClient {
 public:
  // One session with `partner` on the connected `fd` (closed by the client
  // afterwards); `error` is empty when the connection was made, else why
  // not, with fd -1.
  using Round = std::function<void(int fd, const Partner& partner, const std::string& error)>;

  GossipClient() = default;
  ~GossipClient() { Stop(); }
  GossipClient(const GossipClient&) = delete;
  GossipClient& operator=(const GossipClient&) = delete;

  // `peers` must outlive the run. Does nothing when there are no partners.
  // 0, or -1 when the thread could not be started.
  int Start(const PeerTable* peers, int intervalSeconds, int connectTimeoutMs, Round round);
  // Ends the wait or cuts the session in progress short, and joins.
  void Stop();

  // The wait before the next round: interval * [0.8, 1.2].
  static int64_t JitteredMs(int intervalSeconds);

 private:
  void Loop();

  const PeerTable* peers_ = nullptr;
  int intervalSeconds_ = 60;
  int connectTimeoutMs_ = 10000;
  Round round_;
  std::thread thread_;
  Mutex lock_;  // guards stopping_ and currentFd_
  bool stopping_ = false;
  int currentFd_ = -1;
  ManualResetEvent stop_;
};

}  // namespace recon_net
}  // namespace kry
