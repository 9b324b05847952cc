#include "DVLAddReportVersion.h"

#include "KRNError.h"

DVLAddReportVersion::DVLAddReportVersion(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                                         ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
    : DVLAdd<ZEBReportVersion>(session, testInfo, trusted) {}

DVLAddReportVersion::~DVLAddReportVersion() = default;

void DVLAddReportVersion::setMetadataModel(const ZEBBaseClassArray& models) {
  for (size_t i = 0; i < models.size(); ++i) m_metadataModel.getValue().push_back(models.at(i));
}

void DVLAddReportVersion::setMetadataModelPackage(const ZEBBaseClassArray& packages) {
  for (size_t i = 0; i < packages.size(); ++i) m_metadataModelPackage.getValue().push_back(packages.at(i));
}

void DVLAddReportVersion::setOptions(const ZEBOptionArray* oArray) {
  KRN_ASSERT_AT(oArray != nullptr, "DVLAddReportVersion", 67, "KRN_ASSERT(oArray != NULL);");
  for (size_t i = 0; i < oArray->size(); ++i) m_options.getValue().push_back(oArray->at(i));
}

void DVLAddReportVersion::setParameters(const ZEBParameterValueArray* parameterValueArray) {
  KRN_ASSERT_AT(parameterValueArray != nullptr, "DVLAddReportVersion", 77,
                "KRN_ASSERT(parameterValueArray != NULL);");
  for (size_t i = 0; i < parameterValueArray->size(); ++i) {
    m_parameters.getValue().push_back(parameterValueArray->at(i));
  }
}

void DVLAddReportVersion::preExec() {
  DVLAdd<ZEBReportVersion>::preExec();
  m_reportVersion.setSpecification(&m_specification);
  if (m_metadataModel.getValue().size() >= 1) m_reportVersion.setMetadataModel(&m_metadataModel);
  if (m_metadataModelPackage.getValue().size() >= 1) m_reportVersion.setMetadataModelPackage(&m_metadataModelPackage);
  m_reportVersion.setAsOfTime(&m_asOfTime);
  m_reportVersion.setOptions(&m_options);
  m_reportVersion.setParameters(&m_parameters);
}
