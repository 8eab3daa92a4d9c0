// The platform's cryptography adapter: digests, and signatures made by the openssl tool.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/hex_text.h"
#include "crypto/crypto.h"
#include "support/job_fixtures.h"

namespace qz::crypto {
namespace {

std::vector<std::uint8_t> FromHex(const std::string& hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

TEST(Sha256, KnownVectors) {
  EXPECT_EQ(Sha256Hex(std::string_view("")),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex(std::string_view("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha256Hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Signature, AnOpensslSignatureVerifiesAndAChangedOneDoesNot) {
  std::string error;
  const std::optional<PublicKey> key = ParsePublicKeyPem(test::kFactoryPublicPem, &error);
  ASSERT_TRUE(key) << error;
  EXPECT_EQ(key->Id(), test::kFactoryKeyId);
  std::vector<std::uint8_t> signature = FromHex(test::kFactorySignatureHex);
  EXPECT_TRUE(VerifyP256(*key, Bytes("qz670x-mp"), signature));
  EXPECT_FALSE(VerifyP256(*key, Bytes("qz670x-mP"), signature));
  signature[40] ^= 0x01;
  EXPECT_FALSE(VerifyP256(*key, Bytes("qz670x-mp"), signature));
  const std::optional<PublicKey> other = ParsePublicKeyPem(test::kOtherPublicPem, &error);
  ASSERT_TRUE(other) << error;
  EXPECT_FALSE(VerifyP256(*other, Bytes("qz670x-mp"), FromHex(test::kFactorySignatureHex)));
}

TEST(Signature, OnlyP256PublicKeysAreKeys) {
  std::string error;
  EXPECT_FALSE(ParsePublicKeyPem(test::kFactoryPrivatePem, &error));
  EXPECT_FALSE(ParsePublicKeyPem("-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n", &error));
  EXPECT_FALSE(ParsePublicKeyPem(test::kP384PublicPem, &error));
  EXPECT_NE(error.find("P-256"), std::string::npos) << error;
}

TEST(Signature, SignedHereVerifiesWithBothKeyForms) {
  if (!CanSign()) GTEST_SKIP() << "this platform's adapter only verifies";
  for (const char* pem : {test::kFactoryPrivatePem, test::kOtherPrivatePem}) {
    std::string error;
    const std::optional<SignResult> signed_message = SignP256(pem, Bytes("job"), &error);
    ASSERT_TRUE(signed_message) << error;
    EXPECT_TRUE(VerifyP256(signed_message->public_key, Bytes("job"), signed_message->signature));
  }
  std::string error;
  EXPECT_FALSE(SignP256(test::kFactoryPublicPem, Bytes("job"), &error));
}

}  // namespace
}  // namespace qz::crypto
