// The replication log: one record per key change that replicas repeat,
// appended under the log's lock file so that the replication process never
// reads half a record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kry {

struct Backend;
struct Connection;
struct Entry;

// Builds the "replica: %s\n" lines of the configured replicas. 0, or 1
// when memory runs out.
int InitRepLog(Backend* be);
void ReleaseRepLog();
// The replica lines built by InitRepLog (empty without replicas).
std::string RepLogReplicaText();

// Whether `peer`, a dotted address or a host name, is the host of one of the
// "replica: " lines of `replicas`: whole hosts without regard to case, any
// protocol prefix and port left out ("127.0.0.1" is not "127.0.0.10").
bool ReplicaListHasHost(std::string_view replicas, std::string_view peer);

// Writes the record of `e` for an add-tagged operation: with `authorised`
// the entry's last kryRequest value (a signed request), otherwise its
// kryKeyV2 value or else its first kryKey value. Nothing without a log
// file, for other tags, or when the entry lacks the attribute. A delete
// request that came from a listed replica is not written again.
void kryRepLog(Backend* be, Connection* conn, uint32_t tag, const std::string& dn, const Entry* e,
               bool authorised);

// The record of a signed request block (type "kryRequest"), with the same
// checks as kryRepLog.
void kryRepLogRequest(Connection* conn, uint32_t tag, std::string_view request);

// The text of one record (exposed for tests): replica lines, time, DN,
// changetype, the folded attribute line and an empty line.
std::string FormatRepLogRecord(const std::string& replicas, long now, std::string_view type,
                               std::string_view value);

}  // namespace kry
