// A self-signed certificate for 127.0.0.1 (subject alternative name included, usable as its own CA),
// written as PEM files for the TLS tests of the transport and the server.
#pragma once

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <string>
#include <utility>

inline void writeSelfSignedCertificate(const std::string& certificatePath, const std::string& keyPath) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400);
  X509_set_pubkey(x, key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(x, name);
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, x, x, nullptr, nullptr, 0);
  for (auto [nid, value] : {std::pair<int, const char*>{NID_subject_alt_name, "IP:127.0.0.1"},
                            {NID_basic_constraints, "critical,CA:TRUE"}}) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    X509_add_ext(x, extension, -1);
    X509_EXTENSION_free(extension);
  }
  X509_sign(x, key, EVP_sha256());
  FILE* f = std::fopen(certificatePath.c_str(), "w");
  PEM_write_X509(f, x);
  std::fclose(f);
  f = std::fopen(keyPath.c_str(), "w");
  PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
  X509_free(x);
  EVP_PKEY_free(key);
}
