// The cryptography adapter on Windows: CNG (bcrypt.dll) hashes and verifies, CryptoAPI
// (crypt32.dll) decodes PEM and the SubjectPublicKeyInfo. Signing is left to the OpenSSL build.
#include <windows.h>
// (after windows.h)
#include <bcrypt.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "crypto/crypto.h"

namespace qz::crypto {

namespace {

constexpr char kPublicKeyHeader[] = "-----BEGIN PUBLIC KEY-----";
// DER of the named curve's object identifier, prime256v1 (1.2.840.10045.3.1.7)
constexpr std::uint8_t kP256Oid[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
constexpr std::size_t kCoordinateSize = 32;

bool Ok(NTSTATUS status) { return status >= 0; }

class Algorithm {
 public:
  explicit Algorithm(const wchar_t* name) {
    if (!Ok(BCryptOpenAlgorithmProvider(&handle_, name, nullptr, 0))) handle_ = nullptr;
  }
  ~Algorithm() {
    if (handle_ != nullptr) BCryptCloseAlgorithmProvider(handle_, 0);
  }
  Algorithm(const Algorithm&) = delete;
  Algorithm& operator=(const Algorithm&) = delete;
  [[nodiscard]] BCRYPT_ALG_HANDLE get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

// The decoded SubjectPublicKeyInfo of `spki`, or null; freed with LocalFree.
CERT_PUBLIC_KEY_INFO* DecodeSpki(const std::vector<std::uint8_t>& spki) {
  CERT_PUBLIC_KEY_INFO* info = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, spki.data(),
                           static_cast<DWORD>(spki.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr,
                           &info, &size)) {
    return nullptr;
  }
  return info;
}

// True when `info` is an EC key on P-256 given as an uncompressed point.
bool IsP256(const CERT_PUBLIC_KEY_INFO& info) {
  const CRYPT_ALGORITHM_IDENTIFIER& algorithm = info.Algorithm;
  return algorithm.pszObjId != nullptr && std::strcmp(algorithm.pszObjId, szOID_ECC_PUBLIC_KEY) == 0 &&
         algorithm.Parameters.cbData == sizeof kP256Oid &&
         std::memcmp(algorithm.Parameters.pbData, kP256Oid, sizeof kP256Oid) == 0 &&
         info.PublicKey.cbData == 1 + 2 * kCoordinateSize && info.PublicKey.pbData[0] == 0x04;
}

}  // namespace

Sha256Digest Sha256(std::span<const std::uint8_t> bytes) {
  Sha256Digest digest{};
  const Algorithm sha(BCRYPT_SHA256_ALGORITHM);
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (sha.get() == nullptr || !Ok(BCryptCreateHash(sha.get(), &hash, nullptr, 0, nullptr, 0, 0))) {
    return digest;
  }
  // (fed in pieces a ULONG can count)
  constexpr std::size_t kPiece = 1U << 30;
  for (std::size_t offset = 0; offset < bytes.size(); offset += kPiece) {
    const std::size_t piece = std::min(kPiece, bytes.size() - offset);
    (void)BCryptHashData(hash, const_cast<PUCHAR>(bytes.data() + offset), static_cast<ULONG>(piece), 0);
  }
  (void)BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
  BCryptDestroyHash(hash);
  return digest;
}

std::optional<PublicKey> ParsePublicKeyPem(std::string_view pem, std::string* error) {
  if (pem.find(kPublicKeyHeader) == std::string_view::npos) {
    *error = "not a PEM public key (-----BEGIN PUBLIC KEY-----)";
    return std::nullopt;
  }
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                            nullptr, &size, nullptr, nullptr) ||
      size == 0) {
    *error = "not a PEM public key (-----BEGIN PUBLIC KEY-----)";
    return std::nullopt;
  }
  PublicKey key;
  key.spki.resize(size);
  if (!CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                            key.spki.data(), &size, nullptr, nullptr)) {
    *error = "not a PEM public key (-----BEGIN PUBLIC KEY-----)";
    return std::nullopt;
  }
  key.spki.resize(size);
  CERT_PUBLIC_KEY_INFO* info = DecodeSpki(key.spki);
  if (info == nullptr) {
    *error = "not a PEM public key (its contents do not decode)";
    return std::nullopt;
  }
  const bool p256 = IsP256(*info);
  LocalFree(info);
  if (!p256) {
    *error = "not an ECDSA P-256 key";
    return std::nullopt;
  }
  return key;
}

bool VerifyP256(const PublicKey& key, std::span<const std::uint8_t> message,
                std::span<const std::uint8_t> signature) {
  if (signature.size() != kSignatureSize) return false;
  CERT_PUBLIC_KEY_INFO* info = DecodeSpki(key.spki);
  if (info == nullptr) return false;
  if (!IsP256(*info)) {
    LocalFree(info);
    return false;
  }
  // the point X || Y after a BCRYPT_ECCKEY_BLOB header
  std::vector<std::uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * kCoordinateSize);
  BCRYPT_ECCKEY_BLOB header{};
  header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header.cbKey = kCoordinateSize;
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, info->PublicKey.pbData + 1, 2 * kCoordinateSize);
  LocalFree(info);

  const Algorithm ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
  BCRYPT_KEY_HANDLE handle = nullptr;
  if (ecdsa.get() == nullptr ||
      !Ok(BCryptImportKeyPair(ecdsa.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &handle, blob.data(),
                              static_cast<ULONG>(blob.size()), 0))) {
    return false;
  }
  Sha256Digest digest = Sha256(message);
  std::vector<std::uint8_t> rs(signature.begin(), signature.end());  // r || s, as CNG takes it
  const NTSTATUS status = BCryptVerifySignature(handle, nullptr, digest.data(),
                                                static_cast<ULONG>(digest.size()), rs.data(),
                                                static_cast<ULONG>(rs.size()), 0);
  BCryptDestroyKey(handle);
  return Ok(status);
}

bool CanSign() { return false; }

std::optional<SignResult> SignP256(std::string_view, std::span<const std::uint8_t>,
                                   std::string* error) {
  *error = "signing is not available in the Windows build; sign jobs on Linux";
  return std::nullopt;
}

}  // namespace qz::crypto
