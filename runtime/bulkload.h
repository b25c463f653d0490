// "krycertd -l FILE|DIR...": an offline bulk load of key dumps into the
// directory of a stopped server. Every key goes through the add pipeline of
// a submission (policy, signature checks, merge with the stored copy) and
// the replication log; the entry writes are synced once at the end.
#pragma once

#include <string>
#include <vector>

namespace kry {

struct Backend;
struct BulkTally;

// The files a load reads: a directory stands for its "*.pgp" files in name
// order, anything else for itself. False (with *why set) when a path cannot
// be read.
bool BulkLoadFiles(const std::vector<std::string>& paths, std::vector<std::string>* files, std::string* why);

// Loads `files` in order into `be`, which nothing else may use meanwhile:
// keys are parsed and checked by `workers` threads and stored by the
// calling thread in input order. A progress line goes to standard error
// every few seconds. 0 when the load ran to its end (refused keys
// included), 1 after a fatal error (reported), with *tally as far as it got.
int BulkLoadKeys(Backend* be, const std::vector<std::string>& files, int workers, BulkTally* tally);

// The whole command after the configuration is read: takes the data
// directory's lock (refusing while a server holds it), prepares the
// backend as a server start does, loads, syncs and closes. Returns the
// process exit code.
int BulkLoadCommand(Backend* be, const std::vector<std::string>& paths);

}  // namespace kry
