// The cryptography adapter on OpenSSL 3: EVP digests and signatures, PEM and DER keys.
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

#include "crypto/crypto.h"

namespace qz::crypto {

namespace {

struct Free {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  void operator()(BIO* bio) const { BIO_free(bio); }
  void operator()(ECDSA_SIG* signature) const { ECDSA_SIG_free(signature); }
  void operator()(BIGNUM* number) const { BN_free(number); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

Owned<BIO> MemoryBio(std::string_view text) {
  return Owned<BIO>(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

// True when `key` is an EC key on P-256.
bool IsP256(EVP_PKEY* key) {
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) return false;
  char group[64] = {};
  std::size_t length = 0;
  if (EVP_PKEY_get_utf8_string_param(key, "group", group, sizeof group, &length) != 1) return false;
  return std::strcmp(group, "prime256v1") == 0 || std::strcmp(group, "P-256") == 0;
}

std::vector<std::uint8_t> SpkiOf(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(key, &der);
  if (length <= 0) return {};
  std::vector<std::uint8_t> spki(der, der + length);
  OPENSSL_free(der);
  return spki;
}

Owned<EVP_PKEY> KeyOf(const PublicKey& key) {
  const unsigned char* cursor = key.spki.data();
  return Owned<EVP_PKEY>(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(key.spki.size())));
}

}  // namespace

Sha256Digest Sha256(std::span<const std::uint8_t> bytes) {
  Sha256Digest digest{};
  unsigned int length = 0;
  (void)EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
  return digest;
}

std::optional<PublicKey> ParsePublicKeyPem(std::string_view pem, std::string* error) {
  const Owned<BIO> bio = MemoryBio(pem);
  const Owned<EVP_PKEY> key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  if (!key) {
    *error = "not a PEM public key (-----BEGIN PUBLIC KEY-----)";
    return std::nullopt;
  }
  if (!IsP256(key.get())) {
    *error = "not an ECDSA P-256 key";
    return std::nullopt;
  }
  PublicKey result{SpkiOf(key.get())};
  if (result.spki.empty()) {
    *error = "the public key cannot be encoded";
    return std::nullopt;
  }
  return result;
}

bool VerifyP256(const PublicKey& key, std::span<const std::uint8_t> message,
                std::span<const std::uint8_t> signature) {
  if (signature.size() != kSignatureSize) return false;
  const Owned<EVP_PKEY> pkey = KeyOf(key);
  if (!pkey || !IsP256(pkey.get())) return false;
  // r || s to the DER form OpenSSL verifies
  Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
  BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
  if (!sig || r == nullptr || s == nullptr || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return false;
  }
  unsigned char* der = nullptr;
  const int der_length = i2d_ECDSA_SIG(sig.get(), &der);
  if (der_length <= 0) return false;
  const std::unique_ptr<unsigned char, void (*)(unsigned char*)> der_owner(
      der, [](unsigned char* p) { OPENSSL_free(p); });
  const Owned<EVP_MD_CTX> context(EVP_MD_CTX_new());
  if (!context ||
      EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, pkey.get()) != 1) {
    return false;
  }
  return EVP_DigestVerify(context.get(), der, static_cast<std::size_t>(der_length), message.data(),
                          message.size()) == 1;
}

bool CanSign() { return true; }

std::optional<SignResult> SignP256(std::string_view private_pem,
                                   std::span<const std::uint8_t> message, std::string* error) {
  const Owned<BIO> bio = MemoryBio(private_pem);
  const Owned<EVP_PKEY> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!key) {
    *error = "not a PEM private key (an encrypted key is not supported)";
    return std::nullopt;
  }
  if (!IsP256(key.get())) {
    *error = "not an ECDSA P-256 key";
    return std::nullopt;
  }
  const Owned<EVP_MD_CTX> context(EVP_MD_CTX_new());
  std::size_t length = 0;
  if (!context ||
      EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &length, message.data(), message.size()) != 1) {
    *error = "the key cannot sign";
    return std::nullopt;
  }
  std::vector<unsigned char> der(length);
  if (EVP_DigestSign(context.get(), der.data(), &length, message.data(), message.size()) != 1) {
    *error = "signing failed";
    return std::nullopt;
  }
  // DER to r || s
  const unsigned char* cursor = der.data();
  const Owned<ECDSA_SIG> sig(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(length)));
  SignResult result;
  if (!sig || BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), result.signature.data(), 32) != 32 ||
      BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), result.signature.data() + 32, 32) != 32) {
    *error = "the signature cannot be decoded";
    return std::nullopt;
  }
  result.public_key.spki = SpkiOf(key.get());
  return result;
}

}  // namespace qz::crypto
