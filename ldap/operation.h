// One request in progress on a connection, from the moment its message has
// been read until its handler returns.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "ldap/ber.h"
#include "log/accesslog.h"
#include "util/thread.h"

namespace kry {

struct Attribute;
struct Entry;

// Takes the responses of an operation that another front end (HKP) runs
// through the LDAP handlers, instead of encoding them for a client socket.
// Entries arrive after the access check; the result comes once, last, and
// the front end writes its own access-log line for it.
class ResponseSink {
 public:
  virtual ~ResponseSink() = default;
  // `attrs` are the entry's own attributes or those computed for the
  // search, `virtualAttrs` the key blocks copied from the certificate (may be
  // null). Returns 0 to go on, -1 to stop the search.
  virtual int OnEntry(const Entry& e, const std::vector<Attribute>& attrs,
                      const std::vector<Attribute>* virtualAttrs) = 0;
  virtual void OnResult(int err, const char* matched, const char* text, int nentries) = 0;
};

struct Operation {
  BerBufferPtr o_ber;       // the request, positioned after the message ID
  int o_msgid = 0;
  uint32_t o_tag = 0;       // protocol-operation tag
  std::string o_dn;         // requester DN at arrival ("" when not bound)
  time_t o_time = 0;        // start time
  int o_opid = 0;           // operations initiated on the connection before this one
  uint32_t o_connid = 0;
  Operation* o_next = nullptr;
  bool o_abandon = false;   // guarded by o_abandonmutex
  Mutex o_abandonmutex;
  int o_logType = kLogOther;  // access-log category
  AccessLogDetail o_logDetail;
  // Set by the backend when it could not write a change (its result is
  // then 1 and the client is told that the store failed).
  bool o_storeFailed = false;
  ResponseSink* o_sink = nullptr;  // set: responses go there, not to the socket

  bool Abandoned() {
    MutexGuard g(o_abandonmutex);
    return o_abandon;
  }
};

// Creates an operation, appends it at the end of `list` and returns it (null
// when memory runs out). The operation takes ownership of `ber`.
Operation* op_add(Operation** list, BerBufferPtr ber, int msgid, uint32_t tag, const std::string& dn, int opid,
                  uint32_t connid);
// Unlinks and frees `op`. If it is not in the list, traces
// "op_delete: can't find op %d\n" and frees nothing.
void op_delete(Operation** list, Operation* op);

}  // namespace kry
