// The socket stream under the BER codec: reads exactly one whole BER message
// from a connection (ber_get_next) and writes one out (ber_flush). Every
// receive and every send is preceded by a readiness wait of at most
// g_berSocketTimeoutMs (300 seconds), so a silent or non-reading peer costs
// a connection thread at most that long per wait. Once a message's first
// byte has arrived, the whole message must arrive within one such time-out.
//
// A Sockbuf is read by one thread at a time (its connection's thread);
// ber_flush is serialised by the caller (the connection's send lock). The
// descriptor may be changed by another thread (a forced close), hence atomic.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "ldap/ber.h"
#include "platform/net/krynet.h"
#include "platform/net/krytls.h"

namespace kry {

struct Sockbuf;

// Option bit: receive only as many bytes as the reader asks for, so that no
// bytes of a following message are taken from the socket.
constexpr uint32_t SOCKBUF_OPTION_NO_READ_AHEAD = 8;

// Size of the read-ahead buffer, allocated on the first read.
constexpr size_t kSockbufReadAheadSize = 8192;

// Default of g_berSocketTimeoutMs: 300 seconds.
constexpr int kBerSocketTimeoutMs = 300 * 1000;

// Wait before every receive and every send, in milliseconds. Tests lower it.
extern std::atomic<int> g_berSocketTimeoutMs;
// Largest message ber_get_next accepts; a longer announced length fails
// before anything is allocated. Default 16 MiB.
extern std::atomic<uint32_t> g_berMaxMessageSize;
// Operations being carried out now, on any connection (the idle wait
// spins only while this is zero).
extern std::atomic<int> g_busyOperations;
// Connection threads reading requests (the idle wait spins only when this
// is one).
extern std::atomic<int> g_readingConnections;
constexpr uint32_t kBerDefaultMaxMessageSize = 16u * 1024 * 1024;

// A byte transport layered over the socket (TLS). With none set, the stream
// uses KRYReceive/KRYSend on the descriptor. A transport is owned by whoever
// set it (the connection) and must outlive its use by the stream.
class SockbufTransport {
 public:
  virtual ~SockbufTransport() = default;
  // Same results as KRYReceive: bytes delivered, 0 when the peer closed,
  // -1 on error (last sockets error set). Called after the socket was
  // reported readable, or when Pending() was non-zero.
  virtual long Receive(Sockbuf* sb, void* data, size_t length) = 0;
  // Same results as KRYSend; must not block once the socket was reported
  // writable (a partial send is fine). -1 with EAGAIN means "wait again".
  virtual long Send(Sockbuf* sb, const void* data, size_t length) = 0;
  // Bytes the transport can deliver without the socket becoming readable
  // (decrypted data held back); the stream skips its wait when non-zero.
  virtual size_t Pending(Sockbuf* /*sb*/) { return 0; }
};

// The transport of a socket that carries a TLS session: the network
// library's receive and send already go through the session; the session's
// decrypted bytes held back count as pending.
class TLSSockbufTransport : public SockbufTransport {
 public:
  KRYtlsSessionRef session = nullptr;
  long Receive(Sockbuf* sb, void* data, size_t length) override;
  long Send(Sockbuf* sb, const void* data, size_t length) override;
  size_t Pending(Sockbuf* sb) override;
};

// The socket stream of one connection.
struct Sockbuf {
  std::atomic<KRYSocketRef> sd{kKRYInvalidSocket};
  // Received bytes not yet consumed: buffer()[current, end).
  BerBuffer readAhead;
  uint32_t options = 0;
  SockbufTransport* transport = nullptr;  // not owned; null for plain TCP
};

// Starts the stream on a new socket: sets the descriptor, drops any bytes
// left in the read-ahead buffer by a previous connection (the buffer itself
// is kept) and clears the transport. Options are kept.
void sockbuf_reset(Sockbuf* sb, KRYSocketRef sd);
// Frees the read-ahead buffer (the slot goes away).
void sockbuf_release_buffer(Sockbuf* sb);

// Reads one complete message into `ber`: returns its tag (also in
// ber->pendingTag) and sets *length (and ber->messageLength) to the
// length of its contents, which fill ber's area with current at the first.
// The contents' area grows as bytes arrive, not to the announced length.
// Returns LBER_DEFAULT on a bad tag, more than 4 length octets, a length of
// 0, a length above g_berMaxMessageSize, allocation failure, end of stream,
// receive error, a wait that timed out or a message not complete within its
// deadline. A failed read is not resumed:
// the caller closes the connection.
ber_tag_t ber_get_next(Sockbuf* sb, ber_len_t* length, BerBuffer* ber);

// Sends buffer()[transferPosition or 0, current). Returns 0 when all was
// sent (and then, when freeIt is set, releases ber with ber_release),
// kKRYNetError_ReceiveTimeout when the socket did not become writable in
// time, -1 on any other failure; after a failure ber is not released and a
// later ber_flush resumes where this one stopped. With freeIt set, ber must
// be a raw pointer from ber_alloc that the caller no longer owns on success.
int ber_flush(Sockbuf* sb, BerBuffer* ber, int freeIt);
// Writes `length` bytes whole, with ber_flush's waits and results (a failed
// write is not resumed).
int sockbuf_write(Sockbuf* sb, const void* data, size_t length);

// Reads up to `length` bytes through the read-ahead buffer (waiting as
// above). Returns the bytes delivered; when a refill fails after some were
// delivered, that number; when none were, -1 or kKRYNetError_ReceiveTimeout.
long sockbuf_read(Sockbuf* sb, void* data, size_t length);

}  // namespace kry
