// "POST /pks/hashquery": a peer fetching keys by digest, in batches. Body:
// a 4-byte big-endian count, then per digest a 4-byte big-endian length
// (16) and the digest. Answer ("pgp/keys"): a 4-byte big-endian count, then
// per key a 4-byte big-endian length and the binary key, then CRLF. Keys
// not held or not served are left out.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "hkp/answer.h"
#include "platform/pgp/sksdigest.h"

namespace kry {

struct Connection;

// Most digests one request may ask for (peers ask for 100 at a time).
constexpr size_t kMaxHashQueryDigests = 1000;
// Largest request body: the count and kMaxHashQueryDigests digests.
constexpr size_t kMaxHashQueryBody = 4 + kMaxHashQueryDigests * (4 + 16);
// The answer stops taking keys before it would grow past this; the peer
// asks again for the rest.
constexpr size_t kMaxHashQueryAnswer = 16u << 20;

// Parses a request body; false with *error (the 400 text) when the count
// exceeds the cap or does not match the body, or a length is not 16.
bool ParseHashQuery(const std::string& body, std::vector<krypgp::SksDigest>* digests, std::string* error);

// The whole answer, with the access-log line of the request.
HkpAnswer HkpHashQuery(Connection* conn, const std::string& body);

}  // namespace kry
