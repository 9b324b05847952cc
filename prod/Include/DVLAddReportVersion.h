// Stores a report version: its specification, the metadata models and packages it was built on,
// an as-of time, options and parameter values. Always through the content-manager service.
#pragma once

#include "DVLAdd.h"

class DVL_EXPORT DVLAddReportVersion : public DVLAdd<ZEBReportVersion> {
 public:
  DVLAddReportVersion(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                      ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLAddReportVersion() override;

  void setSpecification(const char* specification) { m_specification.setValue(specification); }
  // The array setters append the caller's elements, which are not copied: they must live until
  // execute() returns.
  void setMetadataModel(const ZEBBaseClassArray& models);
  void setMetadataModelPackage(const ZEBBaseClassArray& packages);
  void setOptions(const ZEBOptionArray* oArray);
  void setParameters(const ZEBParameterValueArray* parameterValueArray);
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
