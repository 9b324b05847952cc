#include "Crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <cctype>
#include <stdexcept>

namespace dvlservice {

std::string randomHex(size_t bytes) {
  std::string raw(bytes, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&raw[0]), static_cast<int>(bytes)) != 1) {
    throw std::runtime_error("the system's random generator failed");
  }
  return toHex(raw);
}

struct Sha256::State {
  EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
  // Fetched once: EVP_sha256() makes every digest look its implementation up again, which costs
  // more than hashing a passport.
  static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  m_state->ctx = EVP_MD_CTX_new();
  if (m_state->ctx == nullptr || sha256 == nullptr || EVP_DigestInit_ex(m_state->ctx, sha256, nullptr) != 1) {
    EVP_MD_CTX_free(m_state->ctx);
    throw std::runtime_error("cannot start a SHA-256 digest");
  }
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(m_state->ctx);
}

void Sha256::update(const void* data, size_t length) {
  if (length > 0 && EVP_DigestUpdate(m_state->ctx, data, length) != 1) throw std::runtime_error("SHA-256 failed");
}

std::string Sha256::hexDigest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(m_state->ctx, digest, &length) != 1) throw std::runtime_error("SHA-256 failed");
  return toHex(std::string(reinterpret_cast<char*>(digest), length));
}

std::string hmacSha256Hex(const std::string& key, const std::string& message) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac, &length) == nullptr) {
    throw std::runtime_error("HMAC-SHA256 failed");
  }
  return toHex(std::string(reinterpret_cast<char*>(mac), length));
}

std::string pbkdf2Sha256(const std::string& password, const std::string& salt, int iterations, size_t length) {
  std::string out(length, '\0');
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                        reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()), iterations,
                        EVP_sha256(), static_cast<int>(length), reinterpret_cast<unsigned char*>(&out[0])) != 1) {
    throw std::runtime_error("PBKDF2 failed");
  }
  return out;
}

std::string toBase64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                          reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

bool fromBase64(const std::string& text, std::string& bytes) {
  std::string compact;
  compact.reserve(text.size());
  for (char c : text) {
    if (!std::isspace(static_cast<unsigned char>(c))) compact += c;
  }
  if (compact.size() % 4 != 0) return false;
  for (size_t i = 0; i < compact.size(); ++i) {
    char c = compact[i];
    bool ok =
        std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || (c == '=' && i + 2 >= compact.size());
    if (!ok) return false;
  }
  if (compact.empty()) {
    bytes.clear();
    return true;
  }
  if (compact[compact.size() - 2] == '=' && compact.back() != '=') return false;
  bytes.assign(compact.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&bytes[0]),
                          reinterpret_cast<const unsigned char*>(compact.data()), static_cast<int>(compact.size()));
  if (n < 0) return false;
  size_t padding = (compact.back() == '=') + (compact[compact.size() - 2] == '=');
  bytes.resize(static_cast<size_t>(n) - padding);
  return true;
}

std::string toHex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

bool fromHex(const std::string& text, std::string& bytes) {
  auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (text.size() % 2 != 0) return false;
  bytes.clear();
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = value(text[i]), lo = value(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes += static_cast<char>(hi * 16 + lo);
  }
  return true;
}

std::string x25519PublicKeyPem(const std::string& privateKeyPem) {
  std::unique_ptr<BIO, decltype(&BIO_free)> in(
      BIO_new_mem_buf(privateKeyPem.data(), static_cast<int>(privateKeyPem.size())), &BIO_free);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      in ? PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr) : nullptr, &EVP_PKEY_free);
  if (!key || EVP_PKEY_id(key.get()) != EVP_PKEY_X25519) {
    throw std::invalid_argument("the credential key is not an X25519 private key in PEM form");
  }
  std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), &BIO_free);
  if (!out || PEM_write_bio_PUBKEY(out.get(), key.get()) != 1) throw std::runtime_error("cannot write a public key");
  char* data = nullptr;
  long length = BIO_get_mem_data(out.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

bool constantTimeEquals(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace dvlservice
