// Host-name look-ups through the re-entrant getaddrinfo/getnameinfo.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/net/krynet.h"
#include "platform/net/net_internal.h"

using krynet_internal::Fail;
using krynet_internal::FailWithErrno;

namespace {

int LookupError(int eai) {
  switch (eai) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
      return kKRYNetError_HostNotFound;
    case EAI_AGAIN: return kKRYNetError_TryAgain;
    case EAI_MEMORY: return ENOMEM;
    case EAI_SYSTEM: return errno ? errno : kKRYNetError_LookupFailed;
    default: return kKRYNetError_LookupFailed;
  }
}

}  // namespace

int KRYGetHostName(char* buf, size_t size) {
  if (!buf || size == 0) return Fail(EINVAL);
  char name[256];
  if (::gethostname(name, sizeof name) != 0) return FailWithErrno();
  name[sizeof name - 1] = '\0';
  size_t n = std::strlen(name);
  if (n >= size) return Fail(ENAMETOOLONG);
  std::memcpy(buf, name, n + 1);
  return 0;
}

int KRYGetHostByName(const char* name, KRYHostEntry* host) {
  if (!name || !host) return Fail(EINVAL);
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(name, nullptr, &hints, &list);
  if (rc != 0) return Fail(LookupError(rc));
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(list, ::freeaddrinfo);
  try {
    KRYHostEntry result;
    result.name = (list && list->ai_canonname) ? list->ai_canonname : name;
    for (addrinfo* a = list; a; a = a->ai_next) {
      if (a->ai_family != AF_INET || !a->ai_addr) continue;
      uint32_t address = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
      bool seen = false;
      for (uint32_t known : result.addresses) seen = seen || known == address;
      if (!seen) result.addresses.push_back(address);
    }
    if (result.addresses.empty()) return Fail(kKRYNetError_HostNotFound);
    *host = std::move(result);
  } catch (const std::bad_alloc&) {
    return Fail(ENOMEM);
  }
  return 0;
}

int KRYGetHostByAddress(const void* address, int size, int family, KRYHostEntry* host) {
  if (!address || !host || size != 4 || family != kKRYAddressFamilyInternet) return Fail(EINVAL);
  sockaddr_in native;
  std::memset(&native, 0, sizeof native);
  native.sin_family = AF_INET;
  std::memcpy(&native.sin_addr.s_addr, address, 4);
  char name[NI_MAXHOST];
  int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&native), sizeof native, name, sizeof name, nullptr, 0,
                         NI_NAMEREQD);
  if (rc != 0) return Fail(LookupError(rc));
  try {
    KRYHostEntry result;
    result.name = name;
    result.addresses.push_back(native.sin_addr.s_addr);
    *host = std::move(result);
  } catch (const std::bad_alloc&) {
    return Fail(ENOMEM);
  }
  return 0;
}

std::string KRYInternetAddressToDottedString(uint32_t address) {
  in_addr in;
  in.s_addr = address;
  char text[INET_ADDRSTRLEN];
  if (!::inet_ntop(AF_INET, &in, text, sizeof text)) return std::string();
  return text;
}
