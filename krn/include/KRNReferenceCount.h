/// \file
/// Intrusive reference counting and the smart pointer that holds one reference.
#pragma once

#include <atomic>

#include "KRNPlatform.h"

/// Base of objects shared by reference count; the count is atomic.
class KRN_EXPORT KRNReferenceCount {
 public:
  KRNReferenceCount() = default;
  /// A copy starts with no references.
  KRNReferenceCount(const KRNReferenceCount&) : m_count(0) {}
  /// Assignment leaves the count alone.
  KRNReferenceCount& operator=(const KRNReferenceCount&) { return *this; }

  /// Adds a reference; returns the new count.
  virtual int addReference() { return ++m_count; }
  /// Drops one reference; the last one calls cleanup().
  virtual int removeReference() {
    int left = --m_count;
    if (left == 0) cleanup();
    return left;
  }
  /// The number of references.
  virtual int getReferenceCount() const { return m_count.load(); }
  /// Called when the last reference goes; by default deletes the object.
  virtual void cleanup() { delete this; }

 protected:
  virtual ~KRNReferenceCount() = default;

 private:
  std::atomic<int> m_count{0};
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
