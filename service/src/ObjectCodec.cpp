#include "ObjectCodec.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Crypto.h"
#include "KRNThrowable.h"
#include "LogonSessions.h"
#include "PathResolver.h"
#include "SearchPath.h"
#include "ServiceFault.h"

namespace dvlservice {

namespace {

// The text-valued property classes, each with its own getValue/setValue.
#define DVL_TEXT_PROPERTY_CLASSES(X) \
  X(ZEBStringProp)                   \
  X(ZEBTokenProp)                    \
  X(ZEBNmtokenProp)                  \
  X(ZEBLanguageProp)                 \
  X(ZEBDateTimeProp)                 \
  X(ZEBAnyTypeProp)                  \
  X(ZEBAnyTypeMIMEProp)

const char* textOf(const ZEBObject& prop) {
  const ZEBTypeInfo* t = &prop.getTypeInfo();
#define DVL_GET(T) \
  if (t == &T::typeInfo) return static_cast<const T&>(prop).getValue();
  DVL_TEXT_PROPERTY_CLASSES(DVL_GET)
#undef DVL_GET
  return nullptr;
}

void setTextOf(ZEBObject& prop, const std::string& text) {
  const ZEBTypeInfo* t = &prop.getTypeInfo();
#define DVL_SET(T)                                \
  if (t == &T::typeInfo) {                        \
    static_cast<T&>(prop).setValue(text.c_str()); \
    return;                                       \
  }
  DVL_TEXT_PROPERTY_CLASSES(DVL_SET)
#undef DVL_SET
}

std::string single(const PropertyValue& value) {
  return value.empty() || value.front().values.empty() ? std::string() : value.front().values.front();
}

PropertyValue text(const std::string& s) {
  return PropertyValue{PropertyItem{"", {s}}};
}

template <class T>
T* made(ZEBObjectRegistryI& registry) {
  T* object = new T;
  registry.registerObject(object);
  return object;
}

// UTF-8 made of characters XML allows, so that the text can travel inside an envelope.
bool isXmlText(const std::string& s) {
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t extra;
    if (c < 0x80) {
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
      extra = 0;
    } else if ((c >> 5) == 6) {
      extra = 1;
    } else if ((c >> 4) == 14) {
      extra = 2;
    } else if ((c >> 3) == 30) {
      extra = 3;
    } else {
      return false;
    }
    if (extra > n - i - 1) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
    }
    i += extra + 1;
  }
  return true;
}

const std::vector<std::string> kDefaultReferenceProperties = {"objectClass", "defaultName", "searchPath", "storeID"};

// Properties the store keeps in its own columns or computes; an add does not set them.
bool isServerOwned(const std::string& name) {
  return name == "objectClass" || name == "storeID" || name == "parent" || name == "creationTime" ||
         name == "modificationTime" || name == "userCapabilities";
}

}  // namespace

DocumentEncoding encodingOf(const ZEBEncodingEnum* encoding) {
  if (encoding == nullptr || !encoding->isSet()) return DocumentEncoding::Base64;
  switch (encoding->getValue()) {
    case ZEBEncodingEnum::MIME:
      return DocumentEncoding::Mime;
    case ZEBEncodingEnum::hexBinary:
      return DocumentEncoding::HexBinary;
    default:
      return DocumentEncoding::Base64;
  }
}

PropertyKind propertyKind(const ZEBTypeInfo& type) {
  const ZEBTypeInfo* t = &type;
  if (t == &ZEBStringProp::typeInfo || t == &ZEBTokenProp::typeInfo || t == &ZEBNmtokenProp::typeInfo ||
      t == &ZEBLanguageProp::typeInfo || t == &ZEBDateTimeProp::typeInfo || t == &ZEBAnyTypeProp::typeInfo) {
    return PropertyKind::Text;
  }
  if (t == &ZEBIntProp::typeInfo) return PropertyKind::Int;
  if (t == &ZEBLongProp::typeInfo) return PropertyKind::Long;
  if (t == &ZEBBooleanProp::typeInfo) return PropertyKind::Bool;
  if (t == &ZEBClassEnumProp::typeInfo) return PropertyKind::ClassEnum;
  if (t == &ZEBSeverityEnumProp::typeInfo) return PropertyKind::Severity;
  if (t == &ZEBGuidProp::typeInfo) return PropertyKind::Guid;
  if (t == &ZEBBaseClassArrayProp::typeInfo) return PropertyKind::References;
  if (t == &ZEBStringArrayProp::typeInfo) return PropertyKind::Strings;
  if (t == &ZEBLocalizedTextArrayProp::typeInfo) return PropertyKind::LocalizedTexts;
  if (t == &ZEBOptionArrayProp::typeInfo) return PropertyKind::Options;
  if (t == &ZEBParameterValueArrayProp::typeInfo) return PropertyKind::Parameters;
  if (t == &ZEBUserCapabilityEnumArrayProp::typeInfo) return PropertyKind::Capabilities;
  if (t == &ZEBDataMovementServiceSpecificationProp::typeInfo) return PropertyKind::MovementSpecification;
  if (t == &ZEBXmlEncodedXMLMIMEProp::typeInfo) return PropertyKind::XmlDocument;
  if (t == &ZEBBase64BinaryMIMEProp::typeInfo) return PropertyKind::BinaryDocument;
  if (t == &ZEBAnyTypeMIMEProp::typeInfo) return PropertyKind::TextDocument;
  return PropertyKind::Unknown;
}

bool isDocumentKind(PropertyKind kind) {
  return kind == PropertyKind::XmlDocument || kind == PropertyKind::BinaryDocument ||
         kind == PropertyKind::TextDocument;
}

const std::vector<std::string>& referenceProperties() {
  static const std::vector<std::string> names = {"recipients", "metadataModel", "metadataModelPackage", "output"};
  return names;
}

// ---------------------------------------------------------------- add requests

AddDecoder::AddDecoder(ContentStore& store, const ZEBAttachmentList* attachments, DocumentEncoding inlineEncoding,
                       int64_t maxDocumentBytes)
    : m_store(store), m_attachments(attachments), m_encoding(inlineEncoding), m_maxDocumentBytes(maxDocumentBytes) {}

const StagedDocument* AddDecoder::attachment(const std::string& contentId) {
  auto known = m_byContentId.find(contentId);
  if (known != m_byContentId.end()) return known->second;
  ZEBDocumentOutputI* source = nullptr;
  if (m_attachments) {
    for (const auto& [id, document] : *m_attachments) {
      if (id && contentId == id) source = document;
    }
  }
  if (source == nullptr)
    refuse("missingAttachment",
           "the request refers to attachment 'cid:" + contentId + "' but carries none by that content identifier");
  try {
    const char* type = source->getContentType();
    m_staged.push_back(m_store.stage(*source, type && *type ? type : "application/octet-stream", m_maxDocumentBytes));
  } catch (const StoreError& e) {
    if (std::strstr(e.what(), "larger than the limit"))
      refuse("documentTooLarge", "attachment 'cid:" + contentId + "': " + e.what());
    throw;
  } catch (const KRNThrowable& e) {
    refuse("badAttachment", "attachment 'cid:" + contentId + "' cannot be read: " + e.getMessage());
  }
  return m_byContentId[contentId] = &m_staged.back();
}

const StagedDocument* AddDecoder::inlineDocument(const std::string& property, const std::string& value) {
  std::string bytes;
  bool ok = m_encoding == DocumentEncoding::HexBinary ? fromHex(value, bytes) : fromBase64(value, bytes);
  if (!ok) {
    refuse("badObject", "the " + property + " property holds neither a 'cid:' reference nor " +
                            (m_encoding == DocumentEncoding::HexBinary ? "hexBinary" : "base64") + " text");
  }
  if (m_maxDocumentBytes >= 0 && static_cast<int64_t>(bytes.size()) > m_maxDocumentBytes) {
    refuse("documentTooLarge", "the " + property + " document is larger than the limit");
  }
  m_staged.push_back(m_store.stage(bytes, "application/octet-stream"));
  return &m_staged.back();
}

AddDecoder::Decoded AddDecoder::decode(const ZEBBaseClass& object) {
  const ZEBTypeInfo& type = object.getTypeInfo();
  std::string objectClass = type.name;
  if (objectClass == "nil" || objectClass == "root" || objectClass == "session") {
    refuse("badObject", "an object of class " + objectClass + " cannot be added to the store");
  }
  Decoded out;
  out.object.objectClass = objectClass;
  std::string firstLocalizedName;

  for (unsigned i = 0; i < type.fieldCount; ++i) {
    const ZEBFieldInfo& field = type.fields[i];
    if (!object.hasField(i) || field.type == nullptr) continue;
    const ZEBObject& prop = *static_cast<const ZEBObject*>(object.slot(i).ptr);
    std::string name = field.name;
    PropertyKind kind = propertyKind(*field.type);

    if (name == "objectClass") {
      const ZEBClassEnum* declared = static_cast<const ZEBClassEnumProp&>(prop).getValue();
      const char* declaredName = declared ? declared->getName() : nullptr;
      if (declaredName && objectClass != declaredName) {
        refuse("badObject", "an object of type " + objectClass + " declares objectClass " + declaredName);
      }
      continue;
    }
    if (isServerOwned(name)) continue;
    if (name == "defaultName") {
      if (const char* v = textOf(prop)) out.object.name = v;
      continue;
    }
    if (name == "searchPath") {
      if (const char* v = textOf(prop)) out.ownPath = v;
      continue;
    }

    PropertyValue value;
    switch (kind) {
      case PropertyKind::Text:
        if (const char* v = textOf(prop)) value = text(v);
        break;
      case PropertyKind::Int:
        if (const int* v = static_cast<const ZEBIntProp&>(prop).getValue()) value = text(std::to_string(*v));
        break;
      case PropertyKind::Long:
        if (const long long* v = static_cast<const ZEBLongProp&>(prop).getValue()) value = text(std::to_string(*v));
        break;
      case PropertyKind::Bool:
        if (const bool* v = static_cast<const ZEBBooleanProp&>(prop).getValue()) value = text(*v ? "true" : "false");
        break;
      case PropertyKind::Severity:
        if (const ZEBSeverityEnum* v = static_cast<const ZEBSeverityEnumProp&>(prop).getValue()) {
          if (const char* n = v->getName()) value = text(n);
        }
        break;
      case PropertyKind::MovementSpecification:
        if (const auto* spec = static_cast<const ZEBDataMovementServiceSpecificationProp&>(prop).getValue()) {
          const ZEBSpecification* inner = spec->getValue();
          if (inner && inner->getValue()) value = text(inner->getValue());
        }
        break;
      case PropertyKind::References: {
        const ZEBBaseClassArray& refs = static_cast<const ZEBBaseClassArrayProp&>(prop).getValue();
        for (size_t k = 0; k < refs.size(); ++k) {
          const ZEBBaseClass* ref = refs.at(k);
          if (ref == nullptr) continue;
          const ZEBStringProp* path = ref->getSearchPath();
          const ZEBGuidProp* guid = ref->getStoreID();
          std::string target;
          if (path && path->getValue()) {
            target = path->getValue();
          } else if (guid && guid->getValue() && guid->getValue()->getValue()) {
            target = storeIdPath(guid->getValue()->getValue());
          } else {
            refuse("badObject", "a reference in " + name + " carries neither a searchPath nor a storeID");
          }
          value.push_back(PropertyItem{ref->getTypeInfo().name, {target}});
        }
        break;
      }
      case PropertyKind::Strings: {
        const ZEBStringArray& strings = static_cast<const ZEBStringArrayProp&>(prop).getValue();
        for (size_t k = 0; k < strings.size(); ++k) value.push_back(PropertyItem{"", {strings.at(k)}});
        break;
      }
      case PropertyKind::LocalizedTexts: {
        const ZEBLocalizedTextArray& texts = static_cast<const ZEBLocalizedTextArrayProp&>(prop).getValue();
        for (size_t k = 0; k < texts.size(); ++k) {
          const ZEBLocalizedText* t = texts.at(k);
          if (t == nullptr) continue;
          std::string v = t->getValue() ? t->getValue() : "";
          if (name == "name" && firstLocalizedName.empty()) firstLocalizedName = v;
          value.push_back(PropertyItem{t->getLocale() ? t->getLocale() : "", {v}});
        }
        break;
      }
      case PropertyKind::Options: {
        const ZEBOptionArray& options = static_cast<const ZEBOptionArrayProp&>(prop).getValue();
        for (size_t k = 0; k < options.size(); ++k) {
          const ZEBOption* o = options.at(k);
          if (o) value.push_back(PropertyItem{o->getName() ? o->getName() : "", {o->getValue() ? o->getValue() : ""}});
        }
        break;
      }
      case PropertyKind::Parameters: {
        const ZEBParameterValueArray& parameters = static_cast<const ZEBParameterValueArrayProp&>(prop).getValue();
        for (size_t k = 0; k < parameters.size(); ++k) {
          const ZEBParameterValue* p = parameters.at(k);
          if (p == nullptr) continue;
          PropertyItem item{p->getName() ? p->getName() : "", {}};
          for (size_t v = 0; v < p->getValues().size(); ++v) item.values.push_back(p->getValues().at(v));
          value.push_back(std::move(item));
        }
        break;
      }
      case PropertyKind::XmlDocument:
      case PropertyKind::BinaryDocument:
      case PropertyKind::TextDocument: {
        const char* v = nullptr;
        if (kind == PropertyKind::XmlDocument) {
          const ZEBXmlEncodedXML* x = static_cast<const ZEBXmlEncodedXMLMIMEProp&>(prop).getValue();
          v = x ? x->getValue() : nullptr;
        } else if (kind == PropertyKind::BinaryDocument) {
          const ZEBBase64Binary* b = static_cast<const ZEBBase64BinaryMIMEProp&>(prop).getValue();
          v = b ? b->getValue() : nullptr;
        } else {
          v = textOf(prop);
        }
        if (v == nullptr) continue;
        if (std::strncmp(v, "cid:", 4) == 0) {
          out.object.documents.emplace_back(name, attachment(v + 4));
        } else if (kind == PropertyKind::BinaryDocument) {
          out.object.documents.emplace_back(name, inlineDocument(name, v));
        } else {
          value = text(v);
        }
        if (value.empty()) continue;
        break;
      }
      default:
        continue;  // capabilities and the like belong to sessions, not to stored objects
    }
    out.object.properties[name] = std::move(value);
  }

  // The size of a document given with the object is the document's, not a claim of the request.
  for (const auto& [property, document] : out.object.documents) {
    if (property == "data") out.object.properties.erase("dataSize");
  }
  if (out.object.name.empty()) out.object.name = firstLocalizedName;
  return out;
}

// ---------------------------------------------------------------- replies

ReplyEncoder::ReplyEncoder(ContentStore::Transaction& tx, PathResolver& resolver, ZEBObjectRegistryI& registry,
                           EncodeSettings settings, std::vector<ZEBReceivedAttachment>& attachments)
    : m_tx(tx),
      m_resolver(resolver),
      m_registry(registry),
      m_settings(std::move(settings)),
      m_attachments(attachments) {}

const std::vector<std::string>& ReplyEncoder::defaultReferenceProperties() {
  return kDefaultReferenceProperties;
}

ZEBBaseClass* ReplyEncoder::newObject(const std::string& objectClass) {
  const ZEBTypeInfo* type = ZEBBaseClass::typeInfo.findSubtype(objectClass.data(), objectClass.size());
  if (type == nullptr || type->create == nullptr) type = &ZEBNil::typeInfo;
  ZEBObject* object = type->create();
  m_registry.registerObject(object);
  return static_cast<ZEBBaseClass*>(object);
}

const PropertyMap& ReplyEncoder::storedProperties(const ObjectRecord& record) {
  auto it = m_properties.find(record.id);
  if (it == m_properties.end()) it = m_properties.emplace(record.id, m_tx.properties(record.id)).first;
  return it->second;
}

const std::vector<DocumentRecord>& ReplyEncoder::storedDocuments(const ObjectRecord& record) {
  auto it = m_documents.find(record.id);
  if (it == m_documents.end()) it = m_documents.emplace(record.id, m_tx.documents(record.id)).first;
  return it->second;
}

std::string ReplyEncoder::documentText(const ObjectRecord& record, const DocumentRecord& document, PropertyKind kind) {
  int64_t skip = 0, length = document.size;
  if (document.property == "data") {
    skip = std::min<int64_t>(std::max<int64_t>(m_settings.skipDataBytes, 0), document.size);
    length = document.size - skip;
    if (m_settings.maxDataBytes > 0) length = std::min<int64_t>(length, m_settings.maxDataBytes);
  }
  if (static_cast<uint64_t>(length) > m_settings.maxInlineBytes) {
    refuse("documentTooLarge", "the " + document.property + " document of " + m_resolver.canonicalPath(record) +
                                   " has " + std::to_string(length) + " bytes, more than a reply carries (" +
                                   std::to_string(m_settings.maxInlineBytes) + "); ask for a part of it");
  }
  std::string bytes = m_tx.readDocument(document, skip, length);

  if (m_settings.encoding == DocumentEncoding::Mime) {
    std::string contentId = record.storeId + "." + document.property;
    m_attachments.push_back(ZEBReceivedAttachment{contentId, document.contentType, std::move(bytes)});
    return "cid:" + contentId;
  }
  if (kind == PropertyKind::BinaryDocument) {
    return m_settings.encoding == DocumentEncoding::HexBinary ? toHex(bytes) : toBase64(bytes);
  }
  if (!isXmlText(bytes)) {
    refuse("notText", "the " + document.property + " document of " + m_resolver.canonicalPath(record) +
                          " is not text; ask for it with the MIME data encoding");
  }
  return bytes;
}

ZEBBaseClass* ReplyEncoder::encode(const ObjectRecord& record, const std::vector<std::string>& properties) {
  return encodeAt(record, properties, 0);
}

ZEBBaseClass* ReplyEncoder::encodeAt(const ObjectRecord& record, const std::vector<std::string>& properties,
                                     int depth) {
  ZEBBaseClass* object = newObject(record.objectClass);
  const ZEBTypeInfo& type = object->getTypeInfo();

  // Objects that a reference names get their own properties, but not the references of their own:
  // references may run in circles.
  auto reference = [&](const std::string& property, const ObjectRecord& target) -> ZEBBaseClass* {
    auto wanted = m_settings.refProperties.find(property);
    const auto& props = wanted != m_settings.refProperties.end() ? wanted->second : kDefaultReferenceProperties;
    return encodeAt(target, props, depth + 1);
  };

  for (const std::string& name : properties) {
    int index = type.findField(name.data(), name.size());
    if (index < 0) continue;
    const ZEBTypeInfo& propType = *type.fields[index].type;
    PropertyKind kind = propertyKind(propType);
    auto prop = [&]() -> ZEBObject& { return *object->objectFieldRaw(static_cast<unsigned>(index), &m_registry); };
    if (object->hasField(static_cast<unsigned>(index))) continue;  // asked for twice

    if (name == "objectClass") {
      auto* e = made<ZEBClassEnum>(m_registry);
      if (const ZEBEnumValue* v =
              ZEBClassEnum::typeInfo.findEnumName(record.objectClass.data(), record.objectClass.size())) {
        e->setRawValue(v->id);
      }
      static_cast<ZEBClassEnumProp&>(prop()).setValue(e);
      continue;
    }
    if (name == "defaultName") {
      setTextOf(prop(), record.name);
      continue;
    }
    if (name == "searchPath") {
      setTextOf(prop(), m_resolver.canonicalPath(record));
      continue;
    }
    if (name == "storeID") {
      auto* guid = made<ZEBGuid>(m_registry);
      guid->setValue(record.storeId.c_str());
      static_cast<ZEBGuidProp&>(prop()).setValue(guid);
      continue;
    }
    if (name == "creationTime" || name == "modificationTime") {
      setTextOf(prop(), name == "creationTime" ? record.created : record.modified);
      continue;
    }
    if (name == "parent") {
      if (depth > 0) continue;
      auto& parents = static_cast<ZEBBaseClassArrayProp&>(prop()).getValue();
      if (record.parent != 0) {
        if (auto parent = m_tx.object(record.parent)) parents.push_back(reference(name, *parent));
      }
      continue;
    }

    const DocumentRecord* document = nullptr;
    for (const DocumentRecord& d : storedDocuments(record)) {
      if (d.property == name) document = &d;
    }
    if (name == "dataSize") {
      for (const DocumentRecord& d : storedDocuments(record)) {
        if (d.property == "data") {
          static_cast<ZEBLongProp&>(prop()).setValue(d.size);
          break;
        }
      }
      if (object->hasField(static_cast<unsigned>(index))) continue;
    }
    if (document && isDocumentKind(kind)) {
      std::string value = documentText(record, *document, kind);
      if (kind == PropertyKind::XmlDocument) {
        auto* xml = made<ZEBXmlEncodedXML>(m_registry);
        xml->setValue(value.c_str());
        static_cast<ZEBXmlEncodedXMLMIMEProp&>(prop()).setValue(xml);
      } else if (kind == PropertyKind::BinaryDocument) {
        auto* binary = made<ZEBBase64Binary>(m_registry);
        binary->setValue(value.c_str());
        static_cast<ZEBBase64BinaryMIMEProp&>(prop()).setValue(binary);
      } else {
        setTextOf(prop(), value);
      }
      continue;
    }

    const PropertyMap& stored = storedProperties(record);
    auto found = stored.find(name);
    if (found == stored.end()) continue;
    const PropertyValue& value = found->second;
    switch (kind) {
      case PropertyKind::Text:
      case PropertyKind::TextDocument:
        setTextOf(prop(), single(value));
        break;
      case PropertyKind::XmlDocument: {
        auto* xml = made<ZEBXmlEncodedXML>(m_registry);
        xml->setValue(single(value).c_str());
        static_cast<ZEBXmlEncodedXMLMIMEProp&>(prop()).setValue(xml);
        break;
      }
      case PropertyKind::Int:
        static_cast<ZEBIntProp&>(prop()).setValue(std::atoi(single(value).c_str()));
        break;
      case PropertyKind::Long:
        static_cast<ZEBLongProp&>(prop()).setValue(std::atoll(single(value).c_str()));
        break;
      case PropertyKind::Bool:
        static_cast<ZEBBooleanProp&>(prop()).setValue(single(value) == "true");
        break;
      case PropertyKind::Severity: {
        std::string s = single(value);
        if (const ZEBEnumValue* v = ZEBSeverityEnum::typeInfo.findEnumName(s.data(), s.size())) {
          auto* e = made<ZEBSeverityEnum>(m_registry);
          e->setRawValue(v->id);
          static_cast<ZEBSeverityEnumProp&>(prop()).setValue(e);
        }
        break;
      }
      case PropertyKind::MovementSpecification: {
        auto* inner = made<ZEBSpecification>(m_registry);
        inner->setValue(single(value).c_str());
        auto* spec = made<ZEBDataMovementServiceSpecification>(m_registry);
        spec->setValue(inner);
        static_cast<ZEBDataMovementServiceSpecificationProp&>(prop()).setValue(spec);
        break;
      }
      case PropertyKind::References: {
        if (depth > 0) break;
        auto& refs = static_cast<ZEBBaseClassArrayProp&>(prop()).getValue();
        for (const PropertyItem& item : value) {
          std::string path = item.values.empty() ? std::string() : item.values.front();
          if (auto target = m_resolver.trySelectOne(path)) {
            refs.push_back(reference(name, *target));
          } else {
            // The reference names nothing the store holds now; it keeps the path it was given.
            ZEBBaseClass* placeholder = newObject(item.key);
            placeholder->getSearchPath(&m_registry)->setValue(path.c_str());
            refs.push_back(placeholder);
          }
        }
        break;
      }
      case PropertyKind::Strings: {
        auto& strings = static_cast<ZEBStringArrayProp&>(prop()).getValue();
        for (const PropertyItem& item : value)
          strings.push_back(item.values.empty() ? "" : item.values.front().c_str());
        break;
      }
      case PropertyKind::LocalizedTexts: {
        auto& texts = static_cast<ZEBLocalizedTextArrayProp&>(prop()).getValue();
        for (const PropertyItem& item : value) {
          auto* t = made<ZEBLocalizedText>(m_registry);
          t->setLocale(item.key.c_str());
          t->setValue(item.values.empty() ? "" : item.values.front().c_str());
          texts.push_back(t);
        }
        break;
      }
      case PropertyKind::Options: {
        auto& options = static_cast<ZEBOptionArrayProp&>(prop()).getValue();
        for (const PropertyItem& item : value) {
          auto* o = made<ZEBOption>(m_registry);
          o->setName(item.key.c_str());
          o->setValue(item.values.empty() ? "" : item.values.front().c_str());
          options.push_back(o);
        }
        break;
      }
      case PropertyKind::Parameters: {
        auto& parameters = static_cast<ZEBParameterValueArrayProp&>(prop()).getValue();
        for (const PropertyItem& item : value) {
          auto* p = made<ZEBParameterValue>(m_registry);
          p->setName(item.key.c_str());
          for (const std::string& v : item.values) p->getValues().push_back(v.c_str());
          parameters.push_back(p);
        }
        break;
      }
      default:
        break;
    }
  }
  return object;
}

ZEBBaseClass* ReplyEncoder::encodeSession(const LogonSession& session, const std::vector<std::string>& properties) {
  auto* object = made<ZEBSession>(m_registry);
  for (const std::string& name : properties) {
    if (name == "objectClass") {
      auto* e = made<ZEBClassEnum>(m_registry);
      e->setValue(ZEBClassEnum::session);
      object->getObjectClass(&m_registry)->setValue(e);
    } else if (name == "defaultName") {
      object->getDefaultName(&m_registry)->setValue(session.account.userName.c_str());
    } else if (name == "searchPath") {
      object->getSearchPath(&m_registry)->setValue("~~");
    } else if (name == "storeID") {
      auto* guid = made<ZEBGuid>(m_registry);
      guid->setValue(session.sessionId.c_str());
      object->getStoreID(&m_registry)->setValue(guid);
    } else if (name == "userCapabilities") {
      ZEBUserCapabilityEnumArray& capabilities = object->getUserCapabilities(&m_registry)->getValue();
      if (!capabilities.empty()) continue;
      for (const std::string& c : session.account.capabilities) {
        if (const ZEBEnumValue* v = ZEBUserCapabilityEnum::typeInfo.findEnumName(c.data(), c.size())) {
          auto* e = made<ZEBUserCapabilityEnum>(m_registry);
          e->setRawValue(v->id);
          capabilities.push_back(e);
        }
      }
    }
  }
  return object;
}

bool ReplyEncoder::SortValue::operator<(const SortValue& o) const {
  if (rank != o.rank) return rank < o.rank;
  if (rank == 1) return number < o.number;
  return text < o.text;
}

ReplyEncoder::SortValue ReplyEncoder::sortValue(const ObjectRecord& record, const std::string& property) {
  SortValue v;
  auto asText = [&](const std::string& s) {
    v.rank = 2;
    v.text = s;
  };
  if (property == "objectClass") {
    asText(record.objectClass);
  } else if (property == "defaultName") {
    asText(record.name);
  } else if (property == "searchPath") {
    asText(m_resolver.canonicalPath(record));
  } else if (property == "storeID") {
    asText(record.storeId);
  } else if (property == "creationTime") {
    asText(record.created);
  } else if (property == "modificationTime") {
    asText(record.modified);
  } else if (property == "dataSize" || property == "contextBlockCount") {
    for (const DocumentRecord& d : storedDocuments(record)) {
      if (property == "dataSize" && d.property == "data") {
        v.rank = 1;
        v.number = d.size;
        return v;
      }
    }
    const PropertyMap& stored = storedProperties(record);
    auto it = stored.find(property);
    if (it != stored.end()) {
      v.rank = 1;
      v.number = std::atoll(single(it->second).c_str());
    }
  } else {
    const PropertyMap& stored = storedProperties(record);
    auto it = stored.find(property);
    if (it != stored.end() && !it->second.empty()) {
      const PropertyItem& first = it->second.front();
      asText(first.values.empty() ? first.key : first.values.front());
    }
  }
  return v;
}

}  // namespace dvlservice
