#include "recon/net/gossip.h"

#include <sys/socket.h>

#include <random>

#include "recon/net/socket.h"

namespace kry {
namespace recon_net {

int64_t GossipClient::JitteredMs(int intervalSeconds) {
  thread_local std::mt19937 random{std::random_device{}()};
  const double base = intervalSeconds * 1000.0;
  std::uniform_real_distribution<double> spread(0.8, 1.2);
  return static_cast<int64_t>(base * spread(random));
}

int GossipClient::Start(const PeerTable* peers, int intervalSeconds, int connectTimeoutMs, Round round) {
  if (thread_.joinable() || peers->partners().empty()) return 0;
  peers_ = peers;
  intervalSeconds_ = intervalSeconds;
  connectTimeoutMs_ = connectTimeoutMs;
  round_ = std::move(round);
  {
    MutexGuard guard(lock_);
    stopping_ = false;
  }
  stop_.Reset();
  return StartThread(&thread_, [this] { Loop(); }) ? 0 : -1;
}

void GossipClient::Stop() {
  if (!thread_.joinable()) return;
  {
    MutexGuard guard(lock_);
    stopping_ = true;
    if (currentFd_ >= 0) ::shutdown(currentFd_, SHUT_RDWR);
  }
  stop_.Set();
  thread_.join();
}

void GossipClient::Loop() {
  size_t next = 0;
  while (!stop_.WaitFor(JitteredMs(intervalSeconds_))) {
    const Partner& partner = peers_->partners()[next++ % peers_->partners().size()];
    std::string error;
    Socket s = ConnectTo(partner.host, partner.reconPort, connectTimeoutMs_, &error);
    {
      MutexGuard guard(lock_);
      if (stopping_) return;
      currentFd_ = s.get();
    }
    round_(s.get(), partner, error);
    MutexGuard guard(lock_);
    currentFd_ = -1;
  }
}

}  // namespace recon_net
}  // namespace kry
