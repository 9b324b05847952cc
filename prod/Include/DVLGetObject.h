/// \file
/// Looks up one object, or the child of a given name under it, together with its parent. The query
/// carries no permission filter and always asks for the parent property.
#pragma once

#include <string>

#include "DVLQuery.h"

/// Looks up one object, or a named child of it, with its parent.
class DVL_EXPORT DVLGetObject : public DVLQuery {
 public:
  /// A request for session; testInfo may be null.
  DVLGetObject(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo, ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLGetObject() override;

  /// Looks for the child of that name under the object the search path selects. Only the pointer is
  /// kept: the text must stay valid until execute() has returned. A name holding both kinds of
  /// quote cannot be written as a search-path literal and is refused by execute().
  void setChildName(const char* name) { m_childName = name; }

  /// 1 when the query returned at least one object.
  int wasFound() { return getFirstObject() ? 1 : 0; }
  /// The search path of the first object's parent; null when nothing was found, or when the reply
  /// carries no parent property or no search path for the parent.
  const char* getParent() const;
  /// The store identifier of the first object's parent; null when nothing was found or the reply
  /// carries no parent property.
  const char* getParentStoreID() const;

 protected:
  void preExec() override;

 private:
  /// The first object's first parent, or null; the two assertions are located per caller.
  const ZEBBaseClass* firstParent(int sizeLine, int parentLine) const;

  ZEBPropEnum m_parentProp;
  const char* m_childName;
  std::string m_childPath;
};
