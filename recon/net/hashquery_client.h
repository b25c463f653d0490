// Fetching keys by digest from a peer's HTTP port: POST /pks/hashquery with
// a 4-byte big-endian count and each digest as a 4-byte length (16) and its
// bytes; the answer is a 4-byte count and as many length-prefixed binary
// keys, optionally followed by CRLF. Everything read is bounded.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/pgp/sksdigest.h"

namespace kry {
namespace recon_net {

struct HashqueryLimits {
  size_t maxResponseBytes = 64u << 20;  // headers and body together
  int timeoutMs = 30000;                // connect, and each read and write
};

// The request body for `digests`.
std::string EncodeHashquery(const std::vector<krypgp::SksDigest>& digests);

// Splits an answer body into its keys. False, with *error, when the body is
// not exactly a count, that many keys and an optional CRLF, or when it holds
// more than `maxKeys` keys.
bool ParseHashqueryAnswer(const std::string& body, size_t maxKeys, std::vector<std::string>* keys,
                          std::string* error);

// Splits a whole HTTP/1.x response into its status and body, checking the
// body against a Content-Length when there is one. False, with *error, for
// anything else (no header end, chunked bodies, a short body).
bool SplitHttpResponse(const std::string& response, int* status, std::string* body, std::string* error);

// Asks host:port for the keys of `digests`. True with the keys it sent;
// false with *error when the exchange failed or the answer is malformed,
// too large or names more keys than were asked for.
bool FetchByDigests(const std::string& host, int port, const std::vector<krypgp::SksDigest>& digests,
                    const HashqueryLimits& limits, std::vector<std::string>* keys, std::string* error);

}  // namespace recon_net
}  // namespace kry
