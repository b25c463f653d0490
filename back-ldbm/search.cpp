// The backend search: candidates, then each candidate read through the entry
// cache, tested against scope and filter, and sent.
#include "back-ldbm/search.h"

#include <string>

#include "back-ldbm/cache.h"
#include "back-ldbm/id2entry.h"
#include "cert/keyattrs.h"
#include "cert/servedkeys.h"
#include "cert/blocklist.h"
#include "ldap/dn.h"
#include "ldap/entry.h"
#include "ldap/filter.h"
#include "ldap/filterentry.h"
#include "ldap/operation.h"
#include "ldap/result.h"
#include "log/trace.h"
#include "runtime/globals.h"
#include "util/strutil.h"

namespace kry {

namespace {

// Whether `e` belongs to a blocked key (its certificate or a user ID of it).
bool IsBlockedEntry(Backend* be, const Entry* e) {
  if (BlockedCount() == 0) return false;
  const EntryNames* names = entry_names(be, e);
  return names && names->certRc == 0 && IsBlockedCertID(names->certID);
}

// Growable referral text: "Referral:" and one URL per line.
constexpr size_t kReferralStep = 512;

struct Limits {
  int size = -1;    // entries still allowed; -1 for none
  time_t deadline = 0;  // 0 for none
};

Limits ComputeLimits(const Operation* op, int sizelimit, int timelimit) {
  Limits l;
  const int S = g_globals ? g_globals->SizeLimit : 500;
  const int T = g_globals ? g_globals->TimeLimit : 300;
  if (S > 0) l.size = (sizelimit < 1 || sizelimit > S) ? S : sizelimit;
  // A server TimeLimit of 0 means no limit, like a SizeLimit of 0; otherwise
  // every search would fail once its first second had passed.
  if (T > 0) l.deadline = op->o_time + ((timelimit > 0 && timelimit <= T) ? timelimit : T);
  return l;
}

// The plain suffix test would also take "XOU=ACTIVE,..." as lying under
// "OU=ACTIVE,...": the suffix must begin at a component boundary.
bool InSubtree(const std::string& dn, const std::string& base) {
  if (!dn_has_suffix(dn, base)) return false;
  if (dn.size() == base.size()) return true;
  char sep = dn[dn.size() - base.size() - 1];
  return sep == ',' || sep == ';';
}

bool InScope(Backend* be, const Entry* e, const std::string& base, int scope) {
  switch (scope) {
    case 0:
      return true;
    case 1: {
      std::optional<std::string> parent = dn_get_parent(be, e->dn);
      if (!parent || parent->empty()) return base.empty();
      return StrIEquals(dn_normalized(*parent), base);
    }
    default: {
      if (base.empty()) return true;
      // The normalised DN kept with the entry (compared ignoring case).
      const EntryNames* names = entry_names(be, e);
      return names ? InSubtree(names->key, base) : InSubtree(dn_normalized(e->dn), base);
    }
  }
}

// Referral entries of a subtree search: DN "ref=..." with a "ref" attribute.
bool CollectReferral(const Entry* e, std::string* referrals, int* count) {
  if (e->dn.size() < 4 || !StrIEquals(std::string_view(e->dn).substr(0, 4), "ref=")) return false;
  const Attribute* ref = attr_lookup(e, "ref");
  if (!ref) return false;
  if (ref->values.empty()) Debug(LDAP_DEBUG_ANY, "null ref in (%s)\n", e->dn.c_str());
  for (const std::string& v : ref->values) {
    if (referrals->capacity() < referrals->size() + v.size() + 1)
      referrals->reserve((referrals->size() + v.size() + 1 + kReferralStep) / kReferralStep * kReferralStep);
    referrals->append("\n").append(v);
    ++*count;
  }
  return true;
}

void SendFinal(Connection* conn, Operation* op, int code, const std::string& referrals, int nrefs, int nentries) {
  if (nrefs > 0) {
    if (code == LDAP_SUCCESS) code = LDAP_PARTIAL_RESULTS;
    send_search_result(conn, op, code, nullptr, referrals.c_str(), nentries);
  } else {
    send_search_result(conn, op, code, nullptr, nullptr, nentries);
  }
}

}  // namespace

int ldbm_back_search(Backend* be, Connection* conn, Operation* op, const std::string& base, int scope, int /*deref*/,
                     int sizelimit, int timelimit, Filter* filter, const std::string& /*filterText*/,
                     const std::vector<std::string>* attrs, int attrsonly) {
  Debug(LDAP_DEBUG_TRACE, "=> ldbm_back_search\n");
  const Limits limits = ComputeLimits(op, sizelimit, timelimit);
  int err = LDAP_SUCCESS;
  std::string matched;
  IDListPtr candidates;
  switch (scope) {
    case 0:
      candidates = base_candidates(be, base, &err, &matched);
      break;
    case 1:
      candidates = onelevel_candidates(be, base, filter, &err, &matched);
      break;
    case 2:
      candidates = subtree_candidates(be, base, filter, &err, &matched);
      break;
    default:
      send_ldap_result(conn, op, LDAP_PROTOCOL_ERROR, nullptr, "Bad scope");
      return -1;
  }
  if (!candidates) {
    send_search_result(conn, op, err, matched.c_str(), nullptr, 0);
    return -1;
  }

  std::string referrals = "Referral:";
  referrals.reserve(kReferralStep);
  int nrefs = 0, nentries = 0;
  int allowance = limits.size;
  // A search for nothing but the key block returns each certificate once.
  const bool keyOnly = IsKeyOnlySearch(attrs);
  SentKeySet sentKeys;
  for (EntryID id = idl_first_id(candidates.get()); id != NOID; id = idl_next_id(candidates.get(), id)) {
    if (op->Abandoned()) return 0;
    time_t now = RefreshCurrentTime();
    if (limits.deadline && limits.deadline < now) {
      SendFinal(conn, op, LDAP_TIMELIMIT_EXCEEDED, referrals, nrefs, nentries);
      return 0;
    }
    Entry* e = id2entry(be, id);
    if (!e) {
      Debug(LDAP_DEBUG_ARGS, "candidate %d not found\n", static_cast<int>(id));
      continue;
    }
    bool stop = false;
    if (keyOnly && CheckIfKeySent(be, e, &sentKeys)) {
      // This certificate's key block went out with an earlier entry.
    } else if (IsBlockedEntry(be, e)) {
      // A blocked key whose purge has not finished is never served.
    } else if (scope == 2 && CollectReferral(e, &referrals, &nrefs)) {
      // The referral entry itself is not sent.
    } else if (test_filter(be, conn, op, e, filter) == 0 && InScope(be, e, base, scope)) {
      if (allowance == 0) {
        cache_return_entry(be, e);
        SendFinal(conn, op, LDAP_SIZELIMIT_EXCEEDED, referrals, nrefs, nentries);
        return 0;
      }
      std::vector<Attribute> virtualAttrs;
      if (CrtVirtualAttributes(be, e, attrs, &virtualAttrs) != 0) {
        cache_return_entry(be, e);
        SendFinal(conn, op, LDAP_OPERATIONS_ERROR, referrals, nrefs, nentries);
        return 0;
      }
      std::vector<Attribute> cutAttrs;
      bool cut = false;
      if (ServingOwnSignaturesOnly() && !attrsonly && CutServedKeyBlocks(e, &virtualAttrs, &cutAttrs, &cut) != 0) {
        cache_return_entry(be, e);
        SendFinal(conn, op, LDAP_OPERATIONS_ERROR, referrals, nrefs, nentries);
        return 0;
      }
      int rc = send_search_entry(be, conn, op, e, attrs, cut ? &cutAttrs : nullptr, attrsonly, &virtualAttrs);
      if (rc == -1) stop = true;
      if (rc == 0) ++nentries;
      if (rc == 0 && keyOnly) TrackKeysSent(be, e, &sentKeys);
      if (allowance > 0) --allowance;
    }
    cache_return_entry(be, e);
    if (stop) return 0;
  }
  SendFinal(conn, op, LDAP_SUCCESS, referrals, nrefs, nentries);
  return 0;
}

}  // namespace kry
