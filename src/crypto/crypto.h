#pragma once
// Hashes and signatures, from the platform's cryptography library: OpenSSL 3 on Linux
// (crypto_openssl.cpp), CNG on Windows (crypto_cng.cpp). Nothing here is computed by our own
// code. The one algorithm for signatures is ECDSA over P-256 with SHA-256; a signature is kept
// as the 64 bytes r || s (each big-endian, 32 bytes).

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qz::crypto {

using Sha256Digest = std::array<std::uint8_t, 32>;

inline constexpr std::size_t kSignatureSize = 64;

// SHA-256 of `bytes`.
[[nodiscard]] Sha256Digest Sha256(std::span<const std::uint8_t> bytes);
// SHA-256 of `bytes` as 64 lower-case hex digits.
[[nodiscard]] std::string Sha256Hex(std::span<const std::uint8_t> bytes);
[[nodiscard]] std::string Sha256Hex(std::string_view bytes);
// SHA-256 of a file's content as lower-case hex; "" with a reason when it cannot be read.
[[nodiscard]] std::string FileSha256Hex(const std::string& path, std::string* error);

// A P-256 public key, as its DER SubjectPublicKeyInfo.
struct PublicKey {
  std::vector<std::uint8_t> spki;
  // The key's id: the SHA-256 of its SubjectPublicKeyInfo, lower-case hex.
  [[nodiscard]] std::string Id() const;
};

// Reads a PEM "PUBLIC KEY" (as `openssl pkey -pubout` writes it). nullopt with a reason when the
// text is no public key, or a key of another kind than ECDSA P-256.
[[nodiscard]] std::optional<PublicKey> ParsePublicKeyPem(std::string_view pem, std::string* error);

// True when `signature` (r || s) is a valid signature of `message` by `key`.
[[nodiscard]] bool VerifyP256(const PublicKey& key, std::span<const std::uint8_t> message,
                              std::span<const std::uint8_t> signature);

// Whether this platform's adapter signs (OpenSSL does; the Windows build only verifies).
[[nodiscard]] bool CanSign();

// Signs `message` with the P-256 private key in `private_pem` (PKCS#8 or SEC1 PEM, as
// `openssl genpkey` or `openssl ecparam -genkey` write it). Gives r || s and the public key;
// nullopt with a reason when the key cannot be used.
struct SignResult {
  std::array<std::uint8_t, kSignatureSize> signature{};
  PublicKey public_key;
};
[[nodiscard]] std::optional<SignResult> SignP256(std::string_view private_pem,
                                                 std::span<const std::uint8_t> message,
                                                 std::string* error);

}  // namespace qz::crypto
