/// \file
/// Adds a history detail that records the options and parameter values of a request.
#pragma once

#include "DVLAddHistory.h"

/// Adds a history detail holding the arguments of a request.
class DVL_EXPORT DVLAddHistoryRqstArgsDetail : public DVLAddHistory<ZEBHistoryDetailRequestArguments> {
 public:
  /// A request for session; testInfo may be null.
  DVLAddHistoryRqstArgsDetail(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                              ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLAddHistoryRqstArgsDetail() override;

  /// Append the caller's elements, which are not copied: they must live until execute() returns.
  void setOptions(const ZEBOptionArray* oArray);
  /// The request's parameter values, copied in; null sends none.
  void setParameters(const ZEBParameterValueArray* parameterValueArray);

 protected:
  void preExec() override;
  ZEBHistoryDetailRequestArguments& getObject() override { return m_historyDetail; }

 private:
  ZEBHistoryDetailRequestArguments m_historyDetail;
  ZEBOptionArrayProp m_options;
  ZEBParameterValueArrayProp m_parameters;
};
