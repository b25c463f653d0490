#include "ldap/sockbuf.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "log/eventlog.h"
#include "log/trace.h"
#include "util/inputwatch.h"
#include "util/strutil.h"

namespace kry {

std::atomic<int> g_berSocketTimeoutMs{kBerSocketTimeoutMs};
std::atomic<uint32_t> g_berMaxMessageSize{kBerDefaultMaxMessageSize};
std::atomic<int> g_busyOperations{0};
std::atomic<int> g_readingConnections{0};

namespace {

using Clock = std::chrono::steady_clock;
// The time by which a whole message must have arrived; the epoch when no
// message has begun.
using Deadline = Clock::time_point;

// First area for a message's contents; it doubles as bytes arrive, so an
// announced length costs memory only once it is sent.
constexpr size_t kFirstMessageArea = 64 * 1024;

// Waits until the stream's socket is readable (or writable), for at most
// the socket time-out and never past `deadline` (when set). 0 when ready,
// kKRYNetError_ReceiveTimeout after the time-out, -1 on a wait error.
int WaitReady(Sockbuf* sb, bool forWrite, Deadline deadline = Deadline()) {
  KRYSocketRef sd = sb->sd.load();
  if (sd < 0) {
    KRYSetLastSocketsError(EBADF);
    return -1;
  }
  long waitMs = g_berSocketTimeoutMs.load();
  if (deadline != Deadline()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    waitMs = std::max<long>(0, std::min<long>(waitMs, static_cast<long>(left)));
  }
  SocketSet set;
  KRYAddToSocketSet(&set, sd, forWrite ? kKRYSocketSetWrite : kKRYSocketSetRead);
  int rc = KRYSelect(&set, waitMs);
  if (rc < 0) return -1;
  if (rc == 0) {
    KRYSetLastSocketsError(kKRYNetError_ReceiveTimeout);
    return kKRYNetError_ReceiveTimeout;
  }
  return 0;
}

// A client that sends its next request right after reading an answer
// finds this thread still awake: when this is the only connection reading
// requests and nothing else runs, the idle wait first checks the socket
// without sleeping for a few tens of microseconds. Sleeping in poll and
// being woken costs the server and the client a cross-processor wake-up
// each, which on one connection is most of a lookup's round trip. With
// other connections about, the processors have better things to do than
// spin. True when data arrived during the spin.
bool SpinForData(KRYSocketRef sd) {
  auto alone = [] {
    return g_readingConnections.load(std::memory_order_relaxed) == 1 &&
           g_busyOperations.load(std::memory_order_relaxed) == 0;
  };
  return alone() && WatchForInput(sd, 60, false, alone);
}

// sockbuf_read with the whole message's deadline.
long ReadThrough(Sockbuf* sb, void* data, size_t length, Deadline deadline);

// Reads exactly `length` bytes of a header through the read-ahead buffer.
bool ReadExactly(Sockbuf* sb, uint8_t* data, size_t length, Deadline deadline) {
  while (length > 0) {
    long got = ReadThrough(sb, data, length, deadline);
    if (got <= 0) return false;
    data += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

void sockbuf_reset(Sockbuf* sb, KRYSocketRef sd) {
  sb->sd.store(sd);
  sb->readAhead.current = 0;
  sb->readAhead.end = 0;
  sb->transport = nullptr;
}

long TLSSockbufTransport::Receive(Sockbuf* sb, void* data, size_t length) {
  return KRYReceive(sb->sd.load(), data, length, 0);
}

long TLSSockbufTransport::Send(Sockbuf* sb, const void* data, size_t length) {
  return KRYSend(sb->sd.load(), data, length, kKRYSocketNoWait);
}

size_t TLSSockbufTransport::Pending(Sockbuf*) { return KRYtlsPendingBytes(session); }

void sockbuf_release_buffer(Sockbuf* sb) { sb->readAhead.FreeArea(); }

long sockbuf_read(Sockbuf* sb, void* data, size_t length) { return ReadThrough(sb, data, length, Deadline()); }

namespace {

long ReadThrough(Sockbuf* sb, void* data, size_t length, Deadline deadline) {
  uint8_t* out = static_cast<uint8_t*>(data);
  BerBuffer& ahead = sb->readAhead;
  size_t delivered = 0;
  long failure = -1;
  while (delivered < length) {
    if (ahead.current < ahead.end) {
      size_t n = ahead.end - ahead.current;
      if (n > length - delivered) n = length - delivered;
      std::memcpy(out + delivered, ahead.buffer() + ahead.current, n);
      ahead.current += n;
      delivered += n;
      continue;
    }
    ahead.current = ahead.end = 0;
    if (!ahead.buffer() && !ahead.Resize(kSockbufReadAheadSize)) break;
    if ((!sb->transport || sb->transport->Pending(sb) == 0) &&
        !(deadline == Deadline() && SpinForData(sb->sd.load()))) {
      int wait = WaitReady(sb, false, deadline);
      if (wait != 0) {
        failure = wait;
        break;
      }
    }
    size_t wanted = length - delivered;
    size_t ask = ((sb->options & SOCKBUF_OPTION_NO_READ_AHEAD) && wanted < kSockbufReadAheadSize) ? wanted
                                                                                                   : kSockbufReadAheadSize;
    if (ask > ahead.capacity()) ask = ahead.capacity();
    long got = sb->transport ? sb->transport->Receive(sb, ahead.buffer(), ask)
                             : KRYReceive(sb->sd.load(), ahead.buffer(), ask, 0);
    if (got <= 0) break;
    ahead.end = static_cast<size_t>(got);
  }
  return delivered > 0 ? static_cast<long>(delivered) : failure;
}

}  // namespace

ber_tag_t ber_get_next(Sockbuf* sb, ber_len_t* length, BerBuffer* ber) {
  if (!sb || !length || !ber) return LBER_DEFAULT;
  bool dump = g_berDebug.load(std::memory_order_relaxed) != 0;
  if (dump) ber_trace("ber_get_next\n");

  // A read resumed after a failure has a fresh deadline.
  Deadline deadline = Clock::now() + std::chrono::milliseconds(g_berSocketTimeoutMs.load());
  if (ber->transferPosition == BerBuffer::kNoTransfer) {
    // Identifier octets: one, or up to three more after a low-five-bits-set
    // first octet, the last with bit 0x80 clear.
    // The wait for a message's first byte is the idle wait; from then on
    // the whole message must arrive within one socket time-out, so that a
    // client sending a byte now and then cannot hold its slot for ever.
    uint8_t octet;
    if (!ReadExactly(sb, &octet, 1, Deadline())) return LBER_DEFAULT;
    deadline = Clock::now() + std::chrono::milliseconds(g_berSocketTimeoutMs.load());
    ber_tag_t tag = octet;
    if ((octet & 0x1F) == 0x1F) {
      int further = 0;
      do {
        if (further == 3 || !ReadExactly(sb, &octet, 1, deadline)) return LBER_DEFAULT;
        tag = (tag << 8) | octet;
        ++further;
      } while (octet & 0x80);
    }
    ber->pendingTag = tag;

    if (!ReadExactly(sb, &octet, 1, deadline)) return LBER_DEFAULT;
    ber_len_t messageLength = octet;
    if (octet & 0x80) {
      int count = octet & 0x7F;
      if (count > 4) return LBER_DEFAULT;
      uint8_t octets[4];
      if (count > 0 && !ReadExactly(sb, octets, static_cast<size_t>(count), deadline)) return LBER_DEFAULT;
      messageLength = 0;
      for (int i = 0; i < count; ++i) messageLength = (messageLength << 8) | octets[i];
    }
    ber->messageLength = messageLength;
    *length = messageLength;

    // An empty message cannot be an LDAP message, and nothing is allocated
    // for a length the server would never accept.
    if (messageLength == 0) return LBER_DEFAULT;
    uint32_t maximum = g_berMaxMessageSize.load();
    if (messageLength > maximum) {
      LogError(EVENTLOG_WARNING, "Message of %lu bytes exceeds the maximum message size (%lu); closing connection.",
               static_cast<unsigned long>(messageLength), static_cast<unsigned long>(maximum));
      return LBER_DEFAULT;
    }
    ber->FreeArea();
    if (!ber->Resize(std::min<size_t>(messageLength, kFirstMessageArea))) return LBER_DEFAULT;
    ber->current = 0;
    ber->end = messageLength;
    ber->transferPosition = 0;
  }

  while (ber->transferPosition < ber->end) {
    if (ber->transferPosition == ber->capacity() &&
        !ber->Resize(std::min<size_t>(ber->end, 2 * ber->capacity())))
      return LBER_DEFAULT;
    long got = ReadThrough(sb, ber->buffer() + ber->transferPosition, ber->capacity() - ber->transferPosition,
                           deadline);
    if (got <= 0) return LBER_DEFAULT;
    ber->transferPosition += static_cast<size_t>(got);
  }

  if (dump) {
    ber_trace("ber_get_next: tag 0x%lx len %ld contents:\n", static_cast<unsigned long>(ber->pendingTag),
          static_cast<long>(ber->messageLength));
    ber_dump(ber, 1);
  }
  *length = ber->messageLength;
  ber->transferPosition = BerBuffer::kNoTransfer;
  return ber->pendingTag;
}

namespace {

// Writes `length` bytes; *written counts what went out even on failure.
// 0, kKRYNetError_ReceiveTimeout when the peer took none for a socket
// time-out, -1 on a write error.
int WriteAll(Sockbuf* sb, const uint8_t* from, size_t length, size_t* written) {
  while (*written < length) {
    // Without waiting: a blocking send would sit until every byte is queued,
    // however long a peer that stopped reading takes. The socket is waited
    // for only when it is full, so an answer that fits costs one call.
    const uint8_t* at = from + *written;
    size_t left = length - *written;
    long sent = sb->transport ? sb->transport->Send(sb, at, left) : KRYSend(sb->sd.load(), at, left, kKRYSocketNoWait);
    if (sent < 0) {
      int error = KRYGetLastSocketsError();
      if (error != EAGAIN && error != EWOULDBLOCK) return -1;
      int wait = WaitReady(sb, true);
      if (wait == kKRYNetError_ReceiveTimeout) return kKRYNetError_ReceiveTimeout;
      if (wait != 0) return -1;
      continue;
    }
    if (sent == 0) return -1;
    *written += static_cast<size_t>(sent);
  }
  return 0;
}

}  // namespace

int sockbuf_write(Sockbuf* sb, const void* data, size_t length) {
  if (!sb || (!data && length)) return -1;
  size_t written = 0;
  return WriteAll(sb, static_cast<const uint8_t*>(data), length, &written);
}

int ber_flush(Sockbuf* sb, BerBuffer* ber, int freeIt) {
  if (!sb || !ber) return -1;
  if (ber->transferPosition == BerBuffer::kNoTransfer) ber->transferPosition = 0;
  if (ber->transferPosition > ber->current) return -1;
  size_t remaining = ber->current - ber->transferPosition;

  if (g_berDebug.load(std::memory_order_relaxed)) {
    ber_trace("ber_flush: %ld bytes to sd %ld%s\n", static_cast<long>(remaining),
          static_cast<long>(sb->sd.load()), ber->transferPosition != 0 ? " (re-flush)" : "");
    ber_hex_print(ber->buffer() + ber->transferPosition, remaining);
  }

  size_t written = 0;
  int rc = WriteAll(sb, ber->buffer() + ber->transferPosition, remaining, &written);
  ber->transferPosition += written;
  if (rc != 0) return rc;
  if (freeIt) ber_release(ber, 1);
  return 0;
}

}  // namespace kry
