// The server's counters for Prometheus: lock-free on the request path
// (relaxed atomics), rendered in the Prometheus text format (version 0.0.4)
// with a HELP and TYPE line per family. Names carry the "krycertd_" prefix
// and base units.
#pragma once

#include <cstdint>
#include <string>

namespace kry {
namespace metrics {

enum Protocol : int { kLdap = 0, kHkp = 1, kProtocols = 2 };
enum OpKind : int {
  kBind, kUnbind, kAbandon, kSubmit, kUpdate, kSearch, kDelete, kDirectory, kOther, kLookup, kWkd, kStatus, kOpKinds
};
enum OpResult : int { kSuccess, kNotFound, kLimit, kRefused, kBusy, kError, kResults };
enum Submission : int {
  kStored, kMerged, kUnchanged, kPending, kRefusedAccess, kRefusedInvalid, kRefusedPolicy, kRefusedBlocked, kRefusedOther,
  kSubmissionOutcomes
};

// The kind of an access-log category (kLogSearch, kLogAdd, ...).
OpKind KindOfCategory(int category);
OpResult ResultOfLdapCode(int code);
OpResult ResultOfHttpStatus(int status);
// The outcome of a key submission from its LDAP result (68: the stored copy
// already held everything) and whether it was merged into a stored key or
// held for approval.
Submission SubmissionOf(int code, bool merged, bool pending);

void CountOperation(Protocol p, OpKind kind, OpResult result);
// A request's time from its arrival to its answer.
void ObserveDuration(Protocol p, double seconds);
void CountSubmission(Submission s);
void CountRepLogRecord();
// An update waiting for its writes to be durable, and one group-commit sync
// round (counted when it synced at least one file).
void CountCommitRequest();
void CountCommitRound(int filesSynced);
// A look-up of an HKP client's host name that its cache could not answer.
void CountNameLookup();
// One look-up in the entry cache (by DN or ID), found or not.
void CountCacheLookup(bool hit);
// Key counts go stale when a key is stored, deleted or disabled: a
// generation number that such changes move (submissions move it too).
void NoteKeysChanged();
uint64_t KeysGeneration();
void CountConnection(Protocol p);
void CountRefusedConnection(Protocol p);
// Connections open now on the HKP port (the LDAP ones are read from the
// connection table at scrape time).
void HkpConnectionOpened();
void HkpConnectionClosed();

// What the scrape adds from elsewhere: values read at scrape time.
struct Gauges {
  long ldapConnectionsOpen = 0;
  long keysActive = -1, keysPending = -1, keysDisabled = -1, keysBlocked = -1;  // -1: not known
  long rateTableEntries = 0;
  uint64_t rateRefused[4] = {0, 0, 0, 0};  // ldap read, ldap write, hkp read, hkp write
  double startTime = 0;                    // seconds since 1970
};

// The whole exposition text.
std::string Render(const Gauges& g);

}  // namespace metrics
}  // namespace kry
