// Interoperability with GnuPG: keys and messages it makes here are read
// correctly, and what we export it reads back with the same content.
#include <set>

#include "platform/pgp/armor.h"
#include "tests/pgp/testutil.h"

using namespace pgptest;

namespace {

class GpgInterop : public Lib {
 protected:
  static void SetUpTestSuite() {
    if (!HaveGpg()) return;
    home_ = new GpgHome;
    // An Ed25519 key with a second user ID and an ECDSA P-256 key; both make
    // quickly, the RSA and DSA sides come from the corpus.
    home_->Gpg("--passphrase '' --quick-gen-key 'Gpg Made <made@example.org>' ed25519 sign,cert 0");
    std::string fpr = FirstFpr(home_->Gpg("--with-colons --list-keys made@example.org"));
    home_->Gpg("--passphrase '' --quick-add-uid " + fpr + " 'Second Name <second@example.org>'");
    home_->Gpg("--passphrase '' --quick-add-key " + fpr + " cv25519 encr 0");
    home_->Gpg("--passphrase '' --quick-gen-key 'Nist Made <nist@example.org>' nistp256 sign 0");
  }
  static void TearDownTestSuite() {
    delete home_;
    home_ = nullptr;
  }
  void SetUp() override {
    Lib::SetUp();
    if (home_ == nullptr || !home_->ok()) GTEST_SKIP() << "gpg not available";
  }
  static std::string FirstFpr(const std::string& colons) {
    size_t p = colons.find("\nfpr:");
    if (p == std::string::npos) return "";
    size_t s = colons.find(":::::::::", p);
    size_t e = colons.find(':', s + 9);
    return colons.substr(s + 9, e - s - 9);
  }
  // fpr lines of --with-colons output, in order.
  static std::vector<std::string> Fprs(const std::string& colons) {
    std::vector<std::string> out;
    std::istringstream in(colons);
    std::string line;
    while (std::getline(in, line))
      if (line.rfind("fpr:", 0) == 0) out.push_back(line.substr(12, 40));
    return out;
  }
  std::vector<std::string> OurFprs(KRYKeySetRef set) {
    std::vector<std::string> out;
    KRYKeyListRef list = nullptr;
    KRYKeyIterRef it = nullptr;
    KRYOrderKeySet(set, kKRYKeyOrdering_Any, &list);
    KRYNewKeyIter(list, &it);
    KRYKeyRef k;
    auto hex = [](const uint8_t* p, size_t n) {
      std::string s;
      char b[3];
      for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, 3, "%02X", p[i]);
        s += b;
      }
      return s;
    };
    while (KRYKeyIterNext(it, &k) == 0) {
      uint8_t f[20];
      size_t n;
      KRYGetKeyPropertyBuffer(k, kKRYKeyProperty_Fingerprint, f, sizeof f, &n);
      out.push_back(hex(f, n));
      KRYSubKeyRef sub;
      while (KRYKeyIterNextSubKey(it, &sub) == 0) {
        KRYGetSubKeyPropertyBuffer(sub, kKRYKeyProperty_Fingerprint, f, sizeof f, &n);
        out.push_back(hex(f, n));
      }
    }
    KRYFreeKeyIter(it);
    KRYFreeKeyList(list);
    return out;
  }
  static GpgHome* home_;
};
GpgHome* GpgInterop::home_ = nullptr;

TEST_F(GpgInterop, FingerprintsEqualGnuPGsForEveryKey) {
  std::vector<std::string> files = {"rsa.asc", "dsa-elg.asc", "ed25519.asc", "ecdsa-p256.asc",
                                    "multi-uid.asc", "two-keys.asc", "bulk-dsa.asc"};
  for (const std::string& f : files) {
    std::string colons =
        home_->Gpg("--with-colons --import-options show-only --import " + Corpus(f));
    KRYKeySetRef set = ImportFile(f);
    EXPECT_EQ(Fprs(colons), OurFprs(set)) << f;
  }
  std::string mine = home_->Gpg("--armor --export");
  std::string colons = home_->Gpg("--with-colons --list-keys");
  KRYKeySetRef set = ImportText(mine);
  std::vector<std::string> ours = OurFprs(set);
  std::vector<std::string> theirs = Fprs(colons);
  EXPECT_EQ(std::set<std::string>(theirs.begin(), theirs.end()),
            std::set<std::string>(ours.begin(), ours.end()));
  // Every signature on gpg's own keys verifies.
  ASSERT_EQ(0, KRYCheckKeyRingSigs(set, nullptr, 1, nullptr, nullptr));
  std::string listing = pgptest::Run(std::string(KRYKEY_BIN) + " list /dev/stdin <<'EOF'\n" + mine + "EOF\n");
  EXPECT_EQ(std::string::npos, listing.find("flags=not-corrupt,")) << listing;
  EXPECT_NE(std::string::npos, listing.find("tried,verified"));
}

// gpg reads our complete export and finds the same keys, user IDs and
// signatures it finds in the original.
TEST_F(GpgInterop, GnuPGImportsOurExportsUnchanged) {
  KRYKeySetRef all;
  KRYNewKeySet(ctx, &all);
  std::string originals;
  for (const char* f : {"rsa.asc", "dsa-elg.asc", "ed25519.asc", "signed-by-both.asc",
                        "photo-id-two.asc", "designated-revoker.asc", "revoked.asc"}) {
    KRYKeySetRef s = ImportFile(f);
    ASSERT_EQ(0, KRYAddKeys(s, all));
    originals += ReadFile(Corpus(f));
  }
  std::string ours = Export(all, kKRYExportFormat_Complete);
  GpgHome a, b;
  WriteFile(a.File("in.asc"), originals);
  WriteFile(b.File("in.asc"), ours);
  a.Gpg("--import " + a.File("in.asc"));
  b.Gpg("--import " + b.File("in.asc"));
  const std::string list = "--with-colons --fixed-list-mode --list-sigs";
  std::string la = a.Gpg(list), lb = b.Gpg(list);
  EXPECT_FALSE(la.empty());
  std::multiset<std::string> sa, sb;
  std::istringstream ia(la), ib(lb);
  std::string line;
  while (std::getline(ia, line))
    if (line.rfind("tru:", 0) != 0) sa.insert(line);
  while (std::getline(ib, line))
    if (line.rfind("tru:", 0) != 0) sb.insert(line);
  EXPECT_EQ(sa, sb);
  // And the basic export is accepted too, without photo IDs.
  std::string basic = Export(all, kKRYExportFormat_Basic);
  GpgHome c;
  WriteFile(c.File("basic.asc"), basic);
  int status = -1;
  c.Gpg("--import " + c.File("basic.asc"), &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ(std::string::npos, c.Gpg(list).find("\nuat:"));
}

TEST_F(GpgInterop, MessagesSignedByGnuPGVerify) {
  KRYKeySetRef keys = ImportText(home_->Gpg("--armor --export made@example.org"));
  ASSERT_NE(nullptr, keys);
  // Trailing blanks, dash lines, an empty last line and CRLF: the hard cases
  // of the clear-signed framework.
  std::string text =
      "REQUEST: DELETE   \nLOCATION: ACTIVE\t\n\n- not a header\n-----BEGIN PGP FAKE-----\n"
      "From the start\nlast line \n";
  WriteFile(home_->File("msg.txt"), text);
  WriteFile(home_->File("crlf.txt"), "one\r\ntwo \r\n");
  struct Variant {
    const char* args;
    const char* in;
  };
  const Variant variants[] = {
      {"--clearsign", "msg.txt"},
      {"--clearsign --digest-algo SHA1", "crlf.txt"},
      {"--armor --sign --compress-algo zlib", "msg.txt"},
      {"--sign --compress-algo zip", "msg.txt"},
      {"--sign --compress-algo bzip2", "msg.txt"},
      {"--sign --compress-algo none --textmode", "crlf.txt"},
      {"--armor --sign --textmode", "msg.txt"},
  };
  for (const Variant& v : variants) {
    std::string signedMsg = home_->Gpg("--local-user made@example.org " + std::string(v.args) +
                                       " -o - " + home_->File(v.in));
    ASSERT_FALSE(signedMsg.empty()) << v.args;
    for (int tamper = 0; tamper < 2; ++tamper) {
      std::string input = signedMsg;
      if (tamper) {
        // Change one letter of the signed text (clear-signed) or the last
        // byte of the literal data region (packet messages, uncompressed
        // only, where the text appears verbatim).
        size_t p = input.find("From the start");
        if (p == std::string::npos) p = input.find("two");
        if (p == std::string::npos) continue;
        input[p] ^= 0x20;
      }
      KRYSignatureEventData got{};
      int events = 0;
      struct Ctx {
        KRYSignatureEventData* got;
        int* events;
      } c{&got, &events};
      KRYDecodeOptions o{};
      o.inputBuffer = input.data();
      o.inputLength = input.size();
      o.keySet = keys;
      o.discardOutput = 1;
      o.eventUserData = &c;
      o.eventHandler = [](KRYContextRef, const KRYEvent* ev, void* ud) -> KRYError {
        auto* x = static_cast<Ctx*>(ud);
        *x->got = ev->signatureData;
        ++*x->events;
        return 0;
      };
      KRYError err = KRYDecode(ctx, &o);
      if (tamper && err != 0) continue;  // compressed data no longer inflates
      ASSERT_EQ(0, err) << v.args;
      ASSERT_EQ(1, events) << v.args;
      EXPECT_TRUE(got.checked) << v.args;
      EXPECT_EQ(!tamper, got.verified != 0) << v.args << " tamper=" << tamper;
    }
  }
}

TEST_F(GpgInterop, EverySignerOfAMessageIsReported) {
  KRYKeySetRef keys = ImportText(home_->Gpg("--armor --export"));
  WriteFile(home_->File("two.txt"), "signed twice\n");
  std::string msg = home_->Gpg("--local-user made@example.org --local-user nist@example.org "
                               "--clearsign -o - " + home_->File("two.txt"));
  struct Seen {
    int events = 0, verified = 0;
  } seen;
  KRYDecodeOptions o{};
  o.inputBuffer = msg.data();
  o.inputLength = msg.size();
  o.keySet = keys;
  o.discardOutput = 1;
  o.eventUserData = &seen;
  o.eventHandler = [](KRYContextRef, const KRYEvent* ev, void* ud) -> KRYError {
    auto* s = static_cast<Seen*>(ud);
    ++s->events;
    s->verified += ev->signatureData.checked && ev->signatureData.verified;
    return 0;
  };
  ASSERT_EQ(0, KRYDecode(ctx, &o));
  EXPECT_EQ(2, seen.events);
  EXPECT_EQ(2, seen.verified);
  // A handler's failure stops the decode with its code.
  seen = Seen();
  o.eventHandler = [](KRYContextRef, const KRYEvent* ev, void* ud) -> KRYError {
    ++static_cast<Seen*>(ud)->events;
    return ev->type == kKRYEvent_Signature ? kKRYError_UserAbort : 0;
  };
  EXPECT_EQ(kKRYError_UserAbort, KRYDecode(ctx, &o));
  EXPECT_EQ(1, seen.events);
}

TEST_F(GpgInterop, GnuPGProtectedSecretKeyUnlocks) {
  home_->Gpg("--passphrase 'pw one' --quick-gen-key 'Locked <locked@example.org>' ed25519 sign 0");
  std::string sec = home_->Gpg("--passphrase 'pw one' --armor --export-secret-keys locked@example.org");
  KRYKeySetRef set = ImportText(sec);
  ASSERT_NE(nullptr, set);
  KRYKeyRef k = Keys(set).at(0);
  KRYBoolean needs = 0;
  KRYGetKeyBoolean(k, kKRYKeyProperty_NeedsPassphrase, &needs);
  EXPECT_TRUE(needs);
  EXPECT_EQ(0, KRYPassphraseIsValid(k, "pw one"));
  EXPECT_EQ(kKRYError_BadPassphrase, KRYPassphraseIsValid(k, "pw two"));
  // Our export with secrets is accepted by a fresh gpg, which can sign with it.
  std::string ours = Export(set, kKRYExportFormat_Complete, true);
  GpgHome fresh;
  WriteFile(fresh.File("sec.asc"), ours);
  int status = -1;
  fresh.Gpg("--passphrase 'pw one' --import " + fresh.File("sec.asc"), &status);
  EXPECT_EQ(0, status);
  EXPECT_NE(std::string::npos, fresh.Gpg("--with-colons --list-secret-keys").find("sec:"));
}

}  // namespace
