// Transferable keys as packet sequences (RFC 4880 11.1, 11.2): turning a
// packet stream into keys, and keys back into packets for export.
#pragma once

#include "platform/pgp/model.h"

namespace krypgp {

struct BuildResult {
  std::vector<std::unique_ptr<KRYKey>> keys;
  int skippedKeys = 0;  // keys whose primary packet could not be read
};

// Groups packets into keys. Packets before the first key are ignored;
// trust, marker and unknown packets stay with the object they follow. A
// primary key we cannot parse drops that key (counted in skippedKeys).
KRYError BuildKeys(std::vector<Packet>& packets, BuildResult* out);

// Parses a public or secret (sub)key packet into info/secret, and derives
// the public packet from a secret one.
KRYError ParseKeyPacket(const Packet& p, PublicKeyInfo* info, SecretInfo* secret,
                        Packet* publicPacket);

struct ExportSpec {
  bool basic = false;         // leave out user attributes, trust and unknown packets
  bool withSecret = false;
};
void SerializeKey(const KRYKey& key, const ExportSpec& fileSpec, Bytes* out);

}  // namespace krypgp
