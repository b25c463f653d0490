// Bytes of the console protocol, shared by the server's command port and the
// console client. Every message is an 8-byte header followed by a payload:
//   0  4  magic "PKRY"
//   4  2  total length, header included (8..1000), network byte order
//   6  1  message type
//   7  1  reserved, 0
// Multi-byte numbers in payloads are in network byte order too. Replies have
// a fixed payload size per type. Nothing here touches sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kry {

constexpr size_t kConsoleHeaderSize = 8;
constexpr size_t kConsoleMaxMessage = 1000;  // largest message either side accepts
constexpr size_t kConsoleMaxPayload = 992;
constexpr size_t kConsoleListText = 988;     // text field of a list chunk
constexpr size_t kConsoleListTextMax = 987;  // text used, leaving room for a NUL

constexpr uint32_t kConsoleKind = 2048;  // sender kind of a console
constexpr uint32_t kServerKind = 512;
constexpr uint16_t kServerMajor = 2, kServerMinor = 5;

enum ConsoleMessageType : uint8_t {
  kMsgKeepAlive = 1,
  kMsgReadEvents = 2,
  kMsgCreateDatabases = 3,
  kMsgCheckConfig = 4,
  kMsgStartServer = 5,
  kMsgStopServer = 6,
  kMsgLogon = 7,
  kMsgStatistics = 8,
  kMsgConnections = 9,
  kMsgBlock = 10,    // payload: fingerprint text, NUL, reason text
  kMsgUnblock = 11,  // payload: fingerprint text
  kMsgDump = 12,     // payload: DumpRequest
  kReplyEvents = 130,
  kReplyCreateDatabases = 132,
  kReplyCheckConfig = 133,
  kReplyStart = 135,
  kReplyStopping = 136,
  kReplyStopped = 137,
  kReplyLogon = 138,
  kReplyStatistics = 139,
  kReplyConnections = 140,
  kReplyBlock = 141,    // status only
  kReplyUnblock = 142,  // status only
  kReplyDump = 143,          // DumpReply, the last reply of a dump
  kReplyDumpProgress = 144,  // DumpReply so far, every few seconds while a dump runs
};

enum ConsoleStatus : uint16_t {
  kConsoleOk = 0,
  kConsoleStartFailed = 2,
  kConsoleBadConfig = 4,
  kConsoleNotCreated = 5,
  kConsoleLastConnections = 6,
  kConsoleLastEvents = 7,
  kConsoleNoGlobals = 8,
  kConsoleBadFingerprint = 9,  // block, unblock: not 40 or 64 hexadecimal digits
  kConsoleNotBlocked = 10,     // unblock: the fingerprint was not on the list
  kConsoleBlockFailed = 11,    // block, unblock: the list or a purge failed
  kConsoleDumpRefused = 12,    // dump: the directory is not usable (see the reply's text)
  kConsoleDumpFailed = 13,     // dump: reading or writing failed part way
};

// Separator after every entry of a list chunk (and inside each entry,
// between its two parts).
constexpr char kConsoleListSeparator = '\x08';

struct ConsoleMessage {
  uint8_t type = 0;
  std::string payload;
};

enum class FrameResult {
  kOk,          // *msg holds the first message; *used its length
  kIncomplete,  // a valid header announces more bytes than are present
  kBad,         // wrong magic, length below 8 or above 1000: not from a console
};

// Takes the first message from `data`. A partial header counts as
// incomplete unless the bytes present already contradict the magic.
FrameResult ParseConsoleFrame(const uint8_t* data, size_t size, ConsoleMessage* msg, size_t* used);
// Header plus payload; the payload must not exceed kConsoleMaxPayload.
std::string BuildConsoleMessage(uint8_t type, const std::string& payload);

struct LogonRequest {
  uint32_t kind = kConsoleKind;
  uint16_t major = kServerMajor, minor = kServerMinor;
  std::string user;
};
std::string EncodeLogon(const LogonRequest& logon);
// Missing numeric fields read as 0; the user name ends at the first NUL or
// at the end of the payload.
LogonRequest DecodeLogon(const std::string& payload);
// True when the version is older than the server's 2.5.
bool ConsoleVersionTooOld(uint16_t major, uint16_t minor);

constexpr size_t kLogonReplySize = 340;
struct LogonReply {
  bool tooOld = false;
  uint32_t kind = kServerKind;
  uint16_t major = kServerMajor, minor = kServerMinor;
  uint32_t pid = 0;
  std::string configFile;  // at most 259 bytes are kept
  bool stopInProgress = false, running = false;
  uint16_t port = 0, securePort = 0, secureMode = 0;
  bool portDisabled = false, securePortDisabled = false, sigCheckOff = false;
  std::string product = "KRY Certificate Server";
};
std::string EncodeLogonReply(const LogonReply& reply);
// False when the payload is shorter than 340 bytes.
bool DecodeLogonReply(const std::string& payload, LogonReply* reply);

constexpr size_t kStartParamsSize = 27;
struct StartParams {
  std::string port, securePort;  // decimal text, at most 9 characters each
  bool keepPort = false, keepSecurePort = false, noSignatureCheck = false;
};
std::string EncodeStartParams(const StartParams& params);
// Missing bytes read as zero (empty texts, flags off).
StartParams DecodeStartParams(const std::string& payload);

struct StartReply {
  uint16_t status = 0, port = 0, securePort = 0;
};
std::string EncodeStartReply(const StartReply& reply);
bool DecodeStartReply(const std::string& payload, StartReply* reply);

constexpr size_t kStatisticsSize = 32;
struct Statistics {
  uint16_t status = 0;
  uint32_t opsInitiated = 0, opsCompleted = 0, entriesSent = 0, bytesSent = 0, totalConnections = 0;
  uint16_t maxConnections = 0, currentConnections = 0;
  uint32_t uptime = 0;
};
std::string EncodeStatistics(const Statistics& stats);
bool DecodeStatistics(const std::string& payload, Statistics* stats);

// Status of the short replies (create databases, check, stop).
std::string EncodeStatus(uint16_t status);
// 0xFFFF when the payload is shorter than 2 bytes.
uint16_t DecodeStatus(const std::string& payload);

struct ReadEventsRequest {
  uint16_t action = 1;  // 1 read or continue; anything else aborts
  uint32_t pid = 0;
};
std::string EncodeReadEvents(const ReadEventsRequest& request);
ReadEventsRequest DecodeReadEvents(const std::string& payload);

// A chunk of a connection or event list. Each entry is two texts (name and
// time, or time and message), sent as "first 0x08 second 0x08".
struct ListChunk {
  uint16_t status = 0;
  uint16_t count = 0;
  std::string text;  // at most kConsoleListTextMax bytes
};
std::string EncodeListChunk(const ListChunk& chunk);
bool DecodeListChunk(const std::string& payload, ListChunk* chunk);
// Splits a chunk's text into its `count` entries of two parts each; false
// when the text holds fewer parts than the count announces.
bool SplitListEntries(const ListChunk& chunk, std::vector<std::pair<std::string, std::string>>* entries);

// Fills chunks of at most kConsoleListTextMax bytes of text: Add returns
// false when the entry does not fit beside the ones already taken (the
// caller sends the chunk, calls Clear and adds again). An entry too long
// for an empty chunk is cut to fit.
class ListChunkBuilder {
 public:
  bool Add(const std::string& first, const std::string& second);
  const ListChunk& chunk() const { return chunk_; }
  bool empty() const { return chunk_.count == 0; }
  void Clear() { chunk_ = ListChunk(); }

 private:
  ListChunk chunk_;
};

// A key dump into a directory of the server's machine (absolute path).
struct DumpRequest {
  uint32_t perFile = 0;    // keys per file; 0: the server's default
  bool overwrite = false;  // replace dump files already in the directory
  std::string directory;
};
std::string EncodeDumpRequest(const DumpRequest& request);
// False when the payload is shorter than its fixed part.
bool DecodeDumpRequest(const std::string& payload, DumpRequest* request);

struct DumpReply {
  uint16_t status = 0;
  uint64_t keys = 0, bytes = 0;
  uint32_t files = 0;
  std::string text;  // why a dump was refused or failed; cut to fit the message
};
std::string EncodeDumpReply(const DumpReply& reply);
bool DecodeDumpReply(const std::string& payload, DumpReply* reply);

}  // namespace kry
