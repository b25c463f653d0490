#include "runtime/console_session.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "log/eventlog.h"
#include "platform/net/krynet.h"
#include "runtime/process.h"

namespace kry {

namespace {

// A stop request is noticed within this slice while a wait watches for it.
constexpr long kStopSliceMs = 200;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

WaitResult WaitSocket(int socket, int mode, long timeoutMs, bool watchStop) {
  SocketSetPtr set(KRYNewSocketSet(0));
  if (!set) return WaitResult::kError;
  int64_t deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
  for (;;) {
    if (watchStop && g_stopEvent && g_stopEvent->IsSet()) return WaitResult::kStop;
    long slice = -1;
    if (deadline >= 0) {
      slice = static_cast<long>(deadline - NowMs());
      if (slice < 0) slice = 0;
    }
    if (watchStop && (slice < 0 || slice > kStopSliceMs)) slice = kStopSliceMs;
    KRYClearSocketSet(set.get());
    KRYAddToSocketSet(set.get(), socket, mode);
    int n = KRYSelect(set.get(), slice);
    if (n > 0) return WaitResult::kReady;
    if (n < 0) return WaitResult::kError;
    if (deadline >= 0 && NowMs() >= deadline) return WaitResult::kTimeout;
  }
}

long TimeoutMs(int seconds) { return seconds > 0 ? seconds * 1000L : -1; }

}  // namespace

ConsoleSession::~ConsoleSession() { Close(); }

void ConsoleSession::Close() {
  tls.reset();
  if (socket >= 0) KRYCloseSocket(socket);
  socket = -1;
  valid = false;
  tag = 0;
}

bool ConsoleInputBuffered(const ConsoleSession* s) { return !s->pending.empty() || ConsoleTLSPending(s) > 0; }

WaitResult WaitReadable(int socket, long timeoutMs, bool watchStop) {
  return WaitSocket(socket, kKRYSocketSetRead, timeoutMs, watchStop);
}

bool ReceiveConsoleMessage(ConsoleSession* s, int timeoutSeconds) {
  long timeoutMs = TimeoutMs(timeoutSeconds);
  int64_t deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
  for (;;) {
    if (!s->pending.empty()) {
      size_t used = 0;
      FrameResult fr = ParseConsoleFrame(reinterpret_cast<const uint8_t*>(s->pending.data()), s->pending.size(),
                                         &s->message, &used);
      if (fr == FrameResult::kOk) {
        s->pending.erase(0, used);
        return true;
      }
      if (fr == FrameResult::kBad) {
        LogError(EVENTLOG_ERROR, "Message is not from a KRY console");
        s->pending.clear();
        return false;
      }
    }
    long left = -1;
    if (deadline >= 0) {
      left = static_cast<long>(deadline - NowMs());
      if (left <= 0) left = 0;
    }
    WaitResult w = ConsoleTLSPending(s) > 0 ? WaitResult::kReady : WaitReadable(s->socket, left, false);
    if (w == WaitResult::kTimeout) {
      // A message announced but never completed is not a console's; it is
      // dropped like any other such message.
      if (!s->pending.empty()) LogError(EVENTLOG_ERROR, "Message is not from a KRY console");
      else s->timedOut = true;
      s->pending.clear();
      return false;
    }
    if (w != WaitResult::kReady) {
      s->socketFailed = true;
      return false;
    }
    char buf[kConsoleMaxMessage];
    size_t room = kConsoleMaxMessage - s->pending.size();
    long n = KRYReceive(s->socket, buf, room, 0);
    if (n <= 0) {
      s->socketFailed = true;
      return false;
    }
    s->pending.append(buf, static_cast<size_t>(n));
  }
}

bool SendConsoleMessage(ConsoleSession* s, uint8_t type, const std::string& payload, int timeoutSeconds) {
  if (!s->valid || s->tag != ConsoleSession::kTag || s->socket < 0) return false;
  std::string msg = BuildConsoleMessage(type, payload);
  long timeoutMs = TimeoutMs(timeoutSeconds);
  int64_t deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
  size_t sent = 0;
  while (sent < msg.size()) {
    long left = -1;
    if (deadline >= 0) {
      left = static_cast<long>(deadline - NowMs());
      if (left <= 0) break;
    }
    if (WaitSocket(s->socket, kKRYSocketSetWrite, left, false) != WaitResult::kReady) break;
    long n = KRYSend(s->socket, msg.data() + sent, msg.size() - sent, kKRYSocketNoWait);
    if (n < 0) {
      int code = KRYGetLastSocketsError();
      if (code == EAGAIN || code == EWOULDBLOCK) continue;
      break;
    }
    sent += static_cast<size_t>(n);
  }
  if (sent < msg.size()) s->socketFailed = true;
  return sent == msg.size();
}

}  // namespace kry
