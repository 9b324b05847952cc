// The credential document of a logon, "<credential><namespace/><username/><password/></credential>"
// or "<credential><encryptedValue/></credential>", read with libxml2 without a DTD or entities.
#pragma once

#include <string>

namespace dvlservice {

struct CredentialDocument {
  bool hasNamespace = false, hasUserName = false, hasPassword = false, hasEncryptedValue = false;
  std::string nameSpace, userName, password, encryptedValue;
};

// Raises std::invalid_argument saying what is wrong with the document.
CredentialDocument parseCredentialDocument(const std::string& xml);

// The plain form, values escaped.
std::string formatCredentialDocument(const std::string& nameSpace, const std::string& userName,
                                     const std::string& password);

}  // namespace dvlservice
