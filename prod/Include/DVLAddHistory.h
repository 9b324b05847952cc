/// \file
/// The add of a history detail: a detail text with a severity, filed either in the content store
/// under a parent path (content-manager service) or under a running event (monitor service). The
/// road is read from the request each time it matters, so it follows the latest setParentPath and
/// setEventID; with both set the content-manager service wins.
#pragma once

#include "DVLAdd.h"

template <class T>
/// Base of the adds of history details, filed in the store or under a running event.
class DVL_EXPORT DVLAddHistory : public DVLAdd<T> {
 public:
  /// A request for session; testInfo may be null.
  DVLAddHistory(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo, ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
      : DVLAdd<T>(session, testInfo, trusted) {}

 protected:
  /// Builds the add, then sets the detail text and the severity on the object.
  void preExec() override;

 public:
  /// Raises when neither a parent path nor an event identifier is set.
  int isCMAdd() const override;

  /// The detail text; null removes it.
  void setDetail(const char* detail) { m_detail.setValue(detail); }
  /// The severity of the detail.
  void setSeverity(ZEBSeverityEnum::Enum severity);
  /// The monitor event that files the detail when no parent path is set; null removes it.
  void setEventID(const char* eventId) { this->m_mseAddRequest.setEventID(eventId); }

 protected:
  ZEBStringProp m_detail;
  ZEBSeverityEnumProp m_severity;
  ZEBSeverityEnum m_severityValue;
};

template <class T>
int DVLAddHistory<T>::isCMAdd() const {
  if (this->m_cmsAddRequest.getParentPath(nullptr) == nullptr) {
    KRN_ASSERT_AT(this->m_mseAddRequest.getEventID() != nullptr, "Include/DVLAddHistory", 72,
                  "KRN_ASSERT(this->m_cmsAddRequest.getParentPath() != NULL || this->m_mseAddRequest.getEventID() != NULL);");
  }
  return this->m_cmsAddRequest.getParentPath(nullptr) != nullptr ? 1 : 0;
}

template <class T>
void DVLAddHistory<T>::preExec() {
  DVLAdd<T>::preExec();
  this->getObject().setDetail(&m_detail);
  this->getObject().setSeverity(&m_severity);
}

template <class T>
void DVLAddHistory<T>::setSeverity(ZEBSeverityEnum::Enum severity) {
  m_severityValue.setValue(severity);
  m_severity.setValue(&m_severityValue);
}
