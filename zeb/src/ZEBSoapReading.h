// What the two envelope readers share. Both pull the message as a sequence of nodes through one
// interface, which ObjectReader and readEnvelopeInto below are written against:
//
//   bool next();                      moves to the next node; false at the end of the document
//   int type() const;                 XML_READER_TYPE_ELEMENT, _END_ELEMENT or a text type
//   std::string_view localName() const;  of the current element
//   bool inNamespace(const char*) const; bool is(const char* ns, const char* name) const;
//   void children(OnChild);           calls OnChild for each child element of the current one
//   const std::string& text();        the text content of the current element
//   std::string_view textView();      the same, valid until the next text or textView
//   void skip();                      the rest of the current element
//   bool isNil(); const ZEBTypeInfo& actualType(const ZEBTypeInfo& declared);  xsi:nil, xsi:type
//   std::string innerXml();           of the current element (fault details)
//   [[noreturn]] void fail(const std::string& why);
//
// TextReader (ZEBSoapTextReader.cpp) is libxml2's xmlTextReader: exact in its errors, with the
// parser's line. FastReader (ZEBSoapFastReader.cpp) is our own tokenizer walking the message's
// bytes in place; it reads only plain well-formed UTF-8 XML, says nothing of what is wrong and
// gives up instead, and the message is then read again with TextReader. tests/zeb/reader_agreement_test.cpp holds them to the
// same result on every message shape.
#pragma once

#include <libxml/xmlreader.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ZEBErrors.h"
#include "ZEBObject.h"
#include "ZEBSchema.h"
#include "ZEBSoap.h"

namespace zebsoap {

inline constexpr const char* kSoapNs = ZEBSoap::envelopeNamespace;
inline constexpr const char* kXsiNs = "http://www.w3.org/2001/XMLSchema-instance";
inline constexpr const char* kOurNs = ZEB_SCHEMA_NAMESPACE;

inline const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }
inline const char* C(const xmlChar* s) { return reinterpret_cast<const char*>(s); }

[[noreturn]] void malformed(const std::string& why);

// Reads an envelope into message (a reply), or into a new request made in *made (message null).
// readExact raises what is wrong (ZEBMalformedMessage, ZEBSOAPFault); readFast returns false where
// it gives the message up, leaving in message whatever it had read.
void readExact(const char* data, size_t length, const ZEBSoapLimits& limits, ZEBMessageI* message,
               std::unique_ptr<ZEBMessageI>* made);
bool readFast(const char* data, size_t length, const ZEBSoapLimits& limits, ZEBMessageI* message,
              std::unique_ptr<ZEBMessageI>* made);

// Builds objects from either reader; both offer the pull interface described at the top.
template <class XmlReader>
class ObjectReader {
 public:
  // What is read lives in registry's arena; the objects read into must be registry's or its message.
  ObjectReader(XmlReader& reader, ZEBObjectRegistry& registry) : r(reader), m_registry(registry) {}
  ~ObjectReader() {
    if (m_scratch.size() > 16) m_scratch.resize(16);
  }

  // Reads the current element as a new object of the declared type (null for xsi:nil).
  ZEBObject* readNew(const ZEBTypeInfo& declared) {
    const ZEBTypeInfo& type = r.actualType(declared);
    if (r.isNil() && type.kind != ZEBTypeKind::Value && type.kind != ZEBTypeKind::Enum) {
      r.skip();
      return nullptr;
    }
    if (type.create == nullptr) r.fail(std::string("type ") + type.name + " is abstract; xsi:type must name a kind of it");
    if (type.fieldCount <= 1) {
      ZEBObject* made = m_registry.placeObject(type);
      readContent(*made);
      return made;
    }
    // Read in scratch, one array a level of nesting, and then given the slots its fields need.
    if (m_depth == m_scratch.size()) m_scratch.emplace_back(new ZEBSlot[ZEBObject::kMaxFields + 1]);
    ZEBObject* made = m_registry.placeObject(type, m_scratch[m_depth].get());
    struct Settle {
      ObjectReader& reader;
      ZEBObject* made;
      bool settled = false;
      ~Settle() {
        --reader.m_depth;
        if (!settled) reader.m_registry.abandonSlots(*made);
      }
    } settle{*this, made};
    ++m_depth;
    readContent(*made);
    m_registry.settleSlots(*made);
    settle.settled = true;
    return made;
  }

  // Reads the current element's content into object.
  void readContent(ZEBObject& o) {
    const ZEBTypeInfo& type = o.getTypeInfo();
    switch (type.kind) {
      case ZEBTypeKind::Enum:
        if (r.isNil()) {
          r.skip();
        } else {
          std::string_view name = r.textView();
          // The same field of the items of an array often holds one value: the last is tried first.
          const ZEBEnumValue* v = &type == m_lastEnumType && name == m_lastEnum->name
                                      ? m_lastEnum
                                      : type.findEnumName(name.data(), name.size());
          if (v == nullptr) r.fail("'" + std::string(name) + "' is not a value of " + type.name);
          m_lastEnumType = &type;
          m_lastEnum = v;
          static_cast<ZEBEnumObject&>(o).setRawValue(v->id);
        }
        return;
      case ZEBTypeKind::Array:
        r.children([&] {
          if (!r.is(kOurNs, "item")) r.fail(std::string("array ") + type.name + " holds element " + std::string(r.localName()));
          static_cast<ZEBArrayObject&>(o).pushItem(readNew(*type.elementType));
        });
        return;
      case ZEBTypeKind::TextArray:
        r.children([&] {
          if (!r.is(kOurNs, "item")) r.fail(std::string("array ") + type.name + " holds element " + std::string(r.localName()));
          static_cast<ZEBTextArrayObject&>(o).push_back(r.text().c_str());
        });
        return;
      case ZEBTypeKind::Value:
        readValue(o);
        return;
      default: {
        unsigned after = 0;  // the field after the last one read
        r.children([&] {
          std::string_view name = r.localName();
          int index = r.inNamespace(kOurNs) ? findField(type, name.data(), name.size(), after) : -1;
          if (index < 0) r.fail(std::string(type.name) + " has no element " + std::string(name));
          after = static_cast<unsigned>(index) + 1;
          readField(o, static_cast<unsigned>(index));
        });
      }
    }
  }

 private:
  // ZEBTypeInfo::findField, looking first at the fields from `from` on: fields come in the
  // schema's order as a rule, so the one sought is most often the next or one after it.
  static int findField(const ZEBTypeInfo& type, const char* name, size_t length, unsigned from) {
    for (unsigned i = from; i < type.fieldCount; ++i) {
      const ZEBFieldInfo& f = type.fields[i];
      if (f.nameLength == length && std::memcmp(f.name, name, length) == 0) return static_cast<int>(i);
    }
    return type.findField(name, length);
  }

  void readValue(ZEBObject& o) {
    const ZEBFieldInfo& f = o.getTypeInfo().fields[0];
    if (r.isNil()) {
      r.skip();
      return;
    }
    if (f.kind == ZEBFieldKind::Object) {
      ZEBObject* value = m_registry.placeObject(*f.type);
      o.slot(0).ptr = value;
      readContent(*value);
    } else if (f.kind == ZEBFieldKind::Embedded) {
      readContent(o.placedEmbeddedObject(0, m_registry));
    } else {
      readScalar(o, 0, f);
    }
  }

  void readField(ZEBObject& o, unsigned index) {
    const ZEBFieldInfo& f = o.getTypeInfo().fields[index];
    if (o.hasField(index)) r.fail(std::string("element ") + f.name + " appears twice");
    switch (f.kind) {
      case ZEBFieldKind::Object:
        o.slot(index).ptr = readNew(*f.type);
        return;
      case ZEBFieldKind::Embedded:
        if (r.isNil()) {
          r.skip();
        } else {
          readContent(o.placedEmbeddedObject(index, m_registry));
        }
        return;
      default:
        if (r.isNil()) {
          r.skip();
          return;
        }
        readScalar(o, index, f);
    }
  }

  void readScalar(ZEBObject& o, unsigned index, const ZEBFieldInfo& f) {
    if (f.kind == ZEBFieldKind::String) {
      std::string_view text = r.textView();
      o.setPlacedStringField(index, m_registry.placeText(text.data(), text.size()));
      return;
    }
    const std::string& text = r.text();
    ZEBSlot& s = o.slot(index);
    switch (f.kind) {
      case ZEBFieldKind::Int:
      case ZEBFieldKind::Long: {
        errno = 0;
        char* end = nullptr;
        long long v = std::strtoll(text.c_str(), &end, 10);
        bool ok = !text.empty() && end && *end == '\0' && errno == 0;
        if (f.kind == ZEBFieldKind::Int && (v < INT_MIN || v > INT_MAX)) ok = false;
        if (!ok) r.fail(std::string("element ") + f.name + " holds '" + text + "', not a number of its range");
        if (f.kind == ZEBFieldKind::Int) {
          s.num.i = static_cast<int>(v);
        } else {
          s.num.l = v;
        }
        o.markSet(index);
        return;
      }
      default:
        if (text == "true" || text == "1") {
          s.num.b = true;
        } else if (text == "false" || text == "0") {
          s.num.b = false;
        } else {
          r.fail(std::string("element ") + f.name + " holds '" + text + "', not a boolean");
        }
        o.markSet(index);
    }
  }

  XmlReader& r;
  ZEBObjectRegistry& m_registry;
  const ZEBTypeInfo* m_lastEnumType = nullptr;  // and m_lastEnum: the last enumeration value read
  const ZEBEnumValue* m_lastEnum = nullptr;
  // By depth of nesting; kept by each thread from one reading to the next (readings of one thread
  // follow one another: a reader is gone before the next starts).
  static std::vector<std::unique_ptr<ZEBSlot[]>>& keptScratch() {
    thread_local std::vector<std::unique_ptr<ZEBSlot[]>> scratch;
    return scratch;
  }
  std::vector<std::unique_ptr<ZEBSlot[]>>& m_scratch = keptScratch();
  size_t m_depth = 0;
};

// Reads an envelope: the header into message's header, then the body. A fault raises.
template <class XmlReader>
void readEnvelopeInto(XmlReader& r, const char* data, size_t length, ZEBMessageI* message,
                      std::unique_ptr<ZEBMessageI>* made) {
  bool found = false;
  while (r.next()) {
    if (r.type() == XML_READER_TYPE_ELEMENT) {
      found = true;
      break;
    }
  }
  if (!found) r.fail("the message holds no element");
  if (!r.is(kSoapNs, "Envelope")) r.fail(std::string("expected a SOAP 1.1 Envelope, found ") + std::string(r.localName()));

  std::unique_ptr<ZEBObjectRegistry> pendingHeaderRegistry;
  ZEBObject* headerObject = nullptr;
  bool bodySeen = false;
  r.children([&] {
    if (r.is(kSoapNs, "Header")) {
      r.children([&] {
        if (r.is(kOurNs, ZEBVorbHeader::typeInfo.name)) {
          if (message == nullptr) {
            // The request message does not exist yet: keep the header until it does.
            pendingHeaderRegistry = std::make_unique<ZEBObjectRegistry>();
            headerObject = ObjectReader<XmlReader>(r, *pendingHeaderRegistry).readNew(ZEBVorbHeader::typeInfo);
          } else {
            ObjectReader<XmlReader>(r, message->getObjectRegistry()).readContent(*message->getVorbHeader(&message->getObjectRegistry()));
          }
        } else {
          r.skip();
        }
      });
    } else if (r.is(kSoapNs, "Body")) {
      if (bodySeen) r.fail("the envelope has two bodies");
      bodySeen = true;
      bool first = true;
      r.children([&] {
        if (!first) r.fail("the body holds more than one element");
        first = false;
        if (r.is(kSoapNs, "Fault")) {
          std::string code, text, detail;
          r.children([&] {
            std::string name(r.localName());
            if (name == "faultcode") {
              code = r.text();
            } else if (name == "faultstring") {
              text = r.text();
            } else if (name == "detail") {
              detail = r.innerXml();
              r.skip();
            } else {
              r.skip();
            }
          });
          ZEBSOAPFault fault(code, text, detail, std::string(data, length));
          ZEBRaise(fault, "ZEBSoap");
        }
        ZEBMessageI* target = message;
        if (target == nullptr) {
          const ZEBTypeInfo* type = r.inNamespace(kOurNs) ? ZEBSoap::findRequestType(std::string(r.localName()).c_str()) : nullptr;
          if (type == nullptr) r.fail("unknown operation " + std::string(r.localName()));
          made->reset(static_cast<ZEBMessageI*>(type->create()));
          target = made->get();
          if (headerObject) {
            ZEBObject* copy = ZEBClone(*headerObject, target->getObjectRegistry());
            target->setVorbHeader(static_cast<ZEBVorbHeader*>(copy));
          }
        } else if (!r.is(kOurNs, target->getTypeInfo().name)) {
          r.fail(std::string("expected ") + target->getTypeInfo().name + ", found " + std::string(r.localName()));
        }
        ObjectReader<XmlReader>(r, target->getObjectRegistry()).readContent(*target);
      });
      if (first) r.fail("the body is empty");
    } else {
      r.fail("unexpected element " + std::string(r.localName()) + " in the envelope");
    }
  });
  if (!bodySeen) r.fail("the envelope has no body");
  while (r.next()) {
    if (r.type() == XML_READER_TYPE_ELEMENT) r.fail("content after the envelope");
  }
}

}  // namespace zebsoap
