// The few cryptographic and encoding services the server needs, on OpenSSL: random identifiers,
// SHA-256 of streamed documents, HMAC, PBKDF2, base64 and hex.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace dvlservice {

// Hex text of `bytes` random bytes from the system's generator.
std::string randomHex(size_t bytes);

// SHA-256 over data given piece by piece.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(const void* data, size_t length);
  std::string hexDigest();  // ends the computation

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

std::string hmacSha256Hex(const std::string& key, const std::string& message);
std::string pbkdf2Sha256(const std::string& password, const std::string& salt, int iterations, size_t length);

std::string toBase64(const std::string& bytes);
// False when text is not base64 (white space is skipped).
bool fromBase64(const std::string& text, std::string& bytes);
std::string toHex(const std::string& bytes);
bool fromHex(const std::string& text, std::string& bytes);

// The public key (PEM) of an X25519 private key (PEM); raises std::invalid_argument for anything else.
std::string x25519PublicKeyPem(const std::string& privateKeyPem);

// Comparison whose time does not depend on where the texts differ.
bool constantTimeEquals(const std::string& a, const std::string& b);

}  // namespace dvlservice
