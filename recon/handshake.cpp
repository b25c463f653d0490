#include "recon/handshake.h"

#include <cstdlib>
#include <map>

#include "util/bigendian.h"

namespace recon {
namespace {

// Numbers travel as 4-byte big-endian strings.
std::string IntValue(int v) {
  std::string s;
  kry::AppendBE32(&s, (uint32_t)v);
  return s;
}

bool ParseInt(const std::string& s, int* v) {
  if (s.size() != 4) return false;
  *v = (int)kry::LoadBE32(s.data());
  return true;
}

Message OurConfig(const ReconParams& p, int httpPort) {
  Message m;
  m.type = MsgType::kConfig;
  m.config = {{"bitquantum", IntValue(p.bitQuantum)},
              {"filters", p.filters},
              {"http port", IntValue(httpPort)},
              {"mbar", IntValue(p.mbar)},
              {"version", p.version}};
  return m;
}

// Empty when the peer's configuration fits ours, else the reason.
std::string Compare(const Message& peer, const ReconParams& p, SessionResult* out) {
  std::map<std::string, std::string> kv(peer.config.begin(), peer.config.end());
  int v = 0;
  if (!kv.count("bitquantum") || !ParseInt(kv["bitquantum"], &v) || v != p.bitQuantum) {
    return "bitquantum does not match";
  }
  if (!kv.count("mbar") || !ParseInt(kv["mbar"], &v) || v != p.mbar) return "mbar does not match";
  if (!kv.count("filters") || kv["filters"] != p.filters) return "filters do not match";
  if (kv.count("http port") && ParseInt(kv["http port"], &v) && v > 0 && v < 65536) {
    out->peerHttpPort = v;
  }
  out->peerVersion = kv["version"];
  return "";
}

}  // namespace

int ExchangeConfig(Channel* ch, const ReconParams& p, int ourHttpPort, SessionResult* out) {
  ch->Queue(OurConfig(p, ourHttpPort));
  int st = ch->Flush();
  if (st != kReconOk) return st;
  Message peer;
  if ((st = ch->ReadMessage(&peer)) != kReconOk) return st;
  if (peer.type != MsgType::kConfig) {
    out->failure = std::string("expected Config, got ") + MsgTypeName(peer.type);
    return kReconProtocolError;
  }
  std::string why = Compare(peer, p, out);
  if (why.empty()) {
    ch->Queue(EncodeString("passed"));
  } else {
    ch->Queue(EncodeString("failed"));
    ch->Queue(EncodeString(why));
  }
  if ((st = ch->Flush()) != kReconOk) return st;
  if (!why.empty()) {
    out->failure = "peer configuration refused: " + why;
    return kReconConfigMismatch;
  }
  std::string verdict;
  if ((st = ch->ReadFrame(&verdict)) != kReconOk) return st;
  if (verdict == "passed") return kReconOk;
  std::string reason;
  if (verdict == "failed" && ch->ReadFrame(&reason) == kReconOk) {
    out->failure = "peer refused our configuration: " + reason;
  } else {
    out->failure = "peer refused our configuration";
  }
  return kReconConfigMismatch;
}

}  // namespace recon
