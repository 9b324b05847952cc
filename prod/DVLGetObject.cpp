#include "DVLGetObject.h"

#include <cstring>

#include "KRNError.h"
#include "zp2omsymbols1.h"

DVLGetObject::DVLGetObject(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                           ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
    : DVLQuery(session, testInfo, trusted), m_childName(nullptr) {}

DVLGetObject::~DVLGetObject() {
  m_childName = nullptr;
}

void DVLGetObject::preExec() {
  const bool hasSingleQuote = m_childName && std::strchr(m_childName, '\'');
  const bool hasDoubleQuote = m_childName && std::strchr(m_childName, '"');
  // A search-path literal cannot escape its own quote: a name holding both kinds has no safe form,
  // and written as it is it would change the meaning of the path. Refused before anything is sent.
  if (hasSingleQuote && hasDoubleQuote) {
    KRNRuntimeError(std::string("child name <") + m_childName +
                    "> holds both a single and a double quote, which no search-path step can hold; "
                    "look the object up by its store identifier instead")
        .raise(KRNFileLocation("DVLGetObject", 41), nullptr, "KRN_THROW");
  }
  const ZEBSearchPathMultipleObject* current =
      static_cast<ZEBContentQuery_Request&>(getRequest()).getSearchPath(nullptr);
  // Without a path the child step would silently address the children of the root.
  KRN_ASSERT_AT(!m_childName || (current && current->getValue()), "DVLGetObject", 43,
                "KRN_ASSERT(!m_childName || searchPath);");

  DVLQuery::preExec();
  getQueryOptions().setPermission(nullptr);

  if (m_childName) {
    std::string childPath = current->getValue();
    if (!hasSingleQuote) {
      childPath += DVLFixedStrings::getText(DVLFixedStrings::childStepOpen);
      childPath += m_childName;
      childPath += DVLFixedStrings::getText(DVLFixedStrings::childStepClose);
    } else {
      childPath += "/*[@name=\"";
      childPath += m_childName;
      childPath += "\"]";
    }
    m_childPath = std::move(childPath);
    setPath(m_childPath.c_str());
  }

  m_parentProp.setValue(ZEBPropEnum::parent);
  setProperty(m_parentProp);
}

const ZEBBaseClass* DVLGetObject::firstParent(int sizeLine, int parentLine) const {
  const ZEBBaseClass* object = getFirstObject();
  if (!object) return nullptr;
  const ZEBBaseClassArrayProp* parentProp = object->getParent(nullptr);
  // The query asks for the parent, but a reply without it is a reply without a parent, not a fault.
  if (!parentProp) return nullptr;
  KRN_ASSERT_AT(parentProp->getValue().size() > 0, "DVLGetObject", sizeLine,
                "KRN_ASSERT(parentProp->getValue().size() > 0);");
  const ZEBBaseClass* parent = parentProp->getValue().at(0);
  KRN_ASSERT_AT(parent, "DVLGetObject", parentLine, "KRN_ASSERT(parent);");
  return parent;
}

const char* DVLGetObject::getParent() const {
  const ZEBBaseClass* parent = firstParent(64, 66);
  if (!parent) return nullptr;
  const ZEBStringProp* searchPath = parent->getSearchPath(nullptr);
  return searchPath ? searchPath->getValue() : nullptr;
}

const char* DVLGetObject::getParentStoreID() const {
  const ZEBBaseClass* parent = firstParent(77, 79);
  if (!parent) return nullptr;
  const ZEBGuidProp* storeIDProp = parent->getStoreID(nullptr);
  KRN_ASSERT_AT(storeIDProp, "DVLGetObject", 81, "KRN_ASSERT(storeIDProp);");
  const ZEBGuid* storeID = storeIDProp->getValue(nullptr);
  KRN_ASSERT_AT(storeID, "DVLGetObject", 83, "KRN_ASSERT(storeID);");
  return storeID->getValue();
}
