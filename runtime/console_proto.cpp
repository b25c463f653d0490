#include "runtime/console_proto.h"

#include <cstring>

namespace kry {

namespace {

const char kMagic[4] = {'P', 'K', 'R', 'Y'};

void Put16(std::string* out, size_t at, uint16_t v) {
  (*out)[at] = static_cast<char>(v >> 8);
  (*out)[at + 1] = static_cast<char>(v & 0xFF);
}

void Put32(std::string* out, size_t at, uint32_t v) {
  Put16(out, at, static_cast<uint16_t>(v >> 16));
  Put16(out, at + 2, static_cast<uint16_t>(v & 0xFFFF));
}

// Reads a number at `at`; bytes beyond the payload read as zero.
uint16_t Get16(const std::string& in, size_t at) {
  auto byte = [&in](size_t i) { return i < in.size() ? static_cast<uint8_t>(in[i]) : 0; };
  return static_cast<uint16_t>((byte(at) << 8) | byte(at + 1));
}

uint32_t Get32(const std::string& in, size_t at) {
  return (static_cast<uint32_t>(Get16(in, at)) << 16) | Get16(in, at + 2);
}

uint8_t Get8(const std::string& in, size_t at) { return at < in.size() ? static_cast<uint8_t>(in[at]) : 0; }

// Text of a fixed field: up to its first NUL, never past the field or the
// payload.
std::string GetText(const std::string& in, size_t at, size_t size) {
  if (at >= in.size()) return "";
  size_t n = std::min(size, in.size() - at);
  const char* p = in.data() + at;
  return std::string(p, strnlen(p, n));
}

void PutText(std::string* out, size_t at, size_t size, const std::string& text) {
  size_t n = std::min(text.size(), size);
  std::memcpy(&(*out)[at], text.data(), n);
}

}  // namespace

FrameResult ParseConsoleFrame(const uint8_t* data, size_t size, ConsoleMessage* msg, size_t* used) {
  size_t check = std::min(size, sizeof kMagic);
  if (std::memcmp(data, kMagic, check) != 0) return FrameResult::kBad;
  if (size < kConsoleHeaderSize) return FrameResult::kIncomplete;
  size_t length = (static_cast<size_t>(data[4]) << 8) | data[5];
  if (length < kConsoleHeaderSize || length > kConsoleMaxMessage) return FrameResult::kBad;
  if (length > size) return FrameResult::kIncomplete;
  msg->type = data[6];
  msg->payload.assign(reinterpret_cast<const char*>(data) + kConsoleHeaderSize, length - kConsoleHeaderSize);
  *used = length;
  return FrameResult::kOk;
}

std::string BuildConsoleMessage(uint8_t type, const std::string& payload) {
  size_t n = std::min(payload.size(), kConsoleMaxPayload);
  std::string out(kConsoleHeaderSize, '\0');
  std::memcpy(&out[0], kMagic, sizeof kMagic);
  Put16(&out, 4, static_cast<uint16_t>(n + kConsoleHeaderSize));
  out[6] = static_cast<char>(type);
  out.append(payload, 0, n);
  return out;
}

std::string EncodeLogon(const LogonRequest& logon) {
  std::string out(8, '\0');
  Put32(&out, 0, logon.kind);
  Put16(&out, 4, logon.major);
  Put16(&out, 6, logon.minor);
  out += logon.user.substr(0, kConsoleMaxPayload - 9);
  out.push_back('\0');
  return out;
}

LogonRequest DecodeLogon(const std::string& payload) {
  LogonRequest r;
  r.kind = Get32(payload, 0);
  r.major = Get16(payload, 4);
  r.minor = Get16(payload, 6);
  r.user = GetText(payload, 8, payload.size());
  return r;
}

bool ConsoleVersionTooOld(uint16_t major, uint16_t minor) {
  return major < kServerMajor || (major == kServerMajor && minor < kServerMinor);
}

std::string EncodeLogonReply(const LogonReply& r) {
  std::string out(kLogonReplySize, '\0');
  Put16(&out, 0, r.tooOld ? 1 : 0);
  Put32(&out, 4, r.kind);
  Put16(&out, 8, r.major);
  Put16(&out, 10, r.minor);
  Put32(&out, 12, r.pid);
  PutText(&out, 16, 259, r.configFile);
  out[276] = r.stopInProgress ? 1 : 0;
  out[277] = r.running ? 1 : 0;
  if (r.running) {
    Put16(&out, 278, r.port);
    Put16(&out, 280, r.securePort);
    Put16(&out, 282, r.secureMode);
    out[284] = r.portDisabled ? 1 : 0;
    out[285] = r.securePortDisabled ? 1 : 0;
    out[286] = r.sigCheckOff ? 1 : 0;
  }
  PutText(&out, 287, 22, r.product);
  return out;
}

bool DecodeLogonReply(const std::string& p, LogonReply* r) {
  if (p.size() < kLogonReplySize) return false;
  r->tooOld = Get16(p, 0) != 0;
  r->kind = Get32(p, 4);
  r->major = Get16(p, 8);
  r->minor = Get16(p, 10);
  r->pid = Get32(p, 12);
  r->configFile = GetText(p, 16, 260);
  r->stopInProgress = Get8(p, 276) != 0;
  r->running = Get8(p, 277) != 0;
  r->port = Get16(p, 278);
  r->securePort = Get16(p, 280);
  r->secureMode = Get16(p, 282);
  r->portDisabled = Get8(p, 284) != 0;
  r->securePortDisabled = Get8(p, 285) != 0;
  r->sigCheckOff = Get8(p, 286) != 0;
  r->product = GetText(p, 287, 22);
  return true;
}

std::string EncodeStartParams(const StartParams& s) {
  std::string out(kStartParamsSize, '\0');
  PutText(&out, 0, 9, s.port);
  PutText(&out, 10, 9, s.securePort);
  out[22] = s.keepPort ? 1 : 0;
  out[23] = s.keepSecurePort ? 1 : 0;
  out[26] = s.noSignatureCheck ? 1 : 0;
  return out;
}

StartParams DecodeStartParams(const std::string& p) {
  StartParams s;
  s.port = GetText(p, 0, 10);
  s.securePort = GetText(p, 10, 10);
  s.keepPort = Get8(p, 22) == 1;
  s.keepSecurePort = Get8(p, 23) == 1;
  s.noSignatureCheck = Get8(p, 26) == 1;
  return s;
}

std::string EncodeStartReply(const StartReply& r) {
  std::string out(6, '\0');
  Put16(&out, 0, r.status);
  Put16(&out, 2, r.port);
  Put16(&out, 4, r.securePort);
  return out;
}

bool DecodeStartReply(const std::string& p, StartReply* r) {
  if (p.size() < 6) return false;
  r->status = Get16(p, 0);
  r->port = Get16(p, 2);
  r->securePort = Get16(p, 4);
  return true;
}

std::string EncodeStatistics(const Statistics& s) {
  std::string out(kStatisticsSize, '\0');
  Put16(&out, 0, s.status);
  Put32(&out, 4, s.opsInitiated);
  Put32(&out, 8, s.opsCompleted);
  Put32(&out, 12, s.entriesSent);
  Put32(&out, 16, s.bytesSent);
  Put32(&out, 20, s.totalConnections);
  Put16(&out, 24, s.maxConnections);
  Put16(&out, 26, s.currentConnections);
  Put32(&out, 28, s.uptime);
  return out;
}

bool DecodeStatistics(const std::string& p, Statistics* s) {
  if (p.size() < kStatisticsSize) return false;
  s->status = Get16(p, 0);
  s->opsInitiated = Get32(p, 4);
  s->opsCompleted = Get32(p, 8);
  s->entriesSent = Get32(p, 12);
  s->bytesSent = Get32(p, 16);
  s->totalConnections = Get32(p, 20);
  s->maxConnections = Get16(p, 24);
  s->currentConnections = Get16(p, 26);
  s->uptime = Get32(p, 28);
  return true;
}

std::string EncodeStatus(uint16_t status) {
  std::string out(2, '\0');
  Put16(&out, 0, status);
  return out;
}

uint16_t DecodeStatus(const std::string& p) { return p.size() < 2 ? 0xFFFF : Get16(p, 0); }

std::string EncodeReadEvents(const ReadEventsRequest& r) {
  std::string out(8, '\0');
  Put16(&out, 0, r.action);
  Put32(&out, 4, r.pid);
  return out;
}

ReadEventsRequest DecodeReadEvents(const std::string& p) {
  ReadEventsRequest r;
  r.action = Get16(p, 0);
  r.pid = Get32(p, 4);
  return r;
}

std::string EncodeListChunk(const ListChunk& c) {
  std::string out(4 + kConsoleListText, '\0');
  Put16(&out, 0, c.status);
  Put16(&out, 2, c.count);
  PutText(&out, 4, kConsoleListTextMax, c.text);
  return out;
}

bool DecodeListChunk(const std::string& p, ListChunk* c) {
  if (p.size() < 4) return false;
  c->status = Get16(p, 0);
  c->count = Get16(p, 2);
  c->text = GetText(p, 4, kConsoleListText);
  return true;
}

bool SplitListEntries(const ListChunk& chunk, std::vector<std::pair<std::string, std::string>>* entries) {
  entries->clear();
  size_t at = 0;
  auto next = [&chunk, &at](std::string* part) {
    size_t sep = chunk.text.find(kConsoleListSeparator, at);
    if (sep == std::string::npos) return false;
    part->assign(chunk.text, at, sep - at);
    at = sep + 1;
    return true;
  };
  for (uint16_t i = 0; i < chunk.count; ++i) {
    std::pair<std::string, std::string> e;
    if (!next(&e.first) || !next(&e.second)) return false;
    entries->push_back(std::move(e));
  }
  return true;
}

bool ListChunkBuilder::Add(const std::string& first, const std::string& second) {
  std::string entry = first + kConsoleListSeparator + second;
  // Separators and NULs inside a part would shift the entries the console
  // splits by.
  for (size_t i = 0; i < entry.size(); ++i) {
    if ((entry[i] == kConsoleListSeparator && i != first.size()) || entry[i] == '\0') entry[i] = ' ';
  }
  entry += kConsoleListSeparator;
  if (chunk_.text.size() + entry.size() > kConsoleListTextMax) {
    if (!empty()) return false;
    entry.resize(kConsoleListTextMax - 1);
    entry += kConsoleListSeparator;
  }
  chunk_.text += entry;
  ++chunk_.count;
  return true;
}

}  // namespace kry

namespace kry {

namespace {

constexpr size_t kDumpRequestFixed = 5;  // keys per file, flags
constexpr size_t kDumpReplyFixed = 22;   // status, keys, bytes, files

void Put64(std::string* out, size_t at, uint64_t v) {
  Put32(out, at, static_cast<uint32_t>(v >> 32));
  Put32(out, at + 4, static_cast<uint32_t>(v & 0xFFFFFFFFu));
}

uint64_t Get64(const std::string& in, size_t at) {
  return (static_cast<uint64_t>(Get32(in, at)) << 32) | Get32(in, at + 4);
}

}  // namespace

std::string EncodeDumpRequest(const DumpRequest& request) {
  std::string out(kDumpRequestFixed, '\0');
  Put32(&out, 0, request.perFile);
  out[4] = request.overwrite ? 1 : 0;
  out += request.directory.substr(0, kConsoleMaxPayload - kDumpRequestFixed);
  return out;
}

bool DecodeDumpRequest(const std::string& payload, DumpRequest* request) {
  if (payload.size() < kDumpRequestFixed) return false;
  request->perFile = Get32(payload, 0);
  request->overwrite = (Get8(payload, 4) & 1) != 0;
  request->directory = payload.substr(kDumpRequestFixed);
  return true;
}

std::string EncodeDumpReply(const DumpReply& reply) {
  std::string out(kDumpReplyFixed, '\0');
  Put16(&out, 0, reply.status);
  Put64(&out, 2, reply.keys);
  Put64(&out, 10, reply.bytes);
  Put32(&out, 18, reply.files);
  out += reply.text.substr(0, kConsoleMaxPayload - kDumpReplyFixed);
  return out;
}

bool DecodeDumpReply(const std::string& payload, DumpReply* reply) {
  if (payload.size() < kDumpReplyFixed) return false;
  reply->status = Get16(payload, 0);
  reply->keys = Get64(payload, 2);
  reply->bytes = Get64(payload, 10);
  reply->files = Get32(payload, 18);
  reply->text = payload.substr(kDumpReplyFixed);
  return true;
}

}  // namespace kry
