#include "DVLAddHistoryDetailReportService.h"

#include "KRNError.h"

DVLAddHistoryDetailReportService::DVLAddHistoryDetailReportService(const ZEBSOAPSessionI& session,
                                                                   const DVLTestInfo* testInfo,
                                                                   ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
    : DVLAddHistory<ZEBHistoryDetailReportService>(session, testInfo, trusted) {}

DVLAddHistoryDetailReportService::~DVLAddHistoryDetailReportService() = default;

void DVLAddHistoryDetailReportService::setOutput(const char* path) {
  ZEBObjectRegistryI& registry = getRequestObjectRegistry();
  ZEBStringProp* searchPath = KRNCheckedNew<ZEBStringProp>("DVLAddHistoryDetailReportService", 39);
  registry.registerObject(searchPath);
  searchPath->setValue(path);
  ZEBReportVersion* output = KRNCheckedNew<ZEBReportVersion>("DVLAddHistoryDetailReportService", 44);
  registry.registerObject(output);
  output->setSearchPath(searchPath);
  m_outputs.getValue().push_back(output);
}

void DVLAddHistoryDetailReportService::preExec() {
  DVLAddHistory<ZEBHistoryDetailReportService>::preExec();
  m_historyDetail.setOutput(&m_outputs);
}
