/// \file
/// Small services of the toolkit: the passport of a header, XML escaping, credential sealing, UUIDs.
#pragma once

#include <cstddef>
#include <string>

#include "I18NString.h"
#include "ZEBObject.h"

class ZEBVorbHeader;

/// Static services of the toolkit: header texts, XML escaping, credential sealing.
class ZEB_EXPORT ZEBHelper {
 public:
  /// The passport text of a header; null for a null header or one without a passport.
  static const char* getPassport(const ZEBVorbHeader* header);
  /// Appends value (length bytes) to out with &, <, >, " and ' replaced by their character
  /// references; other bytes, UTF-8 included, pass unchanged.
  static void xmlEncode(const char* value, size_t length, KRNByteBuffer& out);
  /// Seals a credential document to the service's public key, bound to the client identifier, and
  /// appends it to out as base64 text. The key is getCredentialKeyFor(clientId).
  static void encryptAndEncode(const char* document, size_t length, const char* clientId, KRNByteBuffer& out);
  /// Opens what encryptAndEncode sealed, with the service's private key (PEM). Raises when the key,
  /// the client identifier or the text does not match.
  static std::string decryptCredential(const char* sealed, const char* clientId, const char* privateKeyPem);

  /// The service public key (PEM) that encryptAndEncode seals to, for this process.
  static void setCredentialKey(const char* publicKeyPem);
  /// The service public key (PEM): the one set with setCredentialKey, else the configured credentialKey.
  static std::string getCredentialKey();
  /// The key that encryptAndEncode seals to for the session with this client identifier: the
  /// configured one (above) when there is one, else the one that the session's factory fetches from
  /// its service (ZEBCredentialKey.h); empty when neither.
  static std::string getCredentialKeyFor(const char* clientId);
  /// A new X25519 key pair as PEM texts (private, public), for a service and for tests.
  static std::pair<std::string, std::string> generateCredentialKeyPair();
};

/// Makes unique identifiers.
class ZEB_EXPORT UuidGenerator {
 public:
  /// Writes a new random (version 4) UUID in its canonical 36-character form. Returns 1.
  static int create(I18NString& out);
  /// A new random (version 4) UUID in its canonical form.
  static std::string create();
};
