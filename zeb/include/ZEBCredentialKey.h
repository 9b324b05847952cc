/// The service's credential key as a client obtains it: fetched from <endpoint>/credential-key over
/// a channel that cannot be tampered with (HTTPS with the certificate verified, or plain HTTP to a
/// loopback address), and checked against the key first seen for that service, which is kept in a
/// known-keys file as SSH keeps host keys. docs/credentials.md describes the file.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "ZEBHttpTransport.h"

class IKRNConfiguration;

/// The known-keys file: one line per service origin ("https://cm.example.org:443"), giving the
/// SHA-256 fingerprint of the key first seen there; '#' starts a comment. Changes are written to a
/// new file that replaces the old one (mode 0600, its folder made 0700), under a lock, so that
/// processes sharing the file neither lose nor tear each other's lines.
class ZEB_EXPORT ZEBKnownKeys {
 public:
  /// The file at path; an empty path means defaultPath().
  explicit ZEBKnownKeys(std::string path = std::string());
  /// $DVL_KNOWN_KEYS, else $XDG_CONFIG_HOME/dvl/known-keys, else ~/.config/dvl/known-keys. Raises
  /// ZEBCredentialKeyError when none of them can be told (no home folder).
  static std::string defaultPath();
  /// The known-keys file this object reads and writes.
  const std::string& getPath() const { return m_path; }

  /// "scheme://host:port" of an endpoint URL, host in lower case and the port always given. Raises
  /// ZEBCredentialKeyError for a text that is not an http(s) URL.
  static std::string origin(const std::string& endpoint);
  /// "SHA256:" and the unpadded base64 of the SHA-256 of the key's DER form. Raises
  /// ZEBCredentialKeyError when the text is not an X25519 public key in PEM form.
  static std::string fingerprint(const std::string& publicKeyPem);

  /// Remembers the key for the endpoint's origin when none is known; raises ZEBCredentialKeyError,
  /// naming the file and line, when a different one is.
  void check(const std::string& endpoint, const std::string& publicKeyPem) const;
  /// Remembers the key for the endpoint's origin, replacing any other: what a user does after the
  /// service's key was changed on purpose.
  void accept(const std::string& endpoint, const std::string& publicKeyPem) const;
  /// Forgets the key of the endpoint's origin, so that the next fetch remembers whatever the service
  /// then hands out. Returns whether one was known.
  bool forget(const std::string& endpoint) const;
  /// The fingerprint remembered for the endpoint's origin, empty when none.
  std::string lookup(const std::string& endpoint) const;

 private:
  std::string m_path;
};

/// Obtains the key that the sessions of one factory seal credentials to, when no key is configured
/// (ZEBHelper::setCredentialKey or the configuration's credentialKey). The key is fetched the first
/// time a bound session seals a credential, then kept: a factory whose sessions never seal never
/// asks. Safe to use from several threads.
class ZEB_EXPORT ZEBCredentialKeySource : public std::enable_shared_from_this<ZEBCredentialKeySource> {
 public:
  /// A source that fetches from the settings' endpoint with their TLS options.
  explicit ZEBCredentialKeySource(const ZEBHttpSettings& settings);
  /// Unbinds every session still bound.
  ~ZEBCredentialKeySource();
  ZEBCredentialKeySource(const ZEBCredentialKeySource&) = delete;
  ZEBCredentialKeySource& operator=(const ZEBCredentialKeySource&) = delete;

  /// A source for a factory with these settings; null when they turn fetching off.
  static std::shared_ptr<ZEBCredentialKeySource> forSettings(const ZEBHttpSettings& settings);

  /// Fetches `<endpoint>/credential-key` with the settings' TLS options and timeouts and checks the
  /// key against the known-keys file (remembering it the first time). Raises ZEBCredentialKeyError,
  /// before any request, for an endpoint that cannot be trusted with it (plain HTTP to another
  /// host than this one, HTTPS without verification); ZEBTransportError when the fetch fails;
  /// ZEBCredentialKeyError when the reply is not a key or differs from the one remembered.
  static std::string fetch(const ZEBHttpSettings& settings);

  /// The key (PEM), fetched on the first call; a failed fetch is tried again on the next call.
  std::string get();
  /// Makes sealing for the session with this client identifier use get().
  void bind(const std::string& clientId);
  /// Undoes bind() for a session that goes away.
  void unbind(const std::string& clientId);

  /// Reads the configuration's fetchCredentialKey and knownKeysFile into settings.
  static void configure(ZEBHttpSettings& settings, const IKRNConfiguration& configuration);

 private:
  ZEBHttpSettings m_settings;
  std::mutex m_lock;
  std::string m_key;
  std::set<std::string> m_clients;
};
