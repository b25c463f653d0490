// Feeds arbitrary bytes to the command port's receive path (through a
// socket pair, as a console would send them) and every message it accepts
// to the payload decoders, list chunking included.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "log/eventlog.h"
#include "runtime/console_proto.h"
#include "runtime/console_session.h"

namespace {

void Decode(const kry::ConsoleMessage& m) {
  kry::LogonRequest logon = kry::DecodeLogon(m.payload);
  (void)kry::ConsoleVersionTooOld(logon.major, logon.minor);
  kry::StartParams start = kry::DecodeStartParams(m.payload);
  (void)kry::EncodeStartParams(start);
  (void)kry::DecodeReadEvents(m.payload);
  (void)kry::DecodeStatus(m.payload);
  kry::LogonReply reply;
  if (kry::DecodeLogonReply(m.payload, &reply)) (void)kry::EncodeLogonReply(reply);
  kry::StartReply sr;
  (void)kry::DecodeStartReply(m.payload, &sr);
  kry::Statistics st;
  (void)kry::DecodeStatistics(m.payload, &st);
  kry::ListChunk chunk;
  if (kry::DecodeListChunk(m.payload, &chunk)) {
    std::vector<std::pair<std::string, std::string>> entries;
    if (kry::SplitListEntries(chunk, &entries)) {
      kry::ListChunkBuilder b;
      for (const auto& e : entries) {
        if (!b.Add(e.first, e.second)) b.Clear();
        if (b.chunk().text.size() > kry::kConsoleListTextMax) __builtin_trap();
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Drop every event: the harness must not write an event file.
  kry::ErrorLogInit("krycertd", 16, 0, 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
  if (size > 0 && write(sv[1], data, size) != static_cast<ssize_t>(size)) {
    close(sv[0]);
    close(sv[1]);
    return 0;
  }
  shutdown(sv[1], SHUT_WR);
  kry::ConsoleSession session;
  session.socket = sv[0];
  for (int i = 0; i < 64 && !session.socketFailed; ++i) {
    if (kry::ReceiveConsoleMessage(&session, 1)) Decode(session.message);
    if (session.pending.size() > kry::kConsoleMaxMessage) __builtin_trap();
  }
  close(sv[1]);
  return 0;
}
