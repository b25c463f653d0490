#include "recon/channel.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>

#include "util/bigendian.h"

namespace recon {

int Channel::Fail(int status, std::string why) {
  error_ = std::move(why);
  return status;
}

int Channel::ReadExact(uint8_t* buf, size_t len) {
  while (len > 0) {
    pollfd p{fd_, POLLIN, 0};
    int r = poll(&p, 1, lim_.ioTimeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) return Fail(kReconTimeout, "peer stalled");
    if (r < 0) return Fail(kReconIoError, std::string("poll: ") + strerror(errno));
    ssize_t n = recv(fd_, buf, len, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return Fail(kReconIoError, std::string("read: ") + strerror(errno));
    if (n == 0) return Fail(kReconIoError, "peer closed the connection");
    buf += n;
    len -= (size_t)n;
    bytesIn_ += (uint64_t)n;
  }
  return kReconOk;
}

int Channel::ReadFrame(std::string* body) {
  uint8_t hdr[4];
  int st = ReadExact(hdr, 4);
  if (st != kReconOk) return st;
  size_t len = kry::LoadBE32(hdr);
  if (len > lim_.maxMessage) {
    return Fail(kReconTooLarge, "message of " + std::to_string(len) + " bytes");
  }
  body->resize(len);
  return ReadExact(reinterpret_cast<uint8_t*>(&(*body)[0]), len);
}

int Channel::ReadMessage(Message* m) {
  std::string body;
  int st = ReadFrame(&body);
  if (st != kReconOk) return st;
  size_t room = lim_.maxElements - elementsIn_;
  switch (DecodeMessage(reinterpret_cast<const uint8_t*>(body.data()), body.size(), room, m)) {
    case DecodeStatus::kOk:
      break;
    case DecodeStatus::kTooMany:
      return Fail(kReconTooMany, "more than " + std::to_string(lim_.maxElements) + " elements");
    default:
      return Fail(kReconProtocolError,
                  body.empty() ? "empty message"
                               : std::string("malformed ") + MsgTypeName((MsgType)body[0]));
  }
  elementsIn_ += m->elements.size();
  return kReconOk;
}

int Channel::Flush() {
  size_t done = 0;
  while (done < out_.size()) {
    pollfd p{fd_, POLLOUT, 0};
    int r = poll(&p, 1, lim_.ioTimeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) return Fail(kReconTimeout, "peer stopped reading");
    if (r < 0) return Fail(kReconIoError, std::string("poll: ") + strerror(errno));
    ssize_t n = send(fd_, out_.data() + done, out_.size() - done, MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return Fail(kReconIoError, std::string("write: ") + strerror(errno));
    done += (size_t)n;
    bytesOut_ += (uint64_t)n;
  }
  out_.clear();
  return kReconOk;
}

}  // namespace recon
