#include "ldap/sockbuf.h"

#include <cerrno>
#include <cstring>

#include "log/eventlog.h"
#include "log/trace.h"
#include "util/strutil.h"

namespace kry {

std::atomic<int> g_berSocketTimeoutMs{kBerSocketTimeoutMs};
std::atomic<uint32_t> g_berMaxMessageSize{kBerDefaultMaxMessageSize};

namespace {

// Waits until the stream's socket is readable (or writable). 0 when ready,
// kKRYNetError_ReceiveTimeout after the time-out, -1 on a wait error.
int WaitReady(Sockbuf* sb, bool forWrite) {
  KRYSocketRef sd = sb->sd.load();
  if (sd < 0) {
    KRYSetLastSocketsError(EBADF);
    return -1;
  }
  SocketSet set;
  KRYAddToSocketSet(&set, sd, forWrite ? kKRYSocketSetWrite : kKRYSocketSetRead);
  int rc = KRYSelect(&set, g_berSocketTimeoutMs.load());
  if (rc < 0) return -1;
  if (rc == 0) {
    KRYSetLastSocketsError(kKRYNetError_ReceiveTimeout);
    return kKRYNetError_ReceiveTimeout;
  }
  return 0;
}

// Reads exactly `length` bytes of a header through the read-ahead buffer.
bool ReadExactly(Sockbuf* sb, uint8_t* data, size_t length) {
  while (length > 0) {
    long got = sockbuf_read(sb, data, length);
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

void sockbuf_release_buffer(Sockbuf* sb) { sb->readAhead.FreeArea(); }

long sockbuf_read(Sockbuf* sb, void* data, size_t length) {
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
    if (!sb->transport || sb->transport->Pending(sb) == 0) {
      int wait = WaitReady(sb, false);
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

ber_tag_t ber_get_next(Sockbuf* sb, ber_len_t* length, BerBuffer* ber) {
  if (!sb || !length || !ber) return LBER_DEFAULT;
  bool dump = g_berDebug.load(std::memory_order_relaxed) != 0;
  if (dump) ber_trace("ber_get_next\n");

  if (ber->transferPosition == BerBuffer::kNoTransfer) {
    // Identifier octets: one, or up to three more after a low-five-bits-set
    // first octet, the last with bit 0x80 clear.
    uint8_t octet;
    if (!ReadExactly(sb, &octet, 1)) return LBER_DEFAULT;
    ber_tag_t tag = octet;
    if ((octet & 0x1F) == 0x1F) {
      int further = 0;
      do {
        if (further == 3 || !ReadExactly(sb, &octet, 1)) return LBER_DEFAULT;
        tag = (tag << 8) | octet;
        ++further;
      } while (octet & 0x80);
    }
    ber->pendingTag = tag;

    if (!ReadExactly(sb, &octet, 1)) return LBER_DEFAULT;
    ber_len_t messageLength = octet;
    if (octet & 0x80) {
      int count = octet & 0x7F;
      if (count > 4) return LBER_DEFAULT;
      uint8_t octets[4];
      if (count > 0 && !ReadExactly(sb, octets, static_cast<size_t>(count))) return LBER_DEFAULT;
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
    if (!ber->Resize(messageLength)) return LBER_DEFAULT;
    ber->current = 0;
    ber->end = messageLength;
    ber->transferPosition = 0;
  }

  while (ber->transferPosition < ber->end) {
    long got = sockbuf_read(sb, ber->buffer() + ber->transferPosition, ber->end - ber->transferPosition);
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

  while (remaining > 0) {
    int wait = WaitReady(sb, true);
    if (wait == kKRYNetError_ReceiveTimeout) return kKRYNetError_ReceiveTimeout;
    if (wait != 0) return -1;
    const uint8_t* from = ber->buffer() + ber->transferPosition;
    // Without waiting: a blocking send would sit until every byte is queued,
    // however long a peer that stopped reading takes.
    long sent = sb->transport ? sb->transport->Send(sb, from, remaining)
                              : KRYSend(sb->sd.load(), from, remaining, kKRYSocketNoWait);
    if (sent < 0) {
      int error = KRYGetLastSocketsError();
      if (error == EAGAIN || error == EWOULDBLOCK) continue;
      return -1;
    }
    if (sent == 0) return -1;
    ber->transferPosition += static_cast<size_t>(sent);
    remaining -= static_cast<size_t>(sent);
  }
  if (freeIt) ber_release(ber, 1);
  return 0;
}

}  // namespace kry
