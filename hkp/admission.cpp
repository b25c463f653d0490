#include "hkp/admission.h"

#include <netinet/in.h>

#include <mutex>
#include <unordered_map>

#include "log/metrics.h"

namespace kry {

namespace {

std::mutex g_lock;
std::unordered_map<std::string, int> g_open;  // connections by address key
int g_total = 0;

}  // namespace

std::string HkpAdmissionKey(const sockaddr* address) {
  if (!address) return std::string();
  if (address->sa_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(address);
    return std::string(reinterpret_cast<const char*>(&a->sin_addr), sizeof a->sin_addr);
  }
  if (address->sa_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(address);
    return std::string(reinterpret_cast<const char*>(&a->sin6_addr), sizeof a->sin6_addr);
  }
  return std::string();
}

bool HkpAdmit(const std::string& key, int perAddress, int total) {
  bool fits = true;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_total >= total) {
      fits = false;
    } else if (!key.empty()) {
      const auto it = g_open.find(key);
      fits = it == g_open.end() || it->second < perAddress;
    }
  }
  if (!fits) metrics::CountRefusedConnection(metrics::kHkp);
  return fits;
}

bool HkpAdmitted(const std::string& key, int perAddress, int total) {
  bool within;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    within = ++g_total <= total;
    if (!key.empty() && ++g_open[key] > perAddress) within = false;
  }
  if (!within) metrics::CountRefusedConnection(metrics::kHkp);
  return within;
}

void HkpLeft(const std::string& key) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (g_total > 0) --g_total;
  if (key.empty()) return;
  const auto it = g_open.find(key);
  if (it != g_open.end() && --it->second <= 0) g_open.erase(it);
}

}  // namespace kry
