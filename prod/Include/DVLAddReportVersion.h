/// \file
/// Stores a report version: its specification, the metadata models and packages it was built on,
/// an as-of time, options and parameter values. Always through the content-manager service.
#pragma once

#include "DVLAdd.h"

/// Adds a version of a report: its specification, models, options and parameters as of a time.
class DVL_EXPORT DVLAddReportVersion : public DVLAdd<ZEBReportVersion> {
 public:
  /// A request for session; testInfo may be null.
  DVLAddReportVersion(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                      ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLAddReportVersion() override;

  /// The report specification, as text.
  void setSpecification(const char* specification) { m_specification.setValue(specification); }
  /// The array setters append the caller's elements, which are not copied: they must live until
  /// execute() returns.
  void setMetadataModel(const ZEBBaseClassArray& models);
  /// The metadata model packages the version uses, copied in.
  void setMetadataModelPackage(const ZEBBaseClassArray& packages);
  /// The version's options, copied in; null sends none.
  void setOptions(const ZEBOptionArray* oArray);
  /// The version's parameter values, copied in; null sends none.
  void setParameters(const ZEBParameterValueArray* parameterValueArray);
  /// The time the version stands for (ISO 8601).
  void setAsOfTime(const char* time) { m_asOfTime.setValue(time); }

 protected:
  void preExec() override;
  ZEBReportVersion& getObject() override { return m_reportVersion; }

 private:
  ZEBReportVersion m_reportVersion;
  ZEBBaseClassArrayProp m_metadataModel;
  ZEBBaseClassArrayProp m_metadataModelPackage;
  ZEBAnyTypeProp m_specification;
  ZEBDateTimeProp m_asOfTime;
  ZEBOptionArrayProp m_options;
  ZEBParameterValueArrayProp m_parameters;
};
