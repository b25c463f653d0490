// Signed messages: the clear-signed framework (RFC 4880 section 7, with
// dash-escaping and text canonicalisation) and packet messages (one-pass
// signature, literal data, compressed data; RFC 4880 11.3).
#pragma once

#include "platform/pgp/model.h"

namespace krypgp {

// Cap on decompressed data and on the nesting of compressed packets.
constexpr size_t kMaxDecompressed = 64u << 20;
constexpr int kMaxNesting = 8;

struct ClearSigned {
  std::string text;       // dash-unescaped text, LF line ends, no final line end
  Bytes canonical;        // the text as signed: CRLF, trailing blanks removed
  Bytes signatureData;    // packets of the signature block(s)
  size_t endOffset = 0;   // input offset just past the signature's END line
};
// Parses a clear-signed message starting at its BEGIN line.
KRYError ParseClearSigned(const uint8_t* data, size_t len, ClearSigned* out);

// Inflates a compressed-data packet body (ZIP, ZLIB, BZip2).
KRYError Decompress(const Bytes& body, Bytes* out);

}  // namespace krypgp
