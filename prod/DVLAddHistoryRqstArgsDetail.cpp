#include "DVLAddHistoryRqstArgsDetail.h"

#include "KRNError.h"

DVLAddHistoryRqstArgsDetail::DVLAddHistoryRqstArgsDetail(const ZEBSOAPSessionI& session,
                                                         const DVLTestInfo* testInfo,
                                                         ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
    : DVLAddHistory<ZEBHistoryDetailRequestArguments>(session, testInfo, trusted) {}

DVLAddHistoryRqstArgsDetail::~DVLAddHistoryRqstArgsDetail() = default;

void DVLAddHistoryRqstArgsDetail::setOptions(const ZEBOptionArray* oArray) {
  KRN_ASSERT_AT(oArray != nullptr, "DVLAddHistoryRqstArgsDetail", 43, "KRN_ASSERT(oArray != NULL);");
  for (size_t i = 0; i < oArray->size(); ++i) m_options.getValue().push_back(oArray->at(i));
}

void DVLAddHistoryRqstArgsDetail::setParameters(const ZEBParameterValueArray* parameterValueArray) {
  KRN_ASSERT_AT(parameterValueArray != nullptr, "DVLAddHistoryRqstArgsDetail", 53,
                "KRN_ASSERT(parameterValueArray != NULL);");
  for (size_t i = 0; i < parameterValueArray->size(); ++i) {
    m_parameters.getValue().push_back(parameterValueArray->at(i));
  }
}

void DVLAddHistoryRqstArgsDetail::preExec() {
  DVLAddHistory<ZEBHistoryDetailRequestArguments>::preExec();
  m_historyDetail.setOptions(&m_options);
  m_historyDetail.setParameters(&m_parameters);
}
