#include "platform/pgp/merge.h"

#include <unordered_map>
#include <unordered_set>

namespace krypgp {

namespace {

std::unique_ptr<KRYSig> CopySig(const KRYSig& s, KRYKey* key, KRYUserID* uid, KRYSubKey* sub) {
  auto c = std::make_unique<KRYSig>();
  c->packet = s.packet;
  c->info = s.info;
  c->trailing = s.trailing;
  c->tried = s.tried;
  c->verified = s.verified;
  c->notCorrupt = s.notCorrupt;
  c->key = key;
  c->userID = uid;
  c->subKey = sub;
  return c;
}

std::string SigIdentity(const KRYSig& s) { return ToString(s.packet.body); }

// Unites signature lists; removed signatures of the source are not copied,
// and a signature the target had removed comes back only from the source.
bool MergeSigs(SigList* target, const SigList& source, KRYKey* key, KRYUserID* uid,
               KRYSubKey* sub) {
  std::unordered_map<std::string, KRYSig*> have;
  have.reserve(target->size());
  for (auto& s : *target) have.emplace(SigIdentity(*s), s.get());
  bool changed = false;
  for (const auto& s : source) {
    if (s->removed) continue;
    auto it = have.find(SigIdentity(*s));
    if (it != have.end()) {
      KRYSig* t = it->second;
      if (t->removed) {
        t->removed = false;
        changed = true;
      }
      // A check made on one copy holds for the other too.
      if (!t->tried && s->tried) {
        t->tried = s->tried;
        t->verified = s->verified;
        t->notCorrupt = s->notCorrupt;
      }
      continue;
    }
    target->push_back(CopySig(*s, key, uid, sub));
    have.emplace(SigIdentity(*s), target->back().get());
    changed = true;
  }
  return changed;
}

std::string UserIDIdentity(const KRYUserID& u) {
  return std::string(1, char(u.packet.tag)) + ToString(u.packet.body);
}

}  // namespace

bool MergeKey(KRYKey* target, const KRYKey& source) {
  bool changed = false;
  if (target->secretPacket.tag == 0 && source.secretPacket.tag != 0) {
    target->secretPacket = source.secretPacket;
    target->secret = source.secret;
    changed = true;
  }
  changed |= MergeSigs(&target->sigs, source.sigs, target, nullptr, nullptr);

  std::unordered_map<std::string, KRYUserID*> uids;
  for (auto& u : target->userIDs) uids.emplace(UserIDIdentity(*u), u.get());
  for (const auto& u : source.userIDs) {
    if (u->removed) continue;
    auto it = uids.find(UserIDIdentity(*u));
    KRYUserID* t;
    if (it == uids.end()) {
      auto n = std::make_unique<KRYUserID>();
      n->packet = u->packet;
      n->trailing = u->trailing;
      n->key = target;
      t = n.get();
      target->userIDs.push_back(std::move(n));
      uids.emplace(UserIDIdentity(*u), t);
      changed = true;
    } else {
      t = it->second;
      if (t->removed) {
        t->removed = false;
        changed = true;
      }
    }
    changed |= MergeSigs(&t->sigs, u->sigs, target, t, nullptr);
  }

  std::unordered_map<std::string, KRYSubKey*> subs;
  for (auto& s : target->subKeys) subs.emplace(ToString(s->publicPacket.body), s.get());
  for (const auto& s : source.subKeys) {
    if (s->removed) continue;
    auto it = subs.find(ToString(s->publicPacket.body));
    KRYSubKey* t;
    if (it == subs.end()) {
      auto n = std::make_unique<KRYSubKey>();
      n->publicPacket = s->publicPacket;
      n->secretPacket = s->secretPacket;
      n->info = s->info;
      n->secret = s->secret;
      n->trailing = s->trailing;
      n->key = target;
      t = n.get();
      target->subKeys.push_back(std::move(n));
      subs.emplace(ToString(s->publicPacket.body), t);
      changed = true;
    } else {
      t = it->second;
      if (t->removed) {
        t->removed = false;
        changed = true;
      }
      if (t->secretPacket.tag == 0 && s->secretPacket.tag != 0) {
        t->secretPacket = s->secretPacket;
        t->secret = s->secret;
        changed = true;
      }
    }
    changed |= MergeSigs(&t->sigs, s->sigs, target, nullptr, t);
  }
  return changed;
}

std::unique_ptr<KRYKey> CopyKey(const KRYKey& key) {
  auto c = std::make_unique<KRYKey>();
  c->publicPacket = key.publicPacket;
  c->secretPacket = key.secretPacket;
  c->info = key.info;
  c->secret = key.secret;
  c->trailing = key.trailing;
  MergeKey(c.get(), key);
  return c;
}

}  // namespace krypgp
