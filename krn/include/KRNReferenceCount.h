/// \file
/// Intrusive reference counting and the smart pointer that holds one reference.
#pragma once

#include "KRNPlatform.h"

/// The count for objects that one thread owns at a time. The virtual operations come in this order
/// (destructor first): code built against this layout calls them by their slot.
class KRN_EXPORT KRNThreadUnsafeReferenceCount {
 public:
  KRNThreadUnsafeReferenceCount() = default;
  /// A copy is a new object: it starts with no reference.
  KRNThreadUnsafeReferenceCount(const KRNThreadUnsafeReferenceCount&) : m_count(0) {}
  /// Assignment leaves the count alone.
  KRNThreadUnsafeReferenceCount& operator=(const KRNThreadUnsafeReferenceCount&) { return *this; }

 protected:
  virtual ~KRNThreadUnsafeReferenceCount() = default;

 public:
  /// Adds a reference; returns the new count.
  virtual int addReference() { return ++m_count; }
  /// Drops one reference; the last one calls cleanup().
  virtual int removeReference() {
    int left = --m_count;
    if (left == 0) cleanup();
    return left;
  }
  /// The number of references.
  virtual int getReferenceCount() const { return m_count; }
  /// Called when the last reference goes; by default deletes the object.
  virtual void cleanup() { delete this; }

 protected:
  int m_count = 0;
};

/// The same count, safe when references are taken and dropped on several threads at once. It adds
/// no virtual operation: the slots are those of its base. The count stays the base's plain int (the
/// layout is fixed), so it is changed through the compiler's atomic builtins, not std::atomic.
class KRN_EXPORT KRNReferenceCount : public KRNThreadUnsafeReferenceCount {
 public:
  int addReference() override { return __atomic_add_fetch(&m_count, 1, __ATOMIC_ACQ_REL); }
  int removeReference() override {
    int left = __atomic_sub_fetch(&m_count, 1, __ATOMIC_ACQ_REL);
    if (left == 0) cleanup();
    return left;
  }
  int getReferenceCount() const override { return __atomic_load_n(&m_count, __ATOMIC_ACQUIRE); }

 protected:
  ~KRNReferenceCount() override = default;
};

/// Holds one reference. Assigning a new object adds a reference to it before releasing the old one,
/// so assigning an object to the pointer that already holds it is safe.
template <class T>
class KRNSmartPointer {
 public:
  KRNSmartPointer() = default;
  /// Takes a reference to object, which may be null.
  KRNSmartPointer(T* object) { assign(object); }  // NOLINT: implicit, like a raw pointer
  /// Shares other's object.
  KRNSmartPointer(const KRNSmartPointer& other) { assign(other.m_object); }
  ~KRNSmartPointer() { assign(nullptr); }
  /// Takes a reference to object, releasing the one held.
  KRNSmartPointer& operator=(T* object) {
    assign(object);
    return *this;
  }
  /// Shares other's object, releasing the one held.
  KRNSmartPointer& operator=(const KRNSmartPointer& other) {
    assign(other.m_object);
    return *this;
  }

  /// The object; null when none.
  T* get() const { return m_object; }
  /// Member access to the object.
  T* operator->() const { return m_object; }
  /// The object.
  T& operator*() const { return *m_object; }
  /// True when an object is held.
  explicit operator bool() const { return m_object != nullptr; }

 private:
  void assign(T* object) {
    if (object) object->addReference();
    T* old = m_object;
    m_object = object;
    if (old) old->removeReference();
  }
  T* m_object = nullptr;
};
