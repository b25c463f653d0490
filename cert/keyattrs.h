// Key blocks in search results: user-ID entries carry no key block of their
// own, so searches that ask for "kryKey" or "kryKeyV2" get copies of the
// certificate entry's blocks as virtual attributes; and searches asking for
// nothing but the key block return each certificate once.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ldap/entry.h"
#include "util/avl.h"

namespace kry {

struct Backend;

// Certificate IDs already sent by one search (compared ignoring case).
class SentKeySet {
 public:
  SentKeySet();
  bool Contains(const std::string& certID);
  void Add(const std::string& certID);
  size_t Size() const { return tree_.size(); }
  // ExtractKeyIDFromDN, remembering the last DN: the search asks for the
  // same entry's ID before the filter test and again after sending it.
  int CertIDFor(Backend* be, std::string_view dn, std::string* certID);

 private:
  AvlTree<std::string> tree_;
  std::string lastDn_, lastID_;
  int lastRc_ = -1;  // -1: nothing remembered
};

// Virtual key-block attributes of `e` for the requested attribute list
// (null or empty: none). New attributes are put in front of *out. 0, or 1
// on allocation failure.
int CrtVirtualAttributes(Backend* be, const Entry* e, const std::vector<std::string>* attrs,
                         std::vector<Attribute>* out);

// The certificate ID, normalised DN and parent key of `e`'s DN, made on the
// first call for the entry and kept with it; null when memory ran out.
const EntryNames* entry_names(Backend* be, const Entry* e);

// The 16-character certificate ID named by a certificate or user-ID entry's
// DN. 0, or 1 when the DN does not have that layout.
int ExtractKeyIDFromDN(Backend* be, std::string_view dn, std::string* certID);

// True when the search asked for exactly one attribute, "kryKey" or
// "kryKeyV2".
bool IsKeyOnlySearch(const std::vector<std::string>* attrs);
// True when the entry's certificate was already sent by this search.
bool CheckIfKeySent(Backend* be, const Entry* e, SentKeySet* sent);
// Records the entry's certificate as sent (entries outside the key space are
// not recorded).
void TrackKeysSent(Backend* be, const Entry* e, SentKeySet* sent);

}  // namespace kry
