#include "ZEBObject.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <utility>

#include "KRNError.h"
#include "ZEBSchema.h"
#include "KRNAllocationHooks.h"

// ---- type information ----

bool ZEBTypeInfo::isA(const ZEBTypeInfo& other) const {
  for (const ZEBTypeInfo* t = this; t; t = t->base) {
    if (t == &other) return true;
  }
  return false;
}

namespace {
// Whether the NUL-terminated name is the text of length bytes. Names are short: a loop of our own
// costs less than the call to strncmp it replaces.
inline bool sameName(const char* name, const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (name[i] != text[i] || name[i] == '\0') return false;
  }
  return name[length] == '\0';
}
}  // namespace

int ZEBTypeInfo::findField(const char* text, size_t length) const {
  // Few names have the length of the one sought: only those are compared.
  for (unsigned i = 0; i < fieldCount; ++i) {
    const ZEBFieldInfo& f = fields[i];
    if (f.nameLength == length && std::memcmp(f.name, text, length) == 0) return static_cast<int>(i);
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
    const char* name = enumValues[i].name;
    if ((length == 0 || name[0] == text[0]) && sameName(name, text, length)) return &enumValues[i];
  }
  return nullptr;
}

const ZEBTypeInfo* ZEBTypeInfo::findSubtype(const char* text, size_t length) const {
  auto matches = [&](const ZEBTypeInfo* t) {
    return (length == 0 || t->name[0] == text[0]) && sameName(t->name, text, length);
  };
  if (matches(this)) return this;
  for (unsigned i = 0; i < subtypeCount; ++i) {
    if (matches(subtypes[i])) return subtypes[i];
  }
  return nullptr;
}

// ---- the arena ----

struct ZEBArena::Block {
  Block* previous;
  size_t capacity;  // after the header
};

namespace {
// Eight, not alignof(max_align_t) (16): nothing placed needs more, and a hundred thousand objects of
// a large reply would otherwise pay up to 8 bytes of padding each.
constexpr size_t kAlign = ZEBArena::kAlign;
constexpr size_t kLargestBlock = 64 * 1024;

// The first blocks of an arena (2 and 4 KiB: a small message's all), kept by each thread when an
// arena goes for the next one to take: a message per call otherwise got and gave back both from
// malloc, past its per-thread cache, every call.
struct SpareBlocks {
  static constexpr size_t kCount = 2;
  void* blocks[kCount] = {};
  bool gone = false;  // the thread is ending: an arena going later frees its blocks
  ~SpareBlocks() {
    for (void* b : blocks) ::operator delete(b);
    gone = true;
  }
};
thread_local SpareBlocks t_spare;
constexpr size_t kSpareCapacities[SpareBlocks::kCount] = {2048, 4096};
}  // namespace

ZEBArena::~ZEBArena() {
  while (m_blocks != nullptr) {
    Block* previous = m_blocks->previous;
    bool kept = false;
    for (size_t i = 0; i < SpareBlocks::kCount && !t_spare.gone; ++i) {
      if (m_blocks->capacity == kSpareCapacities[i] && t_spare.blocks[i] == nullptr) {
        t_spare.blocks[i] = m_blocks;
        kept = true;
        break;
      }
    }
    if (!kept) ::operator delete(m_blocks);
    m_blocks = previous;
  }
}

void* ZEBArena::allocate(size_t size) {
  size_t pad = (kAlign - reinterpret_cast<uintptr_t>(m_next) % kAlign) % kAlign;
  if (m_next != nullptr && size + pad <= static_cast<size_t>(m_end - m_next)) {
    void* result = m_next + pad;
    m_next += pad + size;
    return result;
  }
  return fromNewBlock(size, false);
}

// Texts are taken from the block's end, objects from its start: no object pays padding after a text.
char* ZEBArena::copyText(const char* text, size_t length) {
  char* copy;
  if (length < static_cast<size_t>(m_end - m_next)) {
    m_end -= length + 1;
    copy = m_end;
  } else {
    copy = static_cast<char*>(fromNewBlock(length + 1, true));
  }
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

// Blocks double from 2 KiB to 64 KiB, so that a small message takes little; a request larger than
// a quarter of a block gets a block of its own, and the current block stays the one to fill. A text
// (atEnd) goes at the new block's end.
void* ZEBArena::fromNewBlock(size_t size, bool atEnd) {
  constexpr size_t header = (sizeof(Block) + kAlign - 1) / kAlign * kAlign;
  bool own = size > m_nextBlockSize / 4;
  size_t capacity = own ? size : m_nextBlockSize;
  if (KRN::checkedAllocationShouldFail()) KRN::raiseOutOfMemory(KRNFileLocation("ZEBArena", 1));
  void* memory = nullptr;
  for (size_t i = 0; i < SpareBlocks::kCount; ++i) {
    if (capacity == kSpareCapacities[i] && t_spare.blocks[i] != nullptr && !t_spare.gone) {
      memory = t_spare.blocks[i];
      t_spare.blocks[i] = nullptr;
      break;
    }
  }
  if (memory == nullptr) memory = ::operator new(header + capacity, std::nothrow);
  if (memory == nullptr) {
    KRN::noteFailedAllocation();
    KRN::raiseOutOfMemory(KRNFileLocation("ZEBArena", 2));
  }
  auto* block = static_cast<Block*>(memory);
  block->capacity = capacity;
  char* start = static_cast<char*>(memory) + header;
  if (own && m_blocks != nullptr) {
    // Behind the current block, which keeps being filled.
    block->previous = m_blocks->previous;
    m_blocks->previous = block;
    return start;
  }
  block->previous = m_blocks;
  m_blocks = block;
  if (m_nextBlockSize < kLargestBlock) m_nextBlockSize *= 2;
  if (atEnd) {
    m_next = start;
    m_end = start + capacity - size;
    return m_end;
  }
  m_next = start + size;  // a block's start is aligned to kAlign
  m_end = start + capacity;
  return start;
}

// ---- registries ----

ZEBObjectRegistryI::~ZEBObjectRegistryI() = default;

struct ZEBObjectRegistry::PlacedChunk {
  static constexpr unsigned kCapacity = 62;  // 512 bytes a chunk
  PlacedChunk* previous;
  unsigned count;
  ZEBObject* objects[kCapacity];
};

namespace {
// Whether an object of type may own heap memory at some point after it was placed: a text set
// with setStringField, an embedded object made by embeddedObject() (or a placed embedded object,
// which may itself take some), an array's list. Enumerations and types whose fields are numbers
// and object references (which only point) never do, and their destructors have nothing to do.
// A type of two fields or more may also take a whole slot array on the heap, when a field past the
// slots it was read with is set (ZEBObject::growSlots).
bool mayTakeHeapMemory(const ZEBTypeInfo& type) {
  if (type.kind == ZEBTypeKind::Array || type.kind == ZEBTypeKind::TextArray) return true;
  if (type.fieldCount > 1) return true;
  for (unsigned i = 0; i < type.fieldCount; ++i) {
    ZEBFieldKind kind = type.fields[i].kind;
    if (kind == ZEBFieldKind::String || kind == ZEBFieldKind::Embedded) return true;
  }
  return false;
}
}  // namespace

ZEBObjectRegistry::~ZEBObjectRegistry() {
  // Newest first: a later object may point into an earlier one, never the other way round.
  for (auto it = m_objects.rbegin(); it != m_objects.rend(); ++it) delete *it;
  // Their memory is the arena's; only what they took on the heap goes here.
  for (PlacedChunk* chunk = m_placed; chunk != nullptr; chunk = chunk->previous) {
    for (unsigned i = chunk->count; i-- > 0;) chunk->objects[i]->~ZEBObject();
  }
  for (auto it = m_streamables.rbegin(); it != m_streamables.rend(); ++it) delete *it;
}

void ZEBObjectRegistry::registerObject(ZEBObject* object) {
  if (object) m_objects.push_back(object);
}

void ZEBObjectRegistry::registerStreamable(ZEB_CharStreamable* streamable) {
  if (streamable) m_streamables.push_back(streamable);
}

ZEBObject* ZEBObjectRegistry::placeObject(const ZEBTypeInfo& type) {
  if (!mayTakeHeapMemory(type)) {
    ZEBObject* made = placeEmbedded(type);
    ++m_placedCount;
    return made;
  }
  // Room for the entry first: once the object exists, nothing can fail before it is recorded.
  if (m_placed == nullptr || m_placed->count == PlacedChunk::kCapacity) {
    auto* chunk = static_cast<PlacedChunk*>(m_arena.allocate(sizeof(PlacedChunk)));
    chunk->previous = m_placed;
    chunk->count = 0;
    m_placed = chunk;
  }
  ZEBObject* made = placeEmbedded(type);
  m_placed->objects[m_placed->count++] = made;
  ++m_placedCount;
  return made;
}

ZEBObject* ZEBObjectRegistry::placeObject(const ZEBTypeInfo& type, ZEBSlot* scratch) {
  if (type.fieldCount <= 1) return placeObject(type);
  // As placeObject, with the slot array left out: the object is a multi-field type, always recorded.
  KRN_ASSERT_AT(type.place != nullptr, "ZEBObject", 5, "KRN_ASSERT(type.place);");
  if (m_placed == nullptr || m_placed->count == PlacedChunk::kCapacity) {
    auto* chunk = static_cast<PlacedChunk*>(m_arena.allocate(sizeof(PlacedChunk)));
    chunk->previous = m_placed;
    chunk->count = 0;
    m_placed = chunk;
  }
  ZEBObject* made = type.place(m_arena.allocate(type.size), new (scratch) ZEBSlot[type.fieldCount + 1]);
  m_placed->objects[m_placed->count++] = made;
  ++m_placedCount;
  return made;
}

// A large reply's objects set few of their fields (a report 4 of 18, the first five slots): each
// keeps the slots up to its last set one, 40 bytes instead of 144.
void ZEBObjectRegistry::settleSlots(ZEBObject& object) {
  unsigned used = object.usedSlots();
  ZEBSlot* header = &ZEBObject::s_noSlots;
  if (used > 0) header = static_cast<ZEBSlot*>(m_arena.allocate((used + 1) * sizeof(ZEBSlot)));
  object.moveSlots(header, used, false);
}

void ZEBObjectRegistry::abandonSlots(ZEBObject& object) {
  for (unsigned i = 0; i < object.slotCount(); ++i) object.clearField(i);
  object.moveSlots(&ZEBObject::s_noSlots, 0, false);
}

ZEBObject* ZEBObjectRegistry::placeEmbedded(const ZEBTypeInfo& type) {
  KRN_ASSERT_AT(type.place != nullptr, "ZEBObject", 5, "KRN_ASSERT(type.place);");
  size_t slots = type.fieldCount > 1 ? type.fieldCount + 1 : 0;  // a header word, then the fields
  size_t objectSize = (type.size + alignof(ZEBSlot) - 1) / alignof(ZEBSlot) * alignof(ZEBSlot);
  char* memory = static_cast<char*>(m_arena.allocate(objectSize + slots * sizeof(ZEBSlot)));
  ZEBSlot* slotArray = slots ? new (memory + objectSize) ZEBSlot[slots] : nullptr;
  return type.place(memory, slotArray);
}

// ---- objects ----

// A large reply holds hundreds of thousands of these: the virtual table, the type (with two flags
// in its low bits) and one slot (or the slot array's address), nothing more.
static_assert(sizeof(void*) != 8 || sizeof(ZEBObject) == 24, "ZEBObject grew");
static_assert(sizeof(void*) != 8 || sizeof(ZEBEnumObject) == 24, "ZEBEnumObject grew");
static_assert(alignof(ZEBTypeInfo) >= 8, "the type's address keeps flags in its low bits");

const ZEBSlot ZEBObject::kEmptySlot{};
ZEBSlot ZEBObject::s_noSlots;

ZEBObject::ZEBObject(const ZEBTypeInfo& type) : m_type(reinterpret_cast<uintptr_t>(&type)) {
  if (type.fieldCount <= 1) {
    new (&m_inlineSlot) ZEBSlot;
    m_type |= kInlineSlot;
  } else {
    m_slots = new ZEBSlot[type.fieldCount + 1];
    m_slots[0].num.l = static_cast<long long>(uint64_t(type.fieldCount) << kSlotCountShift | kOwnSlots);
  }
}

ZEBObject::ZEBObject(const ZEBTypeInfo& type, ZEBSlot* slots) : m_type(reinterpret_cast<uintptr_t>(&type)) {
  if (type.fieldCount <= 1) {
    new (&m_inlineSlot) ZEBSlot;
    m_type |= kInlineSlot;
  } else {
    m_slots = slots;
    m_slots[0].num.l = static_cast<long long>(uint64_t(type.fieldCount) << kSlotCountShift);
  }
}

ZEBObject::~ZEBObject() {
  const ZEBTypeInfo& type = getTypeInfo();
  if (m_type & kInlineSlot) {
    if (type.fieldCount == 1 && m_inlineSlot.ptr != nullptr) destroyFieldValue(0);
    return;
  }
  for (unsigned i = 0; i < slotCount(); ++i) {
    ZEBFieldKind kind = type.fields[i].kind;
    if (m_slots[1 + i].ptr != nullptr && (kind == ZEBFieldKind::String || kind == ZEBFieldKind::Embedded)) {
      destroyFieldValue(i);
    }
  }
  if (mask() & kOwnSlots) delete[] m_slots;
}

void ZEBObject::setBit(unsigned index) {
  if (m_type & kInlineSlot) {
    m_type |= kFieldZero;
    return;
  }
  if (index >= slotCount()) growSlots();  // a field bit always has its slot (never s_noSlots's)
  m_slots[0].num.l = static_cast<long long>(mask() | uint64_t(1) << index);
}

void ZEBObject::clearBit(unsigned index) {
  if (!((mask() >> index) & 1)) return;  // never writes s_noSlots
  if (m_type & kInlineSlot) {
    m_type &= ~kFieldZero;
    return;
  }
  m_slots[0].num.l = static_cast<long long>(mask() & ~(uint64_t(1) << index));
}

void ZEBObject::moveSlots(ZEBSlot* header, unsigned count, bool own) {
  ZEBSlot* old = m_slots;
  uint64_t oldMask = mask();
  unsigned kept = std::min(count, slotCount());
  if (kept > 0) std::memcpy(static_cast<void*>(header + 1), old + 1, kept * sizeof(ZEBSlot));
  for (unsigned i = kept; i < count; ++i) new (&header[1 + i]) ZEBSlot;
  if (header != &s_noSlots) {
    header[0].num.l = static_cast<long long>((oldMask & kFieldBits) | uint64_t(count) << kSlotCountShift | (own ? kOwnSlots : 0));
  }
  m_slots = header;
  if (oldMask & kOwnSlots) delete[] old;
}

// A field past the slots an object was read with is being set: the object takes a whole array.
void ZEBObject::growSlots() {
  unsigned count = getTypeInfo().fieldCount;
  moveSlots(new ZEBSlot[count + 1], count, true);
}

// The last slot that is not zero, or the last field bit if later: a number field may hold 0.
unsigned ZEBObject::usedSlots() const {
  unsigned used = 0;
  for (uint64_t bits = mask() & kFieldBits; bits != 0; bits >>= 1) ++used;
  for (unsigned i = slotCount(); i > used; --i) {
    if (m_slots[i].ptr != nullptr) return i;  // field i - 1
  }
  return used;
}

// Frees a text or embedded object the field owns; one in the arena is only destroyed.
void ZEBObject::destroyFieldValue(unsigned index) {
  void* value = std::as_const(*this).slot(index).ptr;
  if (value == nullptr) return;
  switch (getTypeInfo().fields[index].kind) {
    case ZEBFieldKind::String:
      if (!isPlacedField(index)) delete[] static_cast<char*>(value);
      break;
    case ZEBFieldKind::Embedded:
      if (isPlacedField(index)) {
        static_cast<ZEBObject*>(value)->~ZEBObject();
      } else {
        delete static_cast<ZEBObject*>(value);
      }
      break;
    default:
      break;
  }
}

void ZEBObject::releasePlacedFields() {
  for (unsigned i = 0; i < getTypeInfo().fieldCount; ++i) {
    ZEBFieldKind kind = getTypeInfo().fields[i].kind;
    if ((kind == ZEBFieldKind::String || kind == ZEBFieldKind::Embedded) && isPlacedField(i)) clearField(i);
  }
}

void ZEBObject::clearField(unsigned index) {
  destroyFieldValue(index);
  clearBit(index);
  if (&std::as_const(*this).slot(index) == &kEmptySlot) return;  // nothing kept, nothing to clear
  ZEBSlot& s = slot(index);
  s.ptr = nullptr;
  s.num.l = 0;
}

void ZEBObject::setStringField(unsigned index, const char* value) {
  char* copy = nullptr;
  if (value) {
    size_t length = std::strlen(value);
    copy = new char[length + 1];
    std::memcpy(copy, value, length + 1);
  }
  destroyFieldValue(index);
  slot(index).ptr = copy;
  clearBit(index);
}

void ZEBObject::setPlacedStringField(unsigned index, char* text) {
  destroyFieldValue(index);
  slot(index).ptr = text;
  setBit(index);
}

ZEBObject& ZEBObject::embeddedObject(unsigned index) {
  ZEBSlot& s = slot(index);
  if (s.ptr == nullptr) s.ptr = getTypeInfo().fields[index].type->create();
  return *static_cast<ZEBObject*>(s.ptr);
}

ZEBObject& ZEBObject::placedEmbeddedObject(unsigned index, ZEBObjectRegistry& registry) {
  ZEBSlot& s = slot(index);
  if (s.ptr == nullptr) {
    s.ptr = registry.placeEmbedded(*getTypeInfo().fields[index].type);
    setBit(index);
  }
  return *static_cast<ZEBObject*>(s.ptr);
}

// Only reads unless it makes the object: a reply's objects may be read by several threads at once.
ZEBObject* ZEBObject::objectFieldRaw(unsigned index, ZEBObjectRegistryI* registry) {
  void* value = std::as_const(*this).slot(index).ptr;
  if (value == nullptr && registry != nullptr) {
    const ZEBTypeInfo* type = getTypeInfo().fields[index].type;
    KRN_ASSERT_AT(type->create != nullptr, "ZEBObject", 1, "KRN_ASSERT(!type->isAbstract);");
    ZEBObject* made = type->create();
    registry->registerObject(made);
    slot(index).ptr = made;
    value = made;
  }
  return static_cast<ZEBObject*>(value);
}

const char* ZEBEnumObject::getName() const {
  if (!isSet()) return nullptr;
  const ZEBEnumValue* v = getTypeInfo().findEnumValue(getRawValue());
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

// The registry (a member) goes before the base's destructor runs: the fields that live in its arena
// are given up first.
ZEBMessageI::~ZEBMessageI() { releasePlacedFields(); }

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
      case ZEBFieldKind::String:
        to.setStringField(i, static_cast<const char*>(s.ptr));  // the copy's own, whatever was there
        break;
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
  KRN_ASSERT_AT(&other.getTypeInfo() == &getTypeInfo(), "ZEBObject", 4, "KRN_ASSERT(sameType);");
  copyInto(other, *this, registry);
}

ZEBObject* ZEBClone(const ZEBObject& object, ZEBObjectRegistryI& registry) {
  ZEBObject* copy = make(object.getTypeInfo());
  registry.registerObject(copy);
  return copyInto(object, *copy, registry);
}

bool ZEBEqual(const ZEBObject* a, const ZEBObject* b) { return diff(a, b, "").empty(); }

std::string ZEBDifference(const ZEBObject* a, const ZEBObject* b) { return diff(a, b, ""); }
