// Shared helpers of the key-submission tests: a server with a given
// configuration, adds of key blocks at the virtual DN with ldapadd, searches
// with ldapsearch, and GnuPG in a private home to read back what the server
// returns.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "support/harness.h"

namespace krytest {

extern const char kActiveOU[];
extern const char kPendingOU[];

std::string Corpus(const std::string& name);
// The 16-digit ID of a corpus key by its KEYIDS.tsv name.
std::string CertIDOf(const std::string& name);
std::string ShortIDOf(const std::string& name);
std::string FingerprintOf(const std::string& name);

// One entry of ldapsearch's LDIF output: DN and values by lower-case type.
struct LdifEntry {
  std::string dn;
  std::map<std::string, std::vector<std::string>> attrs;
  const std::vector<std::string>& Values(const std::string& type) const;
  std::string First(const std::string& type) const;
};
std::vector<LdifEntry> ParseLdif(const std::string& text);

class KeyServer {
 public:
  // Creates the databases and starts the server with `extra` config lines.
  explicit KeyServer(const std::string& extra, const std::vector<std::string>& args = {});
  ~KeyServer();
  bool ok() const { return ok_; }
  ServerTree& tree() { return tree_; }

  // ldapadd of a key block file at the virtual DN; exit code and output.
  RunResult AddFile(const std::string& path);
  RunResult AddBlock(const std::string& block);
  RunResult AddLdif(const std::string& ldif);
  // ldapmodify of `dn` with the change lines `changes`.
  RunResult Modify(const std::string& dn, const std::string& changes);
  // ldapsearch -LLL below `base` with `filter` for `attrs`.
  std::vector<LdifEntry> Search(const std::string& base, const std::string& filter,
                                const std::vector<std::string>& attrs, int* exitCode = nullptr);
  // Key blocks returned for a key-ID search asking for "kryKey".
  std::vector<std::string> KeyBlocks(const std::string& shortID);
  bool Restart();
  int Stop();

 private:
  RunResult Tool(const std::string& tool, const std::vector<std::string>& args, const std::string& input);
  ServerTree tree_;
  bool ok_ = false;
};

// Columns of one gpg --with-colons line (at least 13, empty when absent).
std::vector<std::string> Columns(const std::string& line);

// The corpus key `name` (file `file`) exported after trusted-signer
// certified it (only `userID` when given), made with GnuPG.
std::string CertifiedByTrusted(const std::string& name, const std::string& file,
                               const std::string& userID = std::string());

// GnuPG with a private home directory.
class Gpg {
 public:
  Gpg();
  RunResult Run(const std::string& args, const std::string& input = std::string());
  bool Import(const std::string& block);
  std::string Export(const std::string& id, bool local = false);
  // --with-colons --list-sigs lines of kinds pub/fpr/uid/sig/rev/sub/uat.
  std::vector<std::string> Listing(const std::string& id);
  std::string home() const { return dir_.path(); }

 private:
  TempDir dir_;
};

}  // namespace krytest
