// The bytes of reconciliation messages. A message is a 4-byte big-endian
// length, then a type byte and the body; integers are 4-byte big-endian,
// strings and element sets carry a 4-byte count first, field elements are
// Zp::kBytes little-endian bytes, and a prefix is its bit count, its byte
// count and its bytes (bits from the most significant of each byte). Only this module knows these layouts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "recon/reconset.h"
#include "recon/zzp.h"

namespace recon {

enum class MsgType : uint8_t {
  kReconRqstPoly = 0,  // prefix, size, samples
  kReconRqstFull = 1,  // prefix, elements
  kElements = 2,       // elements
  kFullElements = 3,   // elements
  kSyncFail = 4,
  kDone = 5,
  kFlush = 6,
  kError = 7,          // text
  kDbRqst = 8,         // text
  kDbRepl = 9,         // text
  kConfig = 10,        // key/value pairs
};

struct Message {
  MsgType type = MsgType::kDone;
  Prefix prefix;
  int64_t size = 0;
  std::vector<Zp> samples;
  std::vector<Zp> elements;
  std::string text;
  std::vector<std::pair<std::string, std::string>> config;
};

// The whole frame (length, type, body) of `m`.
std::string EncodeMessage(const Message& m);
// A bare length-prefixed string, as the handshake's verdict ("passed" or
// "failed" and then the reason) travels.
std::string EncodeString(const std::string& s);

enum class DecodeStatus { kOk, kMalformed, kTooMany };
// Decodes a frame's type byte and body (`data` after the length). Refuses
// bodies that do not parse exactly, unknown types, and element sets or
// sample arrays with more than `maxElements` members.
DecodeStatus DecodeMessage(const uint8_t* data, size_t len, size_t maxElements, Message* out);

const char* MsgTypeName(MsgType t);

}  // namespace recon
