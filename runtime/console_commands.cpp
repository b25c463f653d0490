#include "runtime/console_commands.h"

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "back-ldbm/backend.h"
#include "cert/blocklist.h"
#include "cert/blockpurge.h"
#include "config/config.h"
#include "log/eventlog.h"
#include "runtime/connection.h"
#include "runtime/console_session.h"
#include "runtime/daemon.h"
#include "runtime/globals.h"
#include "runtime/keydump.h"
#include "runtime/server_control.h"

namespace kry {

namespace {

constexpr size_t kMaxEventsRead = 500;
constexpr size_t kMaxEventEntry = 256;
constexpr size_t kMaxClientName = 255;

int Timeout() { return g_globals->CommandTimeout; }

bool Send(ConsoleSession* s, uint8_t type, const std::string& payload) {
  return SendConsoleMessage(s, type, payload, Timeout());
}

bool SendStatistics(ConsoleSession* s) {
  Statistics st;
  Globals* g = g_globals;
  if (!g) {
    st.status = kConsoleNoGlobals;
    return Send(s, kReplyStatistics, EncodeStatistics(st));
  }
  st.opsInitiated = static_cast<uint32_t>(g->opsInitiated);
  st.opsCompleted = static_cast<uint32_t>(g->opsCompleted);
  st.entriesSent = static_cast<uint32_t>(g->entriesSent);
  st.bytesSent = static_cast<uint32_t>(g->bytesSent);
  st.totalConnections = g->nextConnectionID;
  st.maxConnections = static_cast<uint16_t>(g->maxConnections);
  {
    MutexGuard lock(g->connectionTableLock);
    if (g_connections) {
      for (int i = 0; i <= g->highestSlot && i < g->maxConnections; ++i)
        if (g_connections[i].c_sb.sd.load() != -1) ++st.currentConnections;
    }
  }
  time_t now = time(nullptr);
  st.uptime = now > g->startTime ? static_cast<uint32_t>(now - g->startTime) : 0;
  return Send(s, kReplyStatistics, EncodeStatistics(st));
}

// A backend of its own in `list`, holding what the configuration file says
// about the databases; null (after logging why) when memory ran out or the
// file has errors. The running settings are not touched.
Backend* CheckedScratchBackend(std::vector<std::unique_ptr<Backend>>& list) {
  Backend* be = backend_new("ldbm", list);
  if (!be) {
    LogError(EVENTLOG_ERROR, "Out of memory.");
    return nullptr;
  }
  if (CheckConfig(g_globals->configFile.c_str(), be) != 0) {
    LogError(EVENTLOG_ERROR, "Error processing configuration file");
    return nullptr;
  }
  return be;
}

uint16_t CreateDatabasesCommand() {
  Globals* g = g_globals;
  g->startTime = time(nullptr);
  uint16_t status = kConsoleNotCreated;
  if (DirectoryServerRunning()) {
    LogError(EVENTLOG_WARNING, "Cannot create database while server is running!");
    return status;
  }
  std::vector<std::unique_ptr<Backend>> scratch;
  Backend* be = CheckedScratchBackend(scratch);
  if (be) {
    int created = CreateDatabases(be);
    if (created < 0) {
      LogError(EVENTLOG_ERROR, "Error, unable to create DB!");
    } else if (created > 0) {
      LogError(EVENTLOG_INFO, "Databases initialized.");
      status = kConsoleOk;
    } else {
      LogError(EVENTLOG_WARNING, "The entire database already exists.");
    }
  }
  backend_close_all(scratch);
  return status;
}

uint16_t CheckConfigCommand() {
  Globals* g = g_globals;
  if (g->configFile.empty()) {
    LogError(EVENTLOG_ERROR, "Invalid configuration file");
    return kConsoleBadConfig;
  }
  std::vector<std::unique_ptr<Backend>> scratch;
  uint16_t status = CheckedScratchBackend(scratch) ? kConsoleOk : kConsoleBadConfig;
  backend_close_all(scratch);
  return status;
}

bool StopCommand(ConsoleSession* s) {
  int result = 0;
  if (StopDirectoryServer(&result)) return Send(s, kReplyStopping, EncodeStatus(0));
  return Send(s, kReplyStopped, EncodeStatus(static_cast<uint16_t>(result)));
}

std::string LocalTime(time_t t, const char* format) {
  struct tm tm {};
  localtime_r(&t, &tm);
  char buf[64];
  strftime(buf, sizeof buf, format, &tm);
  return buf;
}

// The open connections as (client name, start time), copied under the table
// lock so that the console's pace never holds up the listener.
std::vector<std::pair<std::string, std::string>> ConnectionEntries() {
  std::vector<std::pair<std::string, std::string>> out;
  Globals* g = g_globals;
  MutexGuard lock(g->connectionTableLock);
  if (!g_connections) return out;
  for (int i = 0; i <= g->highestSlot && i < g->maxConnections; ++i) {
    Connection& c = g_connections[i];
    if (c.c_sb.sd.load() == -1) continue;
    std::string name = c.c_hasDomain && !c.c_domain.empty() ? c.c_domain : !c.c_addr.empty() ? c.c_addr : "unknown";
    if (name.size() > kMaxClientName) name.resize(kMaxClientName);
    out.emplace_back(name, LocalTime(c.c_starttime, "%a %B %d, %Y %I:%M:%S %p"));
  }
  return out;
}

bool SendChunk(ConsoleSession* s, uint8_t type, uint16_t status, ListChunk chunk) {
  chunk.status = status;
  return Send(s, type, EncodeListChunk(chunk));
}

bool ListConnections(ConsoleSession* s) {
  ListChunkBuilder b;
  for (const auto& e : ConnectionEntries()) {
    if (b.Add(e.first, e.second)) continue;
    if (!SendChunk(s, kReplyConnections, kConsoleOk, b.chunk())) return false;
    if (!ReceiveConsoleMessage(s, Timeout()) || s->message.type != kMsgConnections) return false;
    b.Clear();
    b.Add(e.first, e.second);
  }
  return SendChunk(s, kReplyConnections, kConsoleLastConnections, b.chunk());
}

bool SendEventsText(ConsoleSession* s, const char* text) {
  ListChunk c;
  c.status = kConsoleLastEvents;
  c.text = text;
  return Send(s, kReplyEvents, EncodeListChunk(c));
}

// "2026-12-08T06:16:22Z" as a time, or -1.
time_t ParseEventTime(const std::string& text) {
  struct tm tm {};
  if (sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
             &tm.tm_sec) != 6)
    return -1;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return timegm(&tm);
}

bool ReadEvents(ConsoleSession* s) {
  ReadEventsRequest req = DecodeReadEvents(s->message.payload);
  std::vector<EventRecord> records;
  if (req.action != 1 || !ReadEventsNewestFirst(kMaxEventsRead, &records))
    return SendEventsText(s, "Not available");
  time_t since = g_globals->startTime;
  ListChunkBuilder b;
  for (const EventRecord& r : records) {
    time_t t = ParseEventTime(r.time);
    if (t >= 0 && t < since) break;
    if (r.pid != static_cast<long>(req.pid)) continue;
    std::string when = t < 0 ? r.time : LocalTime(t, "%m/%d/%y %H:%M:%S");
    std::string message = r.message;
    size_t room = kMaxEventEntry - when.size() - 2;
    if (message.size() > room) message.resize(room);
    if (b.Add(when, message)) continue;
    if (!SendChunk(s, kReplyEvents, kConsoleOk, b.chunk())) return false;
    if (!ReceiveConsoleMessage(s, Timeout()) || s->message.type != kMsgReadEvents) return false;
    if (DecodeReadEvents(s->message.payload).action != 1) return SendEventsText(s, "Event processing aborted");
    b.Clear();
    b.Add(when, message);
  }
  return SendChunk(s, kReplyEvents, kConsoleLastEvents, b.chunk());
}

// Status of a list change (BlockFingerprint, UnblockFingerprint).
uint16_t BlockStatus(int rc) {
  if (rc == 2) return kConsoleBadFingerprint;
  if (rc == 3) return kConsoleNotBlocked;
  return rc == 0 ? kConsoleOk : kConsoleBlockFailed;
}

// The block is written before the purge starts, so that a purge cut short
// is finished at the next start. A stopped server purges when it starts.
uint16_t BlockChange(bool block, const std::string& payload) {
  const size_t nul = payload.find('\0');
  const std::string reason = nul == std::string::npos ? std::string() : payload.substr(nul + 1);
  Backend* be = DirectoryServerRunning() && !g_globals->backends.empty() ? g_globals->backends.front().get() : nullptr;
  return BlockStatus(ApplyBlockChange(be, block, payload.substr(0, nul), block ? reason : std::string()));
}

// A dump runs on the console's thread, reading entries one at a time as
// searches do, so adds and deletes go on meanwhile. Progress replies keep
// the console's time limit from running out on a large directory.
bool DumpCommand(ConsoleSession* s) {
  DumpRequest req;
  DumpReply reply;
  if (!DecodeDumpRequest(s->message.payload, &req)) {
    reply.status = kConsoleDumpRefused;
    reply.text = "malformed dump request.";
  } else if (!DirectoryServerRunning() || g_globals->backends.empty()) {
    reply.status = kConsoleDumpRefused;
    reply.text = "the directory server is not running.";
  } else {
    reply = DumpKeys(g_globals->backends.front().get(), req,
                     [s](const DumpReply& sofar) { return Send(s, kReplyDumpProgress, EncodeDumpReply(sofar)); });
  }
  return Send(s, kReplyDump, EncodeDumpReply(reply));
}

}  // namespace

bool HandleConsoleCommand(ConsoleSession* s) {
  switch (s->message.type) {
    case kMsgKeepAlive:
      return true;
    case kMsgStatistics:
      return SendStatistics(s);
    case kMsgCreateDatabases:
      return Send(s, kReplyCreateDatabases, EncodeStatus(CreateDatabasesCommand()));
    case kMsgCheckConfig:
      return Send(s, kReplyCheckConfig, EncodeStatus(CheckConfigCommand()));
    case kMsgStartServer:
      return Send(s, kReplyStart, EncodeStartReply(StartDirectoryServer(DecodeStartParams(s->message.payload))));
    case kMsgStopServer:
      return StopCommand(s);
    case kMsgReadEvents:
      return ReadEvents(s);
    case kMsgConnections:
      return ListConnections(s);
    case kMsgBlock:
      return Send(s, kReplyBlock, EncodeStatus(BlockChange(true, s->message.payload)));
    case kMsgUnblock:
      return Send(s, kReplyUnblock, EncodeStatus(BlockChange(false, s->message.payload)));
    case kMsgDump:
      return DumpCommand(s);
    default:
      return false;
  }
}

}  // namespace kry
