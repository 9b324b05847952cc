#include "ZEBObject.h"

#include <algorithm>
#include <cstring>

#include "KRNError.h"
#include "ZEBSchema.h"

// ---- type information ----

bool ZEBTypeInfo::isA(const ZEBTypeInfo& other) const {
  for (const ZEBTypeInfo* t = this; t; t = t->base) {
    if (t == &other) return true;
  }
  return false;
}

int ZEBTypeInfo::findField(const char* text, size_t length) const {
  for (unsigned i = 0; i < fieldCount; ++i) {
    if (fields[i].name[0] == text[0] && std::strncmp(fields[i].name, text, length) == 0 && fields[i].name[length] == '\0') return static_cast<int>(i);
  }
  return -1;
}

const ZEBEnumValue* ZEBTypeInfo::findEnumValue(uint32_t id) const {
  const ZEBEnumValue* end = enumValues + enumCount;
  const ZEBEnumValue* it = std::lower_bound(enumValues, end, id, [](const ZEBEnumValue& v, uint32_t x) { return v.id < x; });
  return it != end && it->id == id ? it : nullptr;
}

const ZEBEnumValue* ZEBTypeInfo::findEnumName(const char* text, size_t length) const {
  for (unsigned i = 0; i < enumCount; ++i) {
    if (std::strncmp(enumValues[i].name, text, length) == 0 && enumValues[i].name[length] == '\0') return &enumValues[i];
  }
  return nullptr;
}

const ZEBTypeInfo* ZEBTypeInfo::findSubtype(const char* text, size_t length) const {
  auto matches = [&](const ZEBTypeInfo* t) {
    return std::strncmp(t->name, text, length) == 0 && t->name[length] == '\0';
  };
  if (matches(this)) return this;
  for (unsigned i = 0; i < subtypeCount; ++i) {
    if (matches(subtypes[i])) return subtypes[i];
  }
  return nullptr;
}

// ---- registries ----

ZEBObjectRegistryI::~ZEBObjectRegistryI() = default;

ZEBObjectRegistry::~ZEBObjectRegistry() {
  // Newest first: a later object may point into an earlier one, never the other way round.
  for (auto it = m_objects.rbegin(); it != m_objects.rend(); ++it) delete *it;
  for (auto it = m_streamables.rbegin(); it != m_streamables.rend(); ++it) delete *it;
}

void ZEBObjectRegistry::registerObject(ZEBObject* object) {
  if (object) m_objects.push_back(object);
}

void ZEBObjectRegistry::registerStreamable(ZEB_CharStreamable* streamable) {
  if (streamable) m_streamables.push_back(streamable);
}

// ---- objects ----

ZEBObject::ZEBObject(const ZEBTypeInfo& type)
    : m_type(&type),
      m_slots(type.fieldCount == 1 ? &m_inlineSlot : type.fieldCount ? new ZEBSlot[type.fieldCount] : nullptr) {}

ZEBObject::~ZEBObject() {
  for (unsigned i = 0; i < m_type->fieldCount; ++i) {
    ZEBFieldKind kind = m_type->fields[i].kind;
    if (kind == ZEBFieldKind::String) delete[] static_cast<char*>(m_slots[i].ptr);
    if (kind == ZEBFieldKind::Embedded) delete static_cast<ZEBObject*>(m_slots[i].ptr);
  }
  if (m_slots != &m_inlineSlot) delete[] m_slots;
}

bool ZEBObject::hasField(unsigned index) const {
  switch (m_type->fields[index].kind) {
    case ZEBFieldKind::Int:
    case ZEBFieldKind::Long:
    case ZEBFieldKind::Bool:
      return (m_setMask >> index) & 1;
    default:
      return m_slots[index].ptr != nullptr;
  }
}

void ZEBObject::clearField(unsigned index) {
  ZEBSlot& s = m_slots[index];
  switch (m_type->fields[index].kind) {
    case ZEBFieldKind::String:
      delete[] static_cast<char*>(s.ptr);
      break;
    case ZEBFieldKind::Embedded:
      delete static_cast<ZEBObject*>(s.ptr);
      break;
    default:
      break;
  }
  s.ptr = nullptr;
  s.num.l = 0;
  m_setMask &= ~(uint64_t(1) << index);
}

void ZEBObject::setStringField(unsigned index, const char* value) {
  char* copy = nullptr;
  if (value) {
    size_t length = std::strlen(value);
    copy = new char[length + 1];
    std::memcpy(copy, value, length + 1);
  }
  delete[] static_cast<char*>(m_slots[index].ptr);
  m_slots[index].ptr = copy;
}

ZEBObject& ZEBObject::embeddedObject(unsigned index) {
  ZEBSlot& s = m_slots[index];
  if (s.ptr == nullptr) s.ptr = m_type->fields[index].type->create();
  return *static_cast<ZEBObject*>(s.ptr);
}

ZEBObject* ZEBObject::objectFieldRaw(unsigned index, ZEBObjectRegistryI* registry) {
  ZEBSlot& s = m_slots[index];
  if (s.ptr == nullptr && registry != nullptr) {
    const ZEBTypeInfo* type = m_type->fields[index].type;
    KRN_ASSERT_AT(type->create != nullptr, "ZEBObject", 1, "KRN_ASSERT(!type->isAbstract);");
    ZEBObject* made = type->create();
    registry->registerObject(made);
    s.ptr = made;
  }
  return static_cast<ZEBObject*>(s.ptr);
}

const char* ZEBEnumObject::getName() const {
  if (!m_isSet) return nullptr;
  const ZEBEnumValue* v = getTypeInfo().findEnumValue(m_value);
  return v ? v->name : nullptr;
}

void ZEBArrayObject::copyItems(const ZEBArrayObject& source, ZEBObjectRegistryI* registry) {
  KRN_ASSERT_AT(registry != nullptr, "ZEBObject", 2, "KRN_ASSERT(registry);");
  for (ZEBObject* element : source.m_items) {
    m_items.push_back(element ? ZEBClone(*element, *registry) : nullptr);
  }
}

void ZEB_CharStreamable::initialize(const char* text, int length) {
  if (text == nullptr) {
    m_text.clear();
  } else {
    m_text.assign(text, length > 0 ? static_cast<size_t>(length) : std::strlen(text));
  }
}

const char* ZEB_CharStreamable::asCharStar() {
  m_formed = m_isContentId ? "cid:" + m_text : m_text;
  return m_formed.c_str();
}

ZEBMessageI::~ZEBMessageI() = default;

ZEBVorbHeader* ZEBMessageI::getVorbHeader(ZEBObjectRegistryI* registry) {
  if (m_header == nullptr && registry != nullptr) {
    m_header = new ZEBVorbHeader;
    registry->registerObject(m_header);
  }
  return m_header;
}

void ZEBMessageI::clearFields() {
  for (unsigned i = 0; i < getTypeInfo().fieldCount; ++i) clearField(i);
  m_header = nullptr;
}

// ---- deep copy and comparison ----

namespace {

ZEBObject* copyInto(const ZEBObject& from, ZEBObject& to, ZEBObjectRegistryI& registry);

ZEBObject* make(const ZEBTypeInfo& type) {
  KRN_ASSERT_AT(type.create != nullptr, "ZEBObject", 3, "KRN_ASSERT(!type.isAbstract);");
  return type.create();
}

ZEBObject* copyInto(const ZEBObject& from, ZEBObject& to, ZEBObjectRegistryI& registry) {
  const ZEBTypeInfo& type = from.getTypeInfo();
  if (type.kind == ZEBTypeKind::Enum) {
    auto& e = static_cast<const ZEBEnumObject&>(from);
    if (e.isSet()) static_cast<ZEBEnumObject&>(to).setRawValue(e.getRawValue());
    return &to;
  }
  if (type.kind == ZEBTypeKind::Array) {
    static_cast<ZEBArrayObject&>(to).copyItems(static_cast<const ZEBArrayObject&>(from), &registry);
    return &to;
  }
  if (type.kind == ZEBTypeKind::TextArray) {
    auto& source = static_cast<const ZEBTextArrayObject&>(from);
    for (size_t i = 0; i < source.size(); ++i) static_cast<ZEBTextArrayObject&>(to).push_back(source.at(i));
    return &to;
  }
  for (unsigned i = 0; i < type.fieldCount; ++i) {
    if (!from.hasField(i)) continue;
    const ZEBSlot& s = from.slot(i);
    ZEBSlot& d = to.slot(i);
    switch (type.fields[i].kind) {
      case ZEBFieldKind::String: {
        size_t length = std::strlen(static_cast<const char*>(s.ptr));
        char* text = new char[length + 1];
        std::memcpy(text, s.ptr, length + 1);
        d.ptr = text;
        break;
      }
      case ZEBFieldKind::Int:
      case ZEBFieldKind::Long:
      case ZEBFieldKind::Bool:
        d.num = s.num;
        to.markSet(i);
        break;
      case ZEBFieldKind::Object:
        d.ptr = ZEBClone(*static_cast<const ZEBObject*>(s.ptr), registry);
        break;
      case ZEBFieldKind::Embedded:
        copyInto(*static_cast<const ZEBObject*>(s.ptr), to.embeddedObject(i), registry);
        break;
    }
  }
  return &to;
}

bool isEmpty(const ZEBObject& o) {
  const ZEBTypeInfo& type = o.getTypeInfo();
  if (type.kind == ZEBTypeKind::Enum) return !static_cast<const ZEBEnumObject&>(o).isSet();
  if (type.kind == ZEBTypeKind::Array) return static_cast<const ZEBArrayObject&>(o).empty();
  if (type.kind == ZEBTypeKind::TextArray) return static_cast<const ZEBTextArrayObject&>(o).empty();
  for (unsigned i = 0; i < type.fieldCount; ++i) {
    if (!o.hasField(i)) continue;
    if (type.fields[i].kind != ZEBFieldKind::Embedded) return false;
    if (!isEmpty(*static_cast<const ZEBObject*>(o.slot(i).ptr))) return false;
  }
  return true;
}

std::string diff(const ZEBObject* a, const ZEBObject* b, const std::string& path) {
  if (a == b) return {};
  if (!a || !b) return path + ": one side is absent";
  const ZEBTypeInfo& type = a->getTypeInfo();
  if (&type != &b->getTypeInfo()) return path + ": " + type.name + " vs " + b->getTypeInfo().name;
  if (type.kind == ZEBTypeKind::Enum) {
    auto& x = static_cast<const ZEBEnumObject&>(*a);
    auto& y = static_cast<const ZEBEnumObject&>(*b);
    if (x.isSet() != y.isSet() || x.getRawValue() != y.getRawValue()) return path + ": enumeration values differ";
    return {};
  }
  if (type.kind == ZEBTypeKind::Array) {
    auto& x = static_cast<const ZEBArrayObject&>(*a);
    auto& y = static_cast<const ZEBArrayObject&>(*b);
    if (x.size() != y.size()) {
      return path + ": " + std::to_string(x.size()) + " vs " + std::to_string(y.size()) + " elements";
    }
    for (size_t i = 0; i < x.size(); ++i) {
      std::string d = diff(x.item(i), y.item(i), path + "[" + std::to_string(i) + "]");
      if (!d.empty()) return d;
    }
    return {};
  }
  if (type.kind == ZEBTypeKind::TextArray) {
    auto& x = static_cast<const ZEBTextArrayObject&>(*a);
    auto& y = static_cast<const ZEBTextArrayObject&>(*b);
    if (x.size() != y.size()) return path + ": " + std::to_string(x.size()) + " vs " + std::to_string(y.size()) + " texts";
    for (size_t i = 0; i < x.size(); ++i) {
      if (std::strcmp(x.at(i), y.at(i)) != 0) return path + "[" + std::to_string(i) + "]: texts differ";
    }
    return {};
  }
  for (unsigned i = 0; i < type.fieldCount; ++i) {
    const ZEBFieldInfo& f = type.fields[i];
    std::string where = path + "/" + f.name;
    bool ha = a->hasField(i), hb = b->hasField(i);
    if (f.kind == ZEBFieldKind::Embedded) {
      const ZEBObject* x = ha ? static_cast<const ZEBObject*>(a->slot(i).ptr) : nullptr;
      const ZEBObject* y = hb ? static_cast<const ZEBObject*>(b->slot(i).ptr) : nullptr;
      if ((!x || isEmpty(*x)) && (!y || isEmpty(*y))) continue;
      std::string d = diff(x, y, where);
      if (!d.empty()) return d;
      continue;
    }
    if (ha != hb) return where + ": set on one side only";
    if (!ha) continue;
    const ZEBSlot& s = a->slot(i);
    const ZEBSlot& t = b->slot(i);
    switch (f.kind) {
      case ZEBFieldKind::String:
        if (std::strcmp(static_cast<const char*>(s.ptr), static_cast<const char*>(t.ptr)) != 0) {
          return where + ": \"" + static_cast<const char*>(s.ptr) + "\" vs \"" + static_cast<const char*>(t.ptr) + "\"";
        }
        break;
      case ZEBFieldKind::Int:
        if (s.num.i != t.num.i) return where + ": numbers differ";
        break;
      case ZEBFieldKind::Long:
        if (s.num.l != t.num.l) return where + ": numbers differ";
        break;
      case ZEBFieldKind::Bool:
        if (s.num.b != t.num.b) return where + ": booleans differ";
        break;
      case ZEBFieldKind::Object: {
        std::string d = diff(static_cast<const ZEBObject*>(s.ptr), static_cast<const ZEBObject*>(t.ptr), where);
        if (!d.empty()) return d;
        break;
      }
      case ZEBFieldKind::Embedded:
        break;
    }
  }
  return {};
}

}  // namespace

void ZEBObject::copyFieldsFrom(const ZEBObject& other, ZEBObjectRegistryI& registry) {
  KRN_ASSERT_AT(&other.getTypeInfo() == m_type, "ZEBObject", 4, "KRN_ASSERT(sameType);");
  copyInto(other, *this, registry);
}

ZEBObject* ZEBClone(const ZEBObject& object, ZEBObjectRegistryI& registry) {
  ZEBObject* copy = make(object.getTypeInfo());
  registry.registerObject(copy);
  return copyInto(object, *copy, registry);
}

bool ZEBEqual(const ZEBObject* a, const ZEBObject* b) { return diff(a, b, "").empty(); }

std::string ZEBDifference(const ZEBObject* a, const ZEBObject* b) { return diff(a, b, ""); }
