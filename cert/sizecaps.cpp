#include "cert/sizecaps.h"

#include "log/eventlog.h"
#include "platform/pgp/keycaps.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

namespace {

KRYKeyCaps ConfiguredCaps() {
  KRYKeyCaps caps;
  caps.maxKeyLength = g_globals->MaxKeyLength;
  caps.maxPacketLength = g_globals->MaxPacketLength;
  caps.maxSigPacketLength = g_globals->MaxSigPacketLength;
  caps.maxSignatures = g_globals->MaxSignatures;
  caps.maxSignaturesPerUserID = g_globals->MaxSignaturesPerUserID;
  return caps;
}

// What passed which cap, in words a client can act on.
std::string BreachText(KRYCapBreach breach) {
  const Globals& g = *g_globals;
  switch (breach) {
    case KRYCapBreach::KeyLength:
      return StrFormat("is longer than MaxKeyLength (%llu bytes).", static_cast<unsigned long long>(g.MaxKeyLength));
    case KRYCapBreach::PacketLength:
      return StrFormat("has a packet longer than MaxPacketLength (%llu bytes).",
                       static_cast<unsigned long long>(g.MaxPacketLength));
    case KRYCapBreach::SigPacketLength:
      return StrFormat("has a signature packet longer than MaxSigPacketLength (%llu bytes).",
                       static_cast<unsigned long long>(g.MaxSigPacketLength));
    case KRYCapBreach::Signatures:
      return StrFormat("carries more than MaxSignatures (%ld) signatures.", g.MaxSignatures);
    case KRYCapBreach::SignaturesPerUserID:
      return StrFormat("has a user ID with more than MaxSignaturesPerUserID (%ld) signatures.",
                       g.MaxSignaturesPerUserID);
    case KRYCapBreach::None:
      break;
  }
  return std::string();
}

}  // namespace

int CheckSizeCaps(AddRequestState* state, const std::string& block, bool merged) {
  KRYCapBreach breach = KRYCapBreach::None;
  const KRYError err = KRYCheckKeyCaps(block.data(), block.size(), ConfiguredCaps(), &breach);
  // A block that cannot be split into packets is the import's to refuse,
  // with the library's reason; only sheer size is a cap.
  if (err == kKRYError_TooLarge) breach = KRYCapBreach::KeyLength;
  if (breach == KRYCapBreach::None) return 0;
  const std::string text = (merged ? "With the stored copy, the certificate " : "Certificate ") + BreachText(breach);
  LogError(EVENTLOG_WARNING, "Did not add certificate 0x%s: %s", state->certID.empty() ? "?" : state->certID.c_str(),
           text.c_str());
  state->SetText(text.c_str());
  return 21;
}

}  // namespace kry
