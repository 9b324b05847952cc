/// \file
/// The toolkit's object model: every schema class is a ZEBObject whose fields live in slots described
/// by a static ZEBTypeInfo, so that serialising, parsing, copying and comparing are written once,
/// driven by the type tables, instead of once per class.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "KRNPlatform.h"

#ifdef zeb_EXPORTS
#define ZEB_EXPORT KRN_DECL_EXPORT
#else
#define ZEB_EXPORT KRN_DECL_IMPORT
#endif

class ZEBObject;
class ZEBObjectRegistryI;
class ZEBVorbHeader;

/// What a field holds.
enum class ZEBFieldKind : uint8_t { String, Int, Long, Bool, Object, Embedded };
/// What a generated type is.
enum class ZEBTypeKind : uint8_t { Enum, Value, Class, Array, TextArray, Request, Reply };

struct ZEBTypeInfo;
struct ZEBSlot;

/// One field of a generated type.
struct ZEBFieldInfo {
  const char* name;  ///< the element name on the wire, also a schema symbol
  uint32_t symbol;   ///< CRC-32 of name
  /// What the field holds.
  ZEBFieldKind kind;
  uint16_t nameLength;      ///< strlen(name): a name read is compared only with names of its length
  const ZEBTypeInfo* type;  ///< for Object and Embedded fields
};

/// One value of an enumeration.
struct ZEBEnumValue {
  /// The value's schema name.
  const char* name;
  uint32_t id;  ///< CRC-32 of name; the table is sorted by id
};

/// What the serializer and the parser know of a generated type.
struct ZEB_EXPORT ZEBTypeInfo {
  const char* className;  ///< "ZEBOutput"
  const char* name;       ///< schema name, "output"
  /// CRC-32 of name.
  uint32_t symbol;
  /// What the type is.
  ZEBTypeKind kind;
  /// The base class; null when none.
  const ZEBTypeInfo* base;
  /// True for an abstract class.
  bool isAbstract;
  const ZEBFieldInfo* fields;  ///< the base's fields first
  /// Number of fields.
  unsigned fieldCount;
  const ZEBTypeInfo* elementType;  ///< arrays
  const ZEBEnumValue* enumValues;  ///< enumerations, sorted by id
  /// Number of enumeration values.
  unsigned enumCount;
  const ZEBTypeInfo* const* subtypes;  ///< every descendant of a class
  /// Number of subtypes.
  unsigned subtypeCount;
  ZEBObject* (*create)();  ///< null for abstract classes
  const char* port;        ///< messages: the port type ("ContentManagerService")
  const char* operation;   ///< messages: the operation ("query")
  /// Objects built in a registry's arena (ZEBObjectRegistry::placeObject): the class's size, and
  /// its construction in memory with slots as its slot array (null for a type without fields).
  /// Null for abstract classes and messages.
  size_t size;
  /// Constructs an object in memory (see size).
  ZEBObject* (*place)(void* memory, ZEBSlot* slots);

  /// True when this is other or derives from it.
  bool isA(const ZEBTypeInfo& other) const;
  /// The index of the field with that element name, or -1.
  int findField(const char* name, size_t length) const;
  /// The enumeration value with that identifier, or null.
  const ZEBEnumValue* findEnumValue(uint32_t id) const;
  /// The enumeration value with that name, or null.
  const ZEBEnumValue* findEnumName(const char* name, size_t length) const;
  /// This type or one of its descendants by schema name, or null.
  const ZEBTypeInfo* findSubtype(const char* name, size_t length) const;
};

/// Memory handed out in blocks and given back all at once: the objects, slot arrays and texts of a
/// parsed message. A failed block allocation raises KRNOutOfMemoryError and leaves the arena as it was.
class ZEB_EXPORT ZEBArena {
 public:
  ZEBArena() = default;
  ~ZEBArena();
  ZEBArena(const ZEBArena&) = delete;
  ZEBArena& operator=(const ZEBArena&) = delete;
  /// What allocate() aligns to: enough for every type placed here (pointers, 64-bit numbers); the
  /// generated types check it at compile time.
  static constexpr size_t kAlign = 8;
  /// size bytes aligned to kAlign.
  void* allocate(size_t size);
  /// A zero-terminated copy of length bytes of text.
  char* copyText(const char* text, size_t length);

 private:
  struct Block;
  void* fromNewBlock(size_t size, bool atEnd);

  char* m_next = nullptr;
  char* m_end = nullptr;
  Block* m_blocks = nullptr;
  size_t m_nextBlockSize = 2048;
};

/// Keeps objects made for a message and deletes them with it.
class ZEB_CharStreamable;
/// Takes over objects made for a message.
class ZEB_EXPORT ZEBObjectRegistryI {
 public:
  virtual ~ZEBObjectRegistryI();
  /// Takes over object.
  virtual void registerObject(ZEBObject* object) = 0;
  /// Takes over streamable.
  virtual void registerStreamable(ZEB_CharStreamable* streamable) = 0;
};

/// Objects handed over with registerObject are deleted one by one. Objects the reader builds are
/// placed in the registry's arena instead (placeObject): the object, its slot array, its texts and
/// its embedded objects share the arena's blocks, and the blocks are freed at once. The registry
/// runs the destructors of the placed objects that may take heap memory after they were made (a
/// text set later, an embedded object made on first use, an array's elements); objects of a type
/// that cannot (enumerations, types of numbers and object references only) are not recorded.
class ZEB_EXPORT ZEBObjectRegistry : public ZEBObjectRegistryI {
 public:
  ZEBObjectRegistry() = default;
  ~ZEBObjectRegistry() override;
  ZEBObjectRegistry(const ZEBObjectRegistry&) = delete;
  ZEBObjectRegistry& operator=(const ZEBObjectRegistry&) = delete;
  void registerObject(ZEBObject* object) override;
  void registerStreamable(ZEB_CharStreamable* streamable) override;
  /// Number of objects held.
  size_t size() const { return m_objects.size() + m_placedCount + m_streamables.size(); }

  /// A new object of type (not abstract, not a message) in the arena, owned by this registry.
  ZEBObject* placeObject(const ZEBTypeInfo& type);
  /// The same, for the reader: a type of two fields or more works in scratch (a header and
  /// type.fieldCount slots, the caller's, which it clears) until settleSlots() gives it a slot array
  /// of its own in the arena, only as long as its last set field needs. Raises KRNOutOfMemoryError
  /// as ZEBArena::allocate does.
  ZEBObject* placeObject(const ZEBTypeInfo& type, ZEBSlot* scratch);
  /// Moves an object placed with scratch into its own slot array; on failure it raises and the
  /// object is left in scratch for the caller to abandonSlots().
  void settleSlots(ZEBObject& object);
  /// Empties an object placed with scratch that will not be settled (its read failed): what its
  /// fields own is given up, and it is left without fields.
  void abandonSlots(ZEBObject& object);
  /// The same, owned by the object whose field will hold it (an embedded object).
  ZEBObject* placeEmbedded(const ZEBTypeInfo& type);
  /// A copy of text in the arena, for a field of an object of this registry (setPlacedStringField).
  char* placeText(const char* text, size_t length) { return m_arena.copyText(text, length); }

 private:
  struct PlacedChunk;

  std::vector<ZEBObject*> m_objects;
  /// The placed objects whose destructors must run, newest chunk first; the chunks live in the arena,
  /// so that recording a hundred thousand objects never copies or doubles a list.
  PlacedChunk* m_placed = nullptr;
  size_t m_placedCount = 0;
  std::vector<ZEB_CharStreamable*> m_streamables;
  ZEBArena m_arena;  ///< last: freed after every destructor has run
};

/// One field's storage. Strings and embedded objects are owned; object fields only point.
struct ZEBSlot {
  /// A number field's value. Named outside the anonymous union: a type declared inside one is a
  /// compiler extension that clang's -Wpedantic refuses.
  union Number {
    long long l;  ///< a long field
    int i;        ///< an int field
    bool b;       ///< a bool field
  };
  union {
    void* ptr = nullptr;
    Number num;
  };
};

/// Base of every generated schema class: typed fields kept in slots.
class ZEB_EXPORT ZEBObject {
 public:
  virtual ~ZEBObject();
  ZEBObject(const ZEBObject&) = delete;
  ZEBObject& operator=(const ZEBObject&) = delete;

  /// The most fields a type has (schema/generate.py holds the schema to it).
  static constexpr unsigned kMaxFields = 48;

  /// The type's description.
  const ZEBTypeInfo& getTypeInfo() const { return *reinterpret_cast<const ZEBTypeInfo*>(m_type & ~kTagBits); }

  /// Generic field access by index, for the serializer, the parser and copying.
  bool hasField(unsigned index) const;
  /// Unsets a field.
  void clearField(unsigned index);
  /// The storage of a field, to write: an object read from a message keeps slots only up to its last
  /// set field, and one past them makes it take a whole slot array first.
  ZEBSlot& slot(unsigned index) {
    if (m_type & kInlineSlot) return m_inlineSlot;
    if (index >= slotCount()) growSlots();
    return m_slots[1 + index];
  }
  /// The storage of a field, to read (an empty slot past the ones an object keeps).
  const ZEBSlot& slot(unsigned index) const {
    if (m_type & kInlineSlot) return m_inlineSlot;
    return index < slotCount() ? m_slots[1 + index] : kEmptySlot;
  }
  /// Marks a number field as holding a value.
  void markSet(unsigned index) { setBit(index); }
  /// The embedded object of a field, created on first use.
  ZEBObject& embeddedObject(unsigned index);
  /// The same, created in registry's arena; this object must be the registry's or its message.
  ZEBObject& placedEmbeddedObject(unsigned index, ZEBObjectRegistry& registry);
  /// The object of a field; created and handed to the registry when absent and a registry is given.
  ZEBObject* objectFieldRaw(unsigned index, ZEBObjectRegistryI* registry);
  /// Makes this object a deep copy of other (same type); objects it makes go to registry.
  void copyFieldsFrom(const ZEBObject& other, ZEBObjectRegistryI& registry);
  /// Points an object field at value (not owned).
  void setObjectField(unsigned index, ZEBObject* value) { slot(index).ptr = value; }
  /// Text and number fields by index: the text is copied, null unsets it.
  const char* stringField(unsigned index) const { return static_cast<const char*>(slot(index).ptr); }
  /// Sets a text field to a copy of value; null unsets it.
  void setStringField(unsigned index, const char* value);
  /// Sets a text field to a text in the arena of this object's registry (ZEBObjectRegistry::placeText).
  void setPlacedStringField(unsigned index, char* text);
  template <class T>
  /// A number field, changeable in place; null when unset.
  T* numberField(unsigned index) {
    return hasField(index) ? numberRef<T>(const_cast<ZEBSlot&>(std::as_const(*this).slot(index))) : nullptr;
  }
  template <class T>
  /// A number field; null when unset.
  const T* numberField(unsigned index) const {
    return hasField(index) ? numberRef<T>(const_cast<ZEBSlot&>(slot(index))) : nullptr;
  }
  template <class T>
  /// Sets a number field.
  void setNumberField(unsigned index, T value) {
    *numberRef<T>(slot(index)) = value;
    markSet(index);
  }

 protected:
  /// An object of type with slots of its own.
  explicit ZEBObject(const ZEBTypeInfo& type);
  /// An object in an arena: slots is its slot array there (unused for a type of at most one field).
  ZEBObject(const ZEBTypeInfo& type, ZEBSlot* slots);
  /// The slot a type without fields does not use, for a subclass's own value (enumerations).
  ZEBSlot& spareSlot() { return m_inlineSlot; }
  /// The same.
  const ZEBSlot& spareSlot() const { return m_inlineSlot; }
  /// Gives up the texts and embedded objects that live in the registry's arena, before it goes.
  void releasePlacedFields();

  template <class T>
  /// objectFieldRaw(), typed.
  T* objectField(unsigned index, ZEBObjectRegistryI* registry) {
    return static_cast<T*>(objectFieldRaw(index, registry));
  }
  template <class T>
  /// embeddedObject(), typed.
  T& embeddedField(unsigned index) {
    return static_cast<T&>(embeddedObject(index));
  }

 private:
  template <class T>
  static T* numberRef(ZEBSlot& s) {
    if constexpr (sizeof(T) == sizeof(long long)) {
      return reinterpret_cast<T*>(&s.num.l);
    } else if constexpr (sizeof(T) == sizeof(int)) {
      return reinterpret_cast<T*>(&s.num.i);
    } else {
      return reinterpret_cast<T*>(&s.num.b);
    }
  }

  friend class ZEBObjectRegistry;

  /// The field bits (below) of the object.
  uint64_t mask() const {
    if (m_type & kInlineSlot) return (m_type & kFieldZero) ? 1 : 0;
    return static_cast<uint64_t>(m_slots[0].num.l);
  }
  bool isPlacedField(unsigned index) const { return (mask() >> index) & 1; }
  void setBit(unsigned index);
  void clearBit(unsigned index);
  void destroyFieldValue(unsigned index);
  unsigned slotCount() const { return static_cast<unsigned>(mask() >> kSlotCountShift) & 0xFF; }
  /// Moves the fields to the slot array at header (count slots after the header word; own: made
  /// with new[]), giving up the one before.
  void moveSlots(ZEBSlot* header, unsigned count, bool own);
  void growSlots();
  /// One past the last field set.
  unsigned usedSlots() const;

  // In m_type, whose type is aligned to 8 bytes.
  static constexpr uintptr_t kInlineSlot = 1;  ///< a type of at most one field: its slot is m_inlineSlot
  static constexpr uintptr_t kFieldZero = 2;   ///< with kInlineSlot: the field bit of field 0
  static constexpr uintptr_t kTagBits = 7;
  // In the header word of a slot array.
  static constexpr unsigned kSlotCountShift = 48;
  static constexpr uint64_t kFieldBits = (uint64_t(1) << kSlotCountShift) - 1;
  static constexpr uint64_t kOwnSlots = uint64_t(1) << 63;
  static const ZEBSlot kEmptySlot;
  /// The header of an object that keeps no slot (an object read without fields): never written.
  static ZEBSlot s_noSlots;

  /// The type, and in its low bits kInlineSlot and kFieldZero.
  uintptr_t m_type;
  /// A type of two fields or more points at its slot array: a header word, then the fields' slots.
  /// The header's bit i is field i's: for a number field, it holds a value; for a text or embedded
  /// field, its value lives in the registry's arena (not deleted here). Types have at most 48
  /// fields. Bits 48-55: how many fields' slots the array holds (fewer than the type's fields for an
  /// object read from a message). Bit 63: the array was allocated here (kOwnSlots).
  /// A type of at most one field holds its slot here (most value classes: no allocation, and 24
  /// bytes an object).
  union {
    ZEBSlot* m_slots;
    ZEBSlot m_inlineSlot;
  };
};

// Inline: the serializer asks it of every field of every object it writes.
inline bool ZEBObject::hasField(unsigned index) const {
  switch (getTypeInfo().fields[index].kind) {
    case ZEBFieldKind::Int:
    case ZEBFieldKind::Long:
    case ZEBFieldKind::Bool:
      return (mask() >> index) & 1;
    default:
      return slot(index).ptr != nullptr;
  }
}

/// Base of the generated enumeration classes: a 32-bit schema symbol identifier, or unset.
class ZEB_EXPORT ZEBEnumObject : public ZEBObject {
 public:
  /// True when a value is set.
  bool isSet() const { return spareSlot().num.l != kUnset; }
  /// The value's identifier; 0 when unset.
  uint32_t getRawValue() const { return isSet() ? static_cast<uint32_t>(spareSlot().num.l) : 0; }
  /// Sets the value by identifier.
  void setRawValue(uint32_t value) { spareSlot().num.l = value; }
  /// Unsets the value.
  void clear() { spareSlot().num.l = kUnset; }
  /// The value's schema name, or null when unset or not a value of this enumeration.
  const char* getName() const;

 protected:
  /// An unset value of type.
  explicit ZEBEnumObject(const ZEBTypeInfo& type) : ZEBObject(type) { clear(); }

 private:
  /// Kept in the slot an enumeration does not use: an identifier, or this (outside 32 bits).
  static constexpr long long kUnset = -1;
};

/// Base of the generated arrays: pointers to elements, not owned.
class ZEB_EXPORT ZEBArrayObject : public ZEBObject {
 public:
  /// Number of elements.
  size_t size() const { return m_items.size(); }
  /// True when there is no element.
  bool empty() const { return m_items.empty(); }
  /// Removes every element (none is deleted).
  void clear() { m_items.clear(); }
  /// The element at index; null past the end.
  ZEBObject* item(size_t index) const { return index < m_items.size() ? m_items[index] : nullptr; }
  /// Appends item, which the array does not own.
  void pushItem(ZEBObject* item) { m_items.push_back(item); }
  /// Appends a deep copy of each element of source, each handed to registry.
  void copyItems(const ZEBArrayObject& source, ZEBObjectRegistryI* registry);

 protected:
  /// An empty array of type.
  explicit ZEBArrayObject(const ZEBTypeInfo& type) : ZEBObject(type) {}

 private:
  std::vector<ZEBObject*> m_items;
};

/// Base of the generated arrays of text: the texts are copied in.
class ZEB_EXPORT ZEBTextArrayObject : public ZEBObject {
 public:
  /// Number of texts.
  size_t size() const { return m_items.size(); }
  /// True when there is no text.
  bool empty() const { return m_items.empty(); }
  /// Removes every text.
  void clear() { m_items.clear(); }
  /// Appends a copy of text; null appends an empty text.
  void push_back(const char* text) { m_items.emplace_back(text ? text : ""); }
  /// The text at index; null past the end.
  const char* at(size_t index) const { return index < m_items.size() ? m_items[index].c_str() : nullptr; }

 protected:
  /// An empty array of type.
  explicit ZEBTextArrayObject(const ZEBTypeInfo& type) : ZEBObject(type) {}

 private:
  std::vector<std::string> m_items;
};

/// Forms the text by which a message refers to an attachment ("cid:" and the content identifier).
class ZEB_EXPORT ZEB_CharStreamable {
 public:
  ZEB_CharStreamable() = default;
  virtual ~ZEB_CharStreamable() = default;
  /// The text; length 0 or less means up to the terminating zero.
  void initialize(const char* text, int length);
  /// Non-zero makes the text a content identifier, formed as "cid:" and the text.
  void setIsContentId(int isContentId) { m_isContentId = isContentId != 0; }
  /// 1 when the text is a content identifier.
  int getIsContentId() const { return m_isContentId ? 1 : 0; }
  /// The text as it goes into the message.
  const char* asCharStar();

 private:
  std::string m_text;
  std::string m_formed;
  bool m_isContentId = false;
};

/// An attachment that arrived with a message.
struct ZEBReceivedAttachment {
  /// The Content-ID, without angle brackets.
  std::string contentId;
  /// The Content-Type.
  std::string contentType;
  /// The document.
  std::string bytes;
};

/// Base of every request and reply message: its fields, an object registry that owns what was made
/// for it, and the SOAP header.
class ZEB_EXPORT ZEBMessageI : public ZEBObject {
 public:
  ~ZEBMessageI() override;
  /// The registry that owns what was made for this message.
  ZEBObjectRegistry& getObjectRegistry() { return m_registry; }
  /// The header; created (and owned by this message) when absent and a registry is given.
  ZEBVorbHeader* getVorbHeader(ZEBObjectRegistryI* registry);
  /// Sets the header; not owned.
  void setVorbHeader(ZEBVorbHeader* header) { m_header = header; }
  /// Forgets every field and the header, e.g. before a reply is parsed into the message again.
  /// Objects made earlier stay in the registry until the message dies.
  void clearFields();
  /// The attachments that arrived with this message, in order.
  const std::vector<ZEBReceivedAttachment>& getReceivedAttachments() const { return m_received; }
  /// Replaces the received attachments.
  void setReceivedAttachments(std::vector<ZEBReceivedAttachment> attachments) { m_received = std::move(attachments); }

 protected:
  /// A message of type.
  explicit ZEBMessageI(const ZEBTypeInfo& type) : ZEBObject(type) {}

 private:
  ZEBObjectRegistry m_registry;
  std::vector<ZEBReceivedAttachment> m_received;
  ZEBVorbHeader* m_header = nullptr;
};

/// A deep copy of object; every object it makes (the copy included) goes to registry.
ZEB_EXPORT ZEBObject* ZEBClone(const ZEBObject& object, ZEBObjectRegistryI& registry);
/// Deep equality: same types, same values, equal sub-objects. An absent embedded object equals an
/// empty one.
ZEB_EXPORT bool ZEBEqual(const ZEBObject* a, const ZEBObject* b);
/// The first difference ZEBEqual finds ("/options/permission: ..."), empty when equal.
ZEB_EXPORT std::string ZEBDifference(const ZEBObject* a, const ZEBObject* b);
