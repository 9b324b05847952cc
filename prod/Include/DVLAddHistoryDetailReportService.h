/// \file
/// Adds a history detail of a report service run, with references to the outputs it produced.
#pragma once

#include "DVLAddHistory.h"

/// Adds a history detail of the report service, naming the outputs of a run.
class DVL_EXPORT DVLAddHistoryDetailReportService : public DVLAddHistory<ZEBHistoryDetailReportService> {
 public:
  /// A request for session; testInfo may be null.
  DVLAddHistoryDetailReportService(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                                   ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLAddHistoryDetailReportService() override;

  /// Appends a reference to the output at path, sent as a report version that carries nothing but
  /// its search path.
  void setOutput(const char* path);

 protected:
  void preExec() override;
  ZEBHistoryDetailReportService& getObject() override { return m_historyDetail; }

 private:
  ZEBHistoryDetailReportService m_historyDetail;
  ZEBBaseClassArrayProp m_outputs;
};
