#include "Credential.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <memory>
#include <stdexcept>

#include "I18NString.h"
#include "ZEBHelper.h"

namespace dvlservice {

namespace {

constexpr size_t kMaxCredentialBytes = 64 * 1024;

[[noreturn]] void bad(const std::string& why) {
  throw std::invalid_argument("credential document: " + why);
}

const char* name(const xmlNode* node) {
  return reinterpret_cast<const char*>(node->name);
}

std::string textOf(const xmlNode* element) {
  std::string out;
  for (const xmlNode* n = element->children; n; n = n->next) {
    if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) {
      if (n->content) out += reinterpret_cast<const char*>(n->content);
    } else if (n->type == XML_ELEMENT_NODE) {
      bad(std::string("element ") + name(element) + " holds element " + name(n) + " instead of text");
    } else if (n->type != XML_COMMENT_NODE) {
      bad(std::string("element ") + name(element) + " holds something other than text");
    }
  }
  return out;
}

}  // namespace

CredentialDocument parseCredentialDocument(const std::string& xml) {
  if (xml.empty()) bad("the credential is empty");
  if (xml.size() > kMaxCredentialBytes) bad("longer than 65536 bytes");
  // Entities could expand without bound or reach outside; a credential never needs a DTD.
  if (xml.find("<!DOCTYPE") != std::string::npos || xml.find("<!ENTITY") != std::string::npos) {
    bad("a DOCTYPE is not allowed");
  }
  std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc(
      xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
      &xmlFreeDoc);
  if (!doc) bad("not well-formed XML");
  if (doc->intSubset || doc->extSubset) bad("a DOCTYPE is not allowed");
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  if (root == nullptr || std::strcmp(name(root), "credential") != 0 || root->ns != nullptr) {
    bad("the root element must be <credential>");
  }
  CredentialDocument out;
  for (const xmlNode* n = root->children; n; n = n->next) {
    if (n->type == XML_TEXT_NODE) {
      for (const char* c = reinterpret_cast<const char*>(n->content); c && *c; ++c) {
        if (!std::strchr(" \t\r\n", *c)) bad("text between the elements of <credential>");
      }
      continue;
    }
    if (n->type == XML_COMMENT_NODE) continue;
    if (n->type != XML_ELEMENT_NODE) bad("<credential> holds something other than elements");
    std::string element = name(n);
    auto take = [&](bool& has, std::string& value) {
      if (has) bad("element <" + element + "> appears twice");
      has = true;
      value = textOf(n);
    };
    if (element == "namespace") {
      take(out.hasNamespace, out.nameSpace);
    } else if (element == "username") {
      take(out.hasUserName, out.userName);
    } else if (element == "password") {
      take(out.hasPassword, out.password);
    } else if (element == "encryptedValue") {
      take(out.hasEncryptedValue, out.encryptedValue);
    } else {
      bad("unknown element <" + element + ">");
    }
  }
  if (out.hasEncryptedValue && (out.hasNamespace || out.hasUserName || out.hasPassword)) {
    bad("<encryptedValue> stands alone in <credential>");
  }
  return out;
}

std::string formatCredentialDocument(const std::string& nameSpace, const std::string& userName,
                                     const std::string& password) {
  auto element = [](const char* tag, const std::string& value) {
    KRNByteBuffer escaped;
    ZEBHelper::xmlEncode(value.data(), value.size(), escaped);
    return std::string("<") + tag + ">" + escaped.str() + "</" + tag + ">";
  };
  return "<credential>" + element("namespace", nameSpace) + element("username", userName) +
         element("password", password) + "</credential>";
}

}  // namespace dvlservice
