#include "platform/pgp/s2k.h"

#include "platform/pgp/internal.h"

#include <cstring>

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace krypgp {

namespace {

struct CipherFree {
  void operator()(EVP_CIPHER* c) const { EVP_CIPHER_free(c); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

// OpenPGP symmetric algorithm IDs (RFC 4880 9.2) to OpenSSL CFB ciphers and
// their key sizes. IDEA and Twofish are not offered by OpenSSL 3.
struct CipherSpec {
  const char* name;
  size_t keyLen;
  size_t blockLen;
};
bool CipherFor(int alg, CipherSpec* out) {
  switch (alg) {
    case 2: *out = {"DES-EDE3-CFB", 24, 8}; return true;
    case 3: *out = {"CAST5-CFB", 16, 8}; return true;
    case 4: *out = {"BF-CFB", 16, 8}; return true;
    case 7: *out = {"AES-128-CFB", 16, 16}; return true;
    case 8: *out = {"AES-192-CFB", 24, 16}; return true;
    case 9: *out = {"AES-256-CFB", 32, 16}; return true;
    case 11: *out = {"CAMELLIA-128-CFB", 16, 16}; return true;
    case 12: *out = {"CAMELLIA-192-CFB", 24, 16}; return true;
    case 13: *out = {"CAMELLIA-256-CFB", 32, 16}; return true;
    default: return false;
  }
}

const EVP_MD* S2KHash(int alg) {
  switch (alg) {
    case 1: return EVP_md5();
    case 2: return EVP_sha1();
    case 3: return EVP_ripemd160();
    case 8: return EVP_sha256();
    case 9: return EVP_sha384();
    case 10: return EVP_sha512();
    case 11: return EVP_sha224();
    default: return nullptr;
  }
}

// RFC 4880 3.7.1: as many hash contexts as needed, each preloaded with one
// more zero byte; iterated S2K feeds salt||passphrase until count bytes.
bool DeriveKey(const SecretInfo& info, const char* pass, size_t keyLen, uint8_t* key) {
  const EVP_MD* md = S2KHash(info.s2kHash);
  if (md == nullptr) return false;
  size_t passLen = std::strlen(pass);
  Bytes material;
  if (info.s2kType == 1 || info.s2kType == 3) material.assign(info.salt.begin(), info.salt.end());
  material.insert(material.end(), pass, pass + passLen);
  size_t total = material.size();
  if (info.s2kType == 3 && info.s2kCount > total) total = info.s2kCount;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx) return false;
  size_t mdLen = size_t(EVP_MD_get_size(md));
  size_t done = 0;
  for (size_t round = 0; done < keyLen; ++round) {
    if (EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return false;
    static const uint8_t zeros[64] = {0};
    if (round > sizeof zeros) return false;
    EVP_DigestUpdate(ctx.get(), zeros, round);
    size_t left = total;
    while (left > 0) {
      size_t n = left < material.size() ? left : material.size();
      if (n == 0) break;
      EVP_DigestUpdate(ctx.get(), material.data(), n);
      left -= n;
    }
    uint8_t out[EVP_MAX_MD_SIZE];
    unsigned int olen = 0;
    if (EVP_DigestFinal_ex(ctx.get(), out, &olen) != 1) return false;
    size_t take = keyLen - done < mdLen ? keyLen - done : mdLen;
    std::memcpy(key + done, out, take);
    OPENSSL_cleanse(out, sizeof out);
    done += take;
  }
  OPENSSL_cleanse(material.data(), material.size());
  return true;
}

}  // namespace

KRYError ParseSecretInfo(const Bytes& body, size_t publicLen, SecretInfo* out) {
  *out = SecretInfo();
  ByteReader r(body.data() + publicLen, body.size() - publicLen);
  uint8_t usage;
  if (!r.u8(&usage)) return kKRYError_MalformedPacket;
  out->present = true;
  out->usage = usage;
  if (usage == 254 || usage == 255) {
    uint8_t cipher, type, hash;
    if (!r.u8(&cipher) || !r.u8(&type)) return kKRYError_MalformedPacket;
    out->cipher = cipher;
    out->s2kType = type;
    if (type == 101) {
      // GNU extension: "GNU" and a mode; mode 1 is a stub without secrets.
      const uint8_t* gnu;
      uint8_t mode;
      if (!r.u8(&hash) || !r.take(3, &gnu) || std::memcmp(gnu, "GNU", 3) != 0 || !r.u8(&mode))
        return kKRYError_MalformedPacket;
      out->s2kHash = hash;
      out->gnuDummy = true;
      out->dataOffset = publicLen + r.pos();
      return kKRYError_NoErr;
    }
    if (type != 0 && type != 1 && type != 3) return kKRYError_UnsupportedAlgorithm;
    if (!r.u8(&hash)) return kKRYError_MalformedPacket;
    out->s2kHash = hash;
    if (type == 1 || type == 3) {
      const uint8_t* salt;
      if (!r.take(8, &salt)) return kKRYError_MalformedPacket;
      std::memcpy(out->salt.data(), salt, 8);
    }
    if (type == 3) {
      uint8_t c;
      if (!r.u8(&c)) return kKRYError_MalformedPacket;
      out->s2kCount = (16u + (c & 15)) << ((c >> 4) + 6);
    }
  } else if (usage != 0) {
    // A bare cipher ID: simple S2K with MD5 (RFC 4880 3.7.2.1).
    out->cipher = usage;
    out->s2kType = 0;
    out->s2kHash = 1;
  }
  if (usage != 0) {
    CipherSpec fileSpec;
    if (!CipherFor(out->cipher, &fileSpec)) {
      // Unknown ciphers are kept; unlocking them fails cleanly later.
      out->dataOffset = publicLen + r.pos();
      return kKRYError_NoErr;
    }
    const uint8_t* iv;
    if (!r.take(fileSpec.blockLen, &iv)) return kKRYError_MalformedPacket;
    out->iv.assign(iv, iv + fileSpec.blockLen);
  }
  out->dataOffset = publicLen + r.pos();
  return kKRYError_NoErr;
}

KRYError UnlockSecret(const Bytes& body, const SecretInfo& info, const char* passphrase,
                      Bytes* plain) {
  if (!info.present || info.gnuDummy) return kKRYError_NoPrivateKey;
  if (info.dataOffset > body.size()) return kKRYError_MalformedPacket;
  Bytes data(body.begin() + info.dataOffset, body.end());
  if (info.usage != 0) {
    CipherSpec fileSpec;
    if (!CipherFor(info.cipher, &fileSpec)) return kKRYError_UnsupportedAlgorithm;
    if (passphrase == nullptr) return kKRYError_BadPassphrase;
    uint8_t key[32];
    if (!DeriveKey(info, passphrase, fileSpec.keyLen, key)) return kKRYError_UnsupportedAlgorithm;
    std::unique_ptr<EVP_CIPHER, CipherFree> cipher(EVP_CIPHER_fetch(nullptr, fileSpec.name, nullptr));
    if (!cipher && LegacyLibCtx() != nullptr)
      cipher.reset(EVP_CIPHER_fetch(LegacyLibCtx(), fileSpec.name, nullptr));
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    int outl = 0, finl = 0;
    Bytes out(data.size() + 32);
    bool ok = cipher && ctx &&
              EVP_DecryptInit_ex(ctx.get(), cipher.get(), nullptr, key, info.iv.data()) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
              EVP_DecryptUpdate(ctx.get(), out.data(), &outl, data.data(), int(data.size())) == 1 &&
              EVP_DecryptFinal_ex(ctx.get(), out.data() + outl, &finl) == 1;
    OPENSSL_cleanse(key, sizeof key);
    if (!cipher) return kKRYError_UnsupportedAlgorithm;
    if (!ok) return kKRYError_CryptoFailure;
    out.resize(size_t(outl + finl));
    OPENSSL_cleanse(data.data(), data.size());
    data.swap(out);
  }
  if (info.usage == 254) {
    if (data.size() < 20) return kKRYError_BadPassphrase;
    uint8_t sha[20];
    unsigned int len = 0;
    size_t n = data.size() - 20;
    if (EVP_Digest(data.data(), n, sha, &len, EVP_sha1(), nullptr) != 1)
      return kKRYError_CryptoFailure;
    if (CRYPTO_memcmp(sha, data.data() + n, 20) != 0) return kKRYError_BadPassphrase;
    data.resize(n);
  } else {
    if (data.size() < 2) return kKRYError_BadPassphrase;
    size_t n = data.size() - 2;
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += data[i];
    if ((sum & 0xFFFF) != ((uint32_t(data[n]) << 8) | data[n + 1])) return kKRYError_BadPassphrase;
    data.resize(n);
  }
  plain->swap(data);
  return kKRYError_NoErr;
}

}  // namespace krypgp
