// Between the toolkit's objects and the store: what an add request's objects become in the store
// (their documents staged from the request's attachments), and the reply objects a query or an add
// answers with, carrying the properties asked for.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "ContentStore.h"
#include "ZEBSchema.h"
#include "ZEBSession.h"

namespace dvlservice {

class PathResolver;
struct LogonSession;

// How document bytes travel inside a message.
enum class DocumentEncoding { Base64, Mime, HexBinary };
DocumentEncoding encodingOf(const ZEBEncodingEnum* encoding);

// The shapes a property value can take, named after the toolkit's property classes.
enum class PropertyKind {
  Unknown,
  Text,
  Int,
  Long,
  Bool,
  ClassEnum,
  Severity,
  Guid,
  References,
  Strings,
  LocalizedTexts,
  Options,
  Parameters,
  Capabilities,
  MovementSpecification,
  XmlDocument,
  BinaryDocument,
  TextDocument
};
PropertyKind propertyKind(const ZEBTypeInfo& propertyType);
bool isDocumentKind(PropertyKind kind);

// The properties whose values name other objects by search path.
const std::vector<std::string>& referenceProperties();

class AddDecoder {
 public:
  AddDecoder(ContentStore& store, const ZEBAttachmentList* attachments, DocumentEncoding inlineEncoding,
             int64_t maxDocumentBytes);

  struct Decoded {
    NewObject object;     // name empty when the request gave none
    std::string ownPath;  // the object's own searchPath: where it goes instead of the request's parent
  };
  // Raises ServiceFault for an object the store cannot take.
  Decoded decode(const ZEBBaseClass& object);

 private:
  const StagedDocument* attachment(const std::string& contentId);
  const StagedDocument* inlineDocument(const std::string& property, const std::string& text);

  ContentStore& m_store;
  const ZEBAttachmentList* m_attachments;
  DocumentEncoding m_encoding;
  int64_t m_maxDocumentBytes;
  std::list<StagedDocument> m_staged;  // a list, so that pointers into it stay valid
  std::map<std::string, const StagedDocument*> m_byContentId;
};

struct EncodeSettings {
  DocumentEncoding encoding = DocumentEncoding::Base64;
  int64_t maxDataBytes = 0;  // 0: to the end
  int64_t skipDataBytes = 0;
  size_t maxInlineBytes = size_t(64) << 20;
  // Per reference property, the properties of the objects it refers to.
  std::map<std::string, std::vector<std::string>> refProperties;
};

class ReplyEncoder {
 public:
  // Reply attachments (documents asked for as MIME) are appended to `attachments`.
  ReplyEncoder(ContentStore::Transaction& tx, PathResolver& resolver, ZEBObjectRegistryI& registry,
               EncodeSettings settings, std::vector<ZEBReceivedAttachment>& attachments);

  // A new reply object of the record's class with those of `properties` that the class has and the
  // object holds. Raises ServiceFault when a document cannot be returned as asked.
  ZEBBaseClass* encode(const ObjectRecord& record, const std::vector<std::string>& properties);
  // The session object that ~~ selects.
  ZEBBaseClass* encodeSession(const LogonSession& session, const std::vector<std::string>& properties);

  // The value a sort key compares: absent first, then numbers by value, then texts byte-wise.
  struct SortValue {
    int rank = 0;  // 0 absent, 1 number, 2 text
    long long number = 0;
    std::string text;
    bool operator<(const SortValue& o) const;
  };
  SortValue sortValue(const ObjectRecord& record, const std::string& property);

  static const std::vector<std::string>& defaultReferenceProperties();

 private:
  ZEBBaseClass* encodeAt(const ObjectRecord& record, const std::vector<std::string>& properties, int depth);
  ZEBBaseClass* newObject(const std::string& objectClass);
  const PropertyMap& storedProperties(const ObjectRecord& record);
  const std::vector<DocumentRecord>& storedDocuments(const ObjectRecord& record);
  std::string documentText(const ObjectRecord& record, const DocumentRecord& document, PropertyKind kind);

  ContentStore::Transaction& m_tx;
  PathResolver& m_resolver;
  ZEBObjectRegistryI& m_registry;
  EncodeSettings m_settings;
  std::vector<ZEBReceivedAttachment>& m_attachments;
  std::map<int64_t, PropertyMap> m_properties;
  std::map<int64_t, std::vector<DocumentRecord>> m_documents;
};

}  // namespace dvlservice
