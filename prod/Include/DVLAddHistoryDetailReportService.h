// Adds a history detail of a report service run, with references to the outputs it produced.
#pragma once

#include "DVLAddHistory.h"

class DVL_EXPORT DVLAddHistoryDetailReportService : public DVLAddHistory<ZEBHistoryDetailReportService> {
 public:
  DVLAddHistoryDetailReportService(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                                   ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLAddHistoryDetailReportService() override;

  // Appends a reference to the output at path, sent as a report version that carries nothing but
  // its search path.
  void setOutput(const char* path);

 protected:
  void preExec() override;
  ZEBHistoryDetailReportService& getObject() override { return m_historyDetail; }

 private:
  ZEBHistoryDetailReportService m_historyDetail;
  ZEBBaseClassArrayProp m_outputs;
};
