/// \file
/// Adds a plain history detail: a detail text and a severity.
#pragma once

#include "DVLAddHistory.h"

/// Adds a plain history detail.
class DVL_EXPORT DVLAddHistoryDetail : public DVLAddHistory<ZEBHistoryDetail> {
 public:
  /// A request for session; testInfo may be null.
  DVLAddHistoryDetail(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                      ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLAddHistoryDetail() override;

 protected:
  ZEBHistoryDetail& getObject() override { return m_historyDetail; }

 private:
  ZEBHistoryDetail m_historyDetail;
};
