// The key-set helpers: the first key of a set, exports that outgrow their
// first buffer, copies into another context and opening the keyrings.
#include "cert/keysets.h"

#include <sys/stat.h>

#include "cert_test_util.h"

namespace kry {
namespace test {
namespace {

class KeySetTest : public CertTest {};

TEST_F(KeySetTest, FirstKeyOfASetAndOfAnEmptyOne) {
  KRYKeySetRef empty = nullptr;
  ASSERT_EQ(KRYNewKeySet(ctx_, &empty), 0);
  sets_.push_back(empty);
  KRYKeyRef key = reinterpret_cast<KRYKeyRef>(1);
  EXPECT_EQ(KeySet2Key(empty, &key), 0);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(KeyIDText(KeyOf(Import(CorpusText("rsa.asc")))), corpus::KeyId("rsa"));
}

TEST_F(KeySetTest, ExportsGrowToTheirRealLength) {
  std::string text;
  for (const char* f : {"rsa.asc", "dsa-elg.asc", "multi-uid.asc", "photo-id-three.asc", "signed-by-both.asc",
                        "designated-revoker.asc", "revoked.asc", "trusted-signer.asc"})
    text += CorpusText(f);
  KRYKeySetRef set = Import(text);
  std::string roomy, tight;
  ASSERT_EQ(ConvertKeySet2KeyBlock(set, false, kKRYExportFormat_Complete, 1 << 20, &roomy), 0);
  ASSERT_GT(roomy.size(), 8192u);  // larger than the default first buffer
  ASSERT_EQ(ConvertKeySet2KeyBlock(set, false, kKRYExportFormat_Complete, 0, &tight), 0);
  EXPECT_EQ(tight, roomy);
  ASSERT_EQ(ConvertKeySet2KeyBlock(set, false, kKRYExportFormat_Complete, 16, &tight), 0);
  EXPECT_EQ(tight, roomy);
  // The basic format leaves the photos out.
  std::string basic;
  ASSERT_EQ(ConvertKeySet2KeyBlock(set, false, kKRYExportFormat_Basic, 16, &basic), 0);
  EXPECT_LT(basic.size(), roomy.size());
  EXPECT_EQ(basic.rfind("-----BEGIN PGP PUBLIC KEY BLOCK-----", 0), 0u);
}

TEST_F(KeySetTest, CopiesLiveInTheirOwnContext) {
  KRYContextRef other = nullptr;
  ASSERT_EQ(KRYNewContext(kKRYsdkAPIVersion, &other), 0);
  KRYKeySetRef copy = nullptr;
  ASSERT_EQ(TransferKeys(other, Import(CorpusText("rsa-secret.asc")), true, &copy), 0);
  KRYKeyRef key = nullptr;
  ASSERT_EQ(KeySet2Key(copy, &key), 0);
  KRYBoolean secret = 0;
  EXPECT_EQ(KRYGetKeyBoolean(key, kKRYKeyProperty_IsSecret, &secret), 0);
  EXPECT_TRUE(secret);
  KRYKeySetRef pub = nullptr;
  ASSERT_EQ(TransferKeys(other, Import(CorpusText("rsa-secret.asc")), false, &pub), 0);
  ASSERT_EQ(KeySet2Key(pub, &key), 0);
  EXPECT_EQ(KRYGetKeyBoolean(key, kKRYKeyProperty_IsSecret, &secret), 0);
  EXPECT_FALSE(secret);
  KRYFreeContext(other);  // frees the copies with it
}

TEST_F(KeySetTest, KeyringsOpenWithOrWithoutThePrivateRing) {
  KRYKeySetRef set = nullptr;
  ASSERT_EQ(GetKeySetFromKeyRings(ctx_, "", "", &set), 0);
  EXPECT_EQ(set, nullptr);
  EXPECT_NE(Events().find("No keyring file specified."), std::string::npos);
  const std::string pub = pgptest::Corpus("server-pubring.pkr");
  ASSERT_EQ(GetKeySetFromKeyRings(ctx_, pub, dir_.path() + "/missing.skr", &set), 0);
  sets_.push_back(set);
  int count = 0;
  KRYCountKeys(set, &count);
  EXPECT_EQ(count, 4);
  set = nullptr;
  EXPECT_NE(GetKeySetFromKeyRings(ctx_, dir_.path() + "/missing.pkr", "", &set), 0);
  EXPECT_EQ(set, nullptr);
  EXPECT_NE(Events().find("Opening public keyring ("), std::string::npos);
}

TEST_F(KeySetTest, MissingRandomSeedFileIsCreatedOrRefusedWithItsCause) {
  const std::string seed = dir_.path() + "/seed.bin";
  ASSERT_EQ(SetRandSeedFile(ctx_, seed), 0);
  struct stat st;
  ASSERT_EQ(stat(seed.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 1024);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(Events().find("Created the KRY random seed file ("), std::string::npos);
  ASSERT_EQ(SetRandSeedFile(ctx_, seed), 0);  // present: used as it is
  const std::string nowhere = dir_.path() + "/no-such-dir/seed.bin";
  EXPECT_NE(SetRandSeedFile(ctx_, nowhere), 0);
  EXPECT_NE(Events().find("Could not create the KRY random seed file (" + nowhere + "): No such file or directory."),
            std::string::npos);
}

}  // namespace
}  // namespace test
}  // namespace kry
