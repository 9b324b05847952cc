// Credential sealing: the document is encrypted for the service's X25519 public key with an
// ephemeral key pair (ECDH, HKDF-SHA256, AES-256-GCM), the client identifier bound as associated
// data. Only the holder of the service's private key can open it, and a sealed document replayed
// under another client identifier fails to open. docs/credentials.md describes the format.
#include "ZEBHelper.h"

#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <cstring>
#include <memory>
#include <mutex>

#include "KRNConfiguration.h"
#include "ZEBErrors.h"
#include "ZEBSchema.h"

namespace {

constexpr unsigned char kVersion = 1;
constexpr size_t kKeyBytes = 32, kNonceBytes = 12, kTagBytes = 16;
const char kInfo[] = "dvl credential v1";

std::mutex g_keyLock;
std::string g_publicKeyPem;

[[noreturn]] void fail(const std::string& why) {
  KRNRuntimeError error("credential encryption: " + why);
  ZEBRaise(error, "ZEBHelper");
}

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

Pkey readKey(const std::string& pem, bool isPrivate) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
  if (!bio) fail("out of memory");
  EVP_PKEY* key = isPrivate ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                            : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr);
  if (key == nullptr || EVP_PKEY_id(key) != EVP_PKEY_X25519) {
    EVP_PKEY_free(key);
    fail(std::string("the ") + (isPrivate ? "private" : "public") + " key is not an X25519 key in PEM form");
  }
  return Pkey(key);
}

std::string rawPublicKey(EVP_PKEY* key) {
  unsigned char raw[kKeyBytes];
  size_t length = sizeof raw;
  if (EVP_PKEY_get_raw_public_key(key, raw, &length) != 1 || length != kKeyBytes) fail("cannot read a public key");
  return std::string(reinterpret_cast<char*>(raw), length);
}

// The symmetric key from the shared secret, bound to both public keys.
std::string deriveKey(EVP_PKEY* own, EVP_PKEY* peer, const std::string& ephemeralPublic,
                      const std::string& servicePublic) {
  PkeyCtx ctx(EVP_PKEY_CTX_new(own, nullptr));
  unsigned char secret[kKeyBytes];
  size_t secretLength = sizeof secret;
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), peer) != 1 ||
      EVP_PKEY_derive(ctx.get(), secret, &secretLength) != 1) {
    fail("key agreement failed");
  }
  std::string salt = ephemeralPublic + servicePublic;
  PkeyCtx kdf(EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr));
  unsigned char key[kKeyBytes];
  size_t keyLength = sizeof key;
  if (!kdf || EVP_PKEY_derive_init(kdf.get()) != 1 || EVP_PKEY_CTX_set_hkdf_md(kdf.get(), EVP_sha256()) != 1 ||
      EVP_PKEY_CTX_set1_hkdf_salt(kdf.get(), reinterpret_cast<const unsigned char*>(salt.data()),
                                  static_cast<int>(salt.size())) != 1 ||
      EVP_PKEY_CTX_set1_hkdf_key(kdf.get(), secret, static_cast<int>(secretLength)) != 1 ||
      EVP_PKEY_CTX_add1_hkdf_info(kdf.get(), reinterpret_cast<const unsigned char*>(kInfo), sizeof kInfo - 1) != 1 ||
      EVP_PKEY_derive(kdf.get(), key, &keyLength) != 1) {
    fail("key derivation failed");
  }
  OPENSSL_cleanse(secret, sizeof secret);
  std::string out(reinterpret_cast<char*>(key), keyLength);
  OPENSSL_cleanse(key, sizeof key);
  return out;
}

std::string base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3), '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string unbase64(const char* text) {
  size_t length = std::strlen(text);
  if (length % 4 != 0) fail("the sealed credential is not base64");
  std::string out(length / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]), reinterpret_cast<const unsigned char*>(text),
                          static_cast<int>(length));
  if (n < 0) fail("the sealed credential is not base64");
  size_t padding = (length >= 1 && text[length - 1] == '=') + (length >= 2 && text[length - 2] == '=');
  out.resize(static_cast<size_t>(n) - padding);
  return out;
}

}  // namespace

const char* ZEBHelper::getPassport(const ZEBVorbHeader* header) { return header ? header->getPassport() : nullptr; }

void ZEBHelper::xmlEncode(const char* value, size_t length, KRNByteBuffer& out) {
  size_t plain = 0;  // start of the run of bytes that need no escaping
  for (size_t i = 0; i < length; ++i) {
    const char* entity = nullptr;
    switch (value[i]) {
      case '&': entity = "&amp;"; break;
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      case '"': entity = "&quot;"; break;
      case '\'': entity = "&apos;"; break;
      default: continue;
    }
    out.append(value + plain, i - plain);
    out.append(entity);
    plain = i + 1;
  }
  out.append(value + plain, length - plain);
}

void ZEBHelper::setCredentialKey(const char* publicKeyPem) {
  std::string pem = publicKeyPem ? publicKeyPem : "";
  if (!pem.empty()) readKey(pem, false);  // refuse a bad key now rather than at the first logon
  std::lock_guard<std::mutex> lock(g_keyLock);
  g_publicKeyPem = pem;
}

std::string ZEBHelper::getCredentialKey() {
  {
    std::lock_guard<std::mutex> lock(g_keyLock);
    if (!g_publicKeyPem.empty()) return g_publicKeyPem;
  }
  // Not set in-process: the configuration's credentialKey (PEM text or a file).
  return KRNConfigurationFactory::getInstance().lookupPem("credentialKey");
}

std::pair<std::string, std::string> ZEBHelper::generateCredentialKeyPair() {
  PkeyCtx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_X25519, nullptr));
  EVP_PKEY* raw = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &raw) != 1) fail("key generation failed");
  Pkey key(raw);
  auto pem = [&](bool isPrivate) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    int ok = isPrivate ? PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)
                       : PEM_write_bio_PUBKEY(bio.get(), key.get());
    if (ok != 1) fail("cannot write a key");
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(length));
  };
  return {pem(true), pem(false)};
}

void ZEBHelper::encryptAndEncode(const char* document, size_t length, const char* clientId, KRNByteBuffer& out) {
  std::string pem = getCredentialKeyFor(clientId);
  if (pem.empty()) fail("no service public key is configured (configuration setting credentialKey)");
  if (clientId == nullptr) fail("no client identifier");
  Pkey service = readKey(pem, false);

  PkeyCtx gen(EVP_PKEY_CTX_new_id(EVP_PKEY_X25519, nullptr));
  EVP_PKEY* raw = nullptr;
  if (!gen || EVP_PKEY_keygen_init(gen.get()) != 1 || EVP_PKEY_keygen(gen.get(), &raw) != 1) fail("key generation failed");
  Pkey ephemeral(raw);
  std::string ephemeralPublic = rawPublicKey(ephemeral.get());
  std::string servicePublic = rawPublicKey(service.get());
  std::string key = deriveKey(ephemeral.get(), service.get(), ephemeralPublic, servicePublic);

  unsigned char nonce[kNonceBytes];
  if (RAND_bytes(nonce, sizeof nonce) != 1) fail("no random bytes");
  std::string sealed;
  sealed.reserve(1 + kKeyBytes + kNonceBytes + length + kTagBytes);
  sealed += static_cast<char>(kVersion);
  sealed += ephemeralPublic;
  sealed.append(reinterpret_cast<char*>(nonce), sizeof nonce);

  CipherCtx ctx(EVP_CIPHER_CTX_new());
  std::string cipher(length, '\0');
  int n = 0, total = 0;
  unsigned char tag[kTagBytes];
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, reinterpret_cast<const unsigned char*>(key.data()), nonce) != 1 ||
      EVP_EncryptUpdate(ctx.get(), nullptr, &n, reinterpret_cast<const unsigned char*>(clientId),
                        static_cast<int>(std::strlen(clientId))) != 1 ||
      EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(&cipher[0]), &n,
                        reinterpret_cast<const unsigned char*>(document), static_cast<int>(length)) != 1 ||
      (total = n, EVP_EncryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(&cipher[0]) + total, &n)) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, sizeof tag, tag) != 1) {
    OPENSSL_cleanse(&key[0], key.size());
    fail("encryption failed");
  }
  OPENSSL_cleanse(&key[0], key.size());
  sealed += cipher;
  sealed.append(reinterpret_cast<char*>(tag), sizeof tag);
  out.append(base64(sealed).c_str());
}

std::string ZEBHelper::decryptCredential(const char* text, const char* clientId, const char* privateKeyPem) {
  if (text == nullptr || clientId == nullptr || privateKeyPem == nullptr) fail("missing argument");
  std::string sealed = unbase64(text);
  if (sealed.size() < 1 + kKeyBytes + kNonceBytes + kTagBytes || static_cast<unsigned char>(sealed[0]) != kVersion) {
    fail("the sealed credential is too short or of an unknown version");
  }
  Pkey service = readKey(privateKeyPem, true);
  std::string ephemeralPublic = sealed.substr(1, kKeyBytes);
  Pkey ephemeral(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr,
                                             reinterpret_cast<const unsigned char*>(ephemeralPublic.data()), kKeyBytes));
  if (!ephemeral) fail("the sealed credential holds no valid key");
  std::string key = deriveKey(service.get(), ephemeral.get(), ephemeralPublic, rawPublicKey(service.get()));

  const unsigned char* nonce = reinterpret_cast<const unsigned char*>(sealed.data()) + 1 + kKeyBytes;
  size_t cipherLength = sealed.size() - 1 - kKeyBytes - kNonceBytes - kTagBytes;
  const unsigned char* cipher = nonce + kNonceBytes;
  std::string tag = sealed.substr(sealed.size() - kTagBytes);
  std::string plain(cipherLength, '\0');
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  int n = 0;
  bool ok = ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, reinterpret_cast<const unsigned char*>(key.data()), nonce) == 1 &&
            EVP_DecryptUpdate(ctx.get(), nullptr, &n, reinterpret_cast<const unsigned char*>(clientId),
                              static_cast<int>(std::strlen(clientId))) == 1 &&
            EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(&plain[0]), &n, cipher,
                              static_cast<int>(cipherLength)) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagBytes, &tag[0]) == 1 &&
            EVP_DecryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(&plain[0]) + n, &n) == 1;
  OPENSSL_cleanse(&key[0], key.size());
  if (!ok) fail("the sealed credential does not open with this key and client identifier");
  return plain;
}

int UuidGenerator::create(I18NString& out) {
  out = I18NString(create().c_str(), nullptr);
  return 1;
}

std::string UuidGenerator::create() {
  unsigned char b[16];
  if (RAND_bytes(b, sizeof b) != 1) fail("no random bytes for a UUID");
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}
