// The network library: plain TCP sockets, readiness waits, name look-ups and
// byte order, with the calling conventions the server was written against.
//
// Conventions that hold for every call below:
//  * Socket calls return 0 (or a socket, or a byte count) on success and -1
//    on failure; KRYGetLastSocketsError() then gives the code of the calling
//    thread's last failure. Codes are errno values (positive) or one of the
//    kKRYNetError_* codes (negative); KRYGetSocketsErrorString gives a text.
//  * Every socket is created close-on-exec. Sending never raises SIGPIPE.
//  * Receives and accepts are retried when a signal interrupts them.
//  * No function keeps global mutable state except the per-thread last
//    error, so all calls are thread-safe.
// TLS is not part of this file; the BER socket stream (ldap/sockbuf.h) takes
// a pluggable transport for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

typedef int KRYSocketRef;
constexpr KRYSocketRef kKRYInvalidSocket = -1;

// Codes of the library's own failures (errno values are used for the rest).
enum : int {
  kKRYNetError_NoErr = 0,
  kKRYNetError_ReceiveTimeout = -11086,  // a socket wait timed out
  kKRYNetError_HostNotFound = -11087,    // the name service knows no such host
  kKRYNetError_TryAgain = -11088,        // temporary name-service failure
  kKRYNetError_LookupFailed = -11089,    // other name-service failure
};

// Values of KRYOpenSocket's arguments (the same numbers the callers pass:
// KRYOpenSocket(2, 1, 6)).
enum : int {
  kKRYAddressFamilyInternet = 2,
  kKRYSocketTypeStream = 1,
  kKRYProtocolTCP = 6,
};

// Option levels and names of KRYSetSocketOptions
// (KRYSetSocketOptions(s, 0xFFFF, 4, &one, 4) sets address reuse).
enum : int {
  kKRYSocketLevel = 0xFFFF,
  kKRYSocketReuseAddress = 4,
  kKRYSocketKeepAlive = 8,
  kKRYTcpLevel = 6,
  kKRYTcpNoDelay = 1,
};

// Flags of KRYSend and KRYReceive.
enum : int {
  kKRYSocketNoWait = 1,  // do not block: move what can be moved now, else fail with EAGAIN
  kKRYSocketPeek = 2,    // receive only: leave the bytes queued
};

// KRYShutdownSocket directions.
enum : int { kKRYShutdownReceive = 0, kKRYShutdownSend = 1, kKRYShutdownBoth = 2 };

// An IPv4 socket address, 16 bytes like the system's. Port and address are
// in network byte order.
struct KRYSocketAddress {
  uint16_t family = kKRYAddressFamilyInternet;
  uint16_t port = 0;
  uint32_t address = 0;
  uint8_t zero[8] = {};
};
static_assert(sizeof(KRYSocketAddress) == 16, "IPv4 socket address is 16 bytes");

// Host-order values of the two well-known addresses.
constexpr uint32_t kKRYInternetAddressAny = 0;
constexpr uint32_t kKRYInternetAddressLoopback = 0x7F000001;

// A host record of a look-up. Addresses are IPv4, network byte order.
struct KRYHostEntry {
  std::string name;
  std::vector<std::string> aliases;
  std::vector<uint32_t> addresses;
};

// ---------------------------------------------------------------- lifetime
// Counted; each Init needs one Cleanup. Init also sets SIGPIPE to be ignored
// when it still has its default action, so that no library write (TLS
// included) can end the process on a closed connection.
int KRYsdkNetworkLibInit(uint32_t flags);
int KRYsdkNetworkLibCleanup();
// Around all socket use, per thread that uses sockets. Counted; no effect on
// this platform beyond the count.
int KRYSocketsInit();
int KRYSocketsCleanup();

// ---------------------------------------------------------------- sockets
// A new socket, or kKRYInvalidSocket (-1) on failure. Only IPv4 stream TCP
// sockets are supported.
KRYSocketRef KRYOpenSocket(int family, int type, int protocol);
// Only the option levels and names above are known; value is an int.
int KRYSetSocketOptions(KRYSocketRef socket, int level, int name, const void* value, int size);
int KRYBindSocket(KRYSocketRef socket, const KRYSocketAddress* address, int size);
int KRYListen(KRYSocketRef socket, int backlog);
// Accepts one connection: the new socket (close-on-exec), or -1. When
// `peer` is not null it receives the peer's address and `*size` (in: room,
// at least 16; out: 16) is updated.
KRYSocketRef KRYAccept(KRYSocketRef socket, KRYSocketAddress* peer, int* size);
// Blocking connect; an interrupted connect is completed before returning.
int KRYConnect(KRYSocketRef socket, const KRYSocketAddress* address, int size);
// Bytes sent (possibly fewer than `length`), or -1. Never raises SIGPIPE.
// A blocking send may wait until all bytes are queued; pass
// kKRYSocketNoWait after a readiness wait to avoid blocking on a peer that
// does not read.
long KRYSend(KRYSocketRef socket, const void* data, size_t length, int flags);
// Bytes received, 0 when the peer closed, -1 on error.
long KRYReceive(KRYSocketRef socket, void* data, size_t length, int flags);
int KRYShutdownSocket(KRYSocketRef socket, int how);
// Closes the descriptor (the call is not retried: the descriptor is gone
// whatever close reports).
int KRYCloseSocket(KRYSocketRef socket);

// ---------------------------------------------------------------- errors
int KRYGetLastSocketsError();
// For transports layered on the library (TLS): set the thread's last error.
void KRYSetLastSocketsError(int code);
// Text of a code into buf (NUL-terminated when size > 0). Returns 0, or
// -11998 when the text was shortened.
int KRYGetSocketsErrorString(int code, char* buf, size_t size);
// The same text as a string.
std::string KRYSocketsErrorText(int code);

// ---------------------------------------------------------------- select
// Read and write sets of up to 64 sockets for KRYSelect.
constexpr int kKRYSocketSetSize = 64;
enum : int { kKRYSocketSetRead = 1, kKRYSocketSetWrite = 2 };

struct SocketSet {
  struct Half {
    uint32_t count = 0;
    KRYSocketRef sockets[kKRYSocketSetSize] = {};
  };
  Half read;
  Half write;
  uint32_t extra = 0;  // the creator's value; not used by the library
};

// Creates an empty set; null when memory is exhausted.
SocketSet* KRYNewSocketSet(uint32_t extra);
void KRYFreeSocketSet(SocketSet* set);
void KRYClearSocketSet(SocketSet* set);
// Adds to the read set when mode has kKRYSocketSetRead, to the write set
// when it has kKRYSocketSetWrite. A socket already present is not added
// again; a full half (64 sockets) is left unchanged. Negative sockets are
// ignored.
void KRYAddToSocketSet(SocketSet* set, KRYSocketRef socket, int mode);
// 0 when the socket is in neither half, 1 when in the read half, 2 when in
// the write half (write wins). After KRYSelect the halves hold only the
// sockets that are ready, so this tells readable from writable.
int KRYTestSocketSet(const SocketSet* set, KRYSocketRef socket);

struct SocketSetDeleter {
  void operator()(SocketSet* set) const { KRYFreeSocketSet(set); }
};
using SocketSetPtr = std::unique_ptr<SocketSet, SocketSetDeleter>;

// Waits until a socket of the read half is readable (data, end of stream or
// error pending) or one of the write half is writable, for at most
// timeoutMs milliseconds (negative: no limit). Returns the number of ready
// entries, 0 on time-out (sets left empty), or -1 on error (last error set;
// EBADF when a socket is not open). On return > 0 each half holds only its
// ready sockets. An interrupted wait is resumed with the time that is left.
int KRYSelect(SocketSet* set, long timeoutMs);

// ---------------------------------------------------------------- names
// The local host name into buf; -1 (ENAMETOOLONG) when it does not fit.
int KRYGetHostName(char* buf, size_t size);
// IPv4 addresses of a name. Returns 0, or -1 with a kKRYNetError_* code.
int KRYGetHostByName(const char* name, KRYHostEntry* host);
// The name of an address (size 4, family 2, address bytes in network order).
// Returns 0, or -1 with a kKRYNetError_* code or an errno value.
int KRYGetHostByAddress(const void* address, int size, int family, KRYHostEntry* host);
// Dotted-decimal text of an IPv4 address given in network byte order.
std::string KRYInternetAddressToDottedString(uint32_t address);

// ---------------------------------------------------------------- byte order
uint32_t KRYHostToNetLong(uint32_t value);
uint16_t KRYHostToNetShort(uint16_t value);
uint32_t KRYNetToHostLong(uint32_t value);
uint16_t KRYNetToHostShort(uint16_t value);
