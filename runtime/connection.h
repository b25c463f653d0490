// One slot of the table of client connections. The table is allocated once
// by the listener; a slot keeps its read-ahead buffer and locks across uses.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <thread>

#include "ldap/sockbuf.h"
#include "runtime/keycontext.h"
#include "util/thread.h"

namespace kry {

struct Operation;

struct Connection {
  // Socket stream: descriptor (-1 marks a free slot), read-ahead buffer and
  // options (no read-ahead). Read by the BER transport.
  Sockbuf c_sb;

  // DN the client bound as; empty when not bound. Guarded by c_dnmutex.
  std::string c_dn;
  bool c_bound = false;
  Mutex c_dnmutex;

  // 30 once the bind handler detected the version-3.0 framing, else 0.
  std::atomic<int> c_version{0};

  std::string c_addr;       // dotted-decimal peer address; empty when unknown
  std::string c_domain;     // peer host name; empty when not looked up
  bool c_hasDomain = false;
  // The server's own work with no client behind it (completing adds after
  // recovery): the backend's access checks let it through.
  bool c_internal = false;

  // Operations in progress on this connection, guarded by c_opsmutex.
  Operation* c_ops = nullptr;
  Mutex c_opsmutex;

  // Orders whole responses on this connection.
  Mutex c_pdumutex;
  // Encoded search entries not yet written, sent with the next response so
  // that a short search answer goes out in one write. Guarded by
  // c_pdumutex.
  std::string c_heldOutput;

  int c_gettingber = 0;  // reading flag, always 0 (shown by the monitor)
  int c_writewaiter = 0; // writing flag, always 0

  time_t c_starttime = 0;
  time_t c_activitytime = 0;  // guarded by c_activitymutex
  Mutex c_activitymutex;

  // Changes (under connectionTableLock) when the slot is given to a new
  // connection; read without the lock by a response about to be sent.
  std::atomic<uint32_t> c_connid{0};
  // Peer's IPv4 address in network order, for the per-address limit.
  // Guarded by connectionTableLock.
  uint32_t c_peer = 0;
  // Set when the listener shut the socket down to make room in a full
  // table; the slot frees when the connection's thread sees it. Guarded by
  // connectionTableLock.
  bool c_evicted = false;
  uint32_t c_opsinitiated = 0;  // guarded by c_opsmutex
  uint32_t c_opscompleted = 0;
  int c_secure = 0;

  // Entropy accumulator: peer address and request times folded by xor.
  uint32_t c_entropy = 0;

  // Key-library context block of the connection's thread, taken from the
  // pool when the thread starts and given back when the connection closes.
  // Touched only by the connection's own thread.
  KeyContextBlock c_keyContext;
  // Key the client authenticated with over TLS (a KRYKeyRef), or null.
  void* c_clientKey = nullptr;
  // TLS context and session (KRYtlsContextRef, KRYtlsSessionRef), or null.
  void* c_tlsContext = nullptr;
  void* c_tlsSession = nullptr;
  // Key set holding a client key found in the directory, or null; made in
  // the connection's key-library context and freed before it goes back.
  KRYKeySetRef c_clientKeySet = nullptr;
  // The stream's transport while the socket carries a TLS session.
  TLSSockbufTransport c_tlsTransport;

  // The connection's thread; joined before the slot gets a new one.
  std::thread c_thread;
  // Descriptor left open by the forced close at shutdown until the
  // connection's thread has left it; -1 when none.
  int c_deferredClose = -1;
};

// The peer's host name as access rules see it: null when none was looked
// up or the look-up gave an empty name. The one rule for every check.
inline const char* ConnectionHostName(const Connection* c) {
  return c && c->c_hasDomain && !c->c_domain.empty() ? c->c_domain.c_str() : nullptr;
}

// The connection table, valid while the listener runs.
extern Connection* g_connections;

}  // namespace kry
