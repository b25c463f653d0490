// Framed, bounded, time-limited message I/O for one reconciliation session
// over a blocking socket: reads wait at most ioTimeoutMs for progress, frames
// over maxMessage and sessions over maxElements received elements fail.
#pragma once

#include <cstdint>
#include <string>

#include "recon/session.h"
#include "recon/wire.h"

namespace recon {

class Channel {
 public:
  Channel(int fd, const SessionLimits& lim) : fd_(fd), lim_(lim) {}

  // Each returns a ReconStatus; on failure Error() says why.
  int ReadFrame(std::string* body);
  int ReadMessage(Message* m);
  void Queue(const std::string& frame) { out_ += frame; }
  void Queue(const Message& m) { out_ += EncodeMessage(m); }
  int Flush();

  const std::string& Error() const { return error_; }
  uint64_t BytesIn() const { return bytesIn_; }
  uint64_t BytesOut() const { return bytesOut_; }

 private:
  int ReadExact(uint8_t* buf, size_t len);
  int Fail(int status, std::string why);

  int fd_;
  SessionLimits lim_;
  std::string out_;
  std::string error_;
  uint64_t bytesIn_ = 0, bytesOut_ = 0;
  size_t elementsIn_ = 0;
};

}  // namespace recon
