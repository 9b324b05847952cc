// Adds a plain history detail: a detail text and a severity.
#pragma once

#include "DVLAddHistory.h"

class DVL_EXPORT DVLAddHistoryDetail : public DVLAddHistory<ZEBHistoryDetail> {
 public:
  DVLAddHistoryDetail(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                      ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLAddHistoryDetail() override;

 protected:
  ZEBHistoryDetail& getObject() override { return m_historyDetail; }

 private:
  ZEBHistoryDetail m_historyDetail;
};
