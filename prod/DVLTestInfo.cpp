#include "DVLTestInfo.h"

#include <cstdio>
#include <memory>

#include "KRNConfiguration.h"
#include "KRNIDOM.h"
#include "KRNThread.h"
#include "MWLStream.h"
#include "ZEBRecording.h"
#include "zp2omsymbols1.h"

namespace {

const char* const kFile = "DVLTestInfo";

const I18NString& fixed(DVLFixedStrings::Index index) {
  return DVLFixedStrings::getString(index);
}

}  // namespace

DVLTestInfo::DVLTestInfo()
    : m_dateTime(1060180744),
      m_multiLocale(0),
      m_isPromptPageNavigation(0),
      m_multiThreaded(0),
      m_compliantSOAPFaults(0),
      m_recordingInState(1),
      m_CSIFileCreated(0),
      m_useTestCssFile(1),
      m_useDispositionTestObjs(0),
      m_disabledCapabilities(0),
      m_vmdOption(0),
      m_generateContextMetadata(0),
      m_useFrameRowCount(0),
      m_dumpXls2007data(0),
      m_waitForConcurrentQueryResults(0),
      m_concurrentQueryJobStateDump(nullptr),
      m_dumpConcurrentQueryJobState(0),
      m_serializeCallStack(1) {}

DVLTestInfo* DVLTestInfo::create() {
  return KRNCheckedNew<DVLTestInfo>(kFile, 89);
}

DVLTestInfo::~DVLTestInfo() {
  for (MockVorbTK*& factory : m_sessionFactories) {
    try {
      delete factory;
    } catch (...) {
      // A factory that fails while going away must not keep the others alive.
    }
    factory = nullptr;
  }
  m_sessionFactories.clear();
  try {
    delete m_concurrentQueryJobStateDump;
  } catch (...) {
  }
  m_concurrentQueryJobStateDump = nullptr;
}

long long DVLTestInfo::getDateTime(long long now) {
  return m_dateTime != 0 ? m_dateTime : now;
}

void DVLTestInfo::activeDateTime() {
  m_dateTime = 0;
}

void DVLTestInfo::setMultiThreaded(int on) {
  m_multiThreaded = on != 0 ? static_cast<std::uintptr_t>(KRNThread::currentThreadId()) : 0;
}

void DVLTestInfo::setLocale(const char* locale) {
  if (locale != nullptr)
    m_locale = locale;
  else
    m_locale.clear();
}

void DVLTestInfo::generateOutputName(const char* reportName, const char* suffix, std::string& out) const {
  KRN_ASSERT_AT(reportName, kFile, 174, "KRN_ASSERT(reportName);");
  out = reportName;
  if (suffix != nullptr && *suffix != '\0') {
    out += "_";
    out += suffix;
  }
  const char* locale = getLocale();
  if (getMultiLocale() != 0 && locale != nullptr) {
    out += "_";
    out += locale;
  }
  if (m_multiThreaded != 0) {
    // Sixteen upper-case hex digits whatever the platform's "%p" prints, so names are the same
    // everywhere.
    char id[32];
    std::snprintf(id, sizeof id, "%016llX", static_cast<unsigned long long>(m_multiThreaded));
    out += "_mt";
    out += id;
  }
  for (char& c : out)
    if (c == ' ' || c == '/' || c == '\\' || c == ':') c = '_';
}

void DVLTestInfo::setContentManager() {
  IKRNConfiguration& configuration = KRNConfigurationFactory::getInstance();
  KRNIDOM_Element contentManagers = configuration.lookupElement(fixed(DVLFixedStrings::contentManagers), 0);
  KRN_ASSERT_AT(contentManagers.isNull() == false, kFile, 428, "KRN_ASSERT(contentManagers.isNull() == FALSE);");

  KRNIDOM_NodeList items =
      contentManagers.getElementsByTagNameNS(fixed(DVLFixedStrings::configNamespace), fixed(DVLFixedStrings::item));
  uint64_t numItems = items.getLength();
  KRN_ASSERT_AT(numItems != 0, kFile, 435,
                "KRN_ASSERT_NAMED(numItems != 0, \"No contents managers found in IKRNConfiguration.\");");

  I18NString contentManagerURI;
  contentManagerURI = KRNIDOM_Helper::getElementText(KRNIDOM_Element(items.item(0)));
  if (numItems > 1)
    std::fprintf(stderr, "WARNING: Multiple content manager entries detected, defaulting to \"%s\"\n",
                 contentManagerURI.c_str());
  KRN_ASSERT_AT(!contentManagerURI.empty(), kFile, 445, "KRN_ASSERT(!contentManagerURI.empty());");

  // The query-result document, each node appended to its parent before the next is made.
  KRNIDOM_DOMImplementation& dom = KRNIDOM_DOMImplementation::getInstance();
  KRNIDOM_Document document =
      dom.createDocument(fixed(DVLFixedStrings::empty), I18NString("ConfigDocument"), KRNIDOM_DocumentType());
  KRNIDOM_Element queryResult = document.createElementNS("zpx", "zpx:queryResult");
  document.appendChild(queryResult);
  KRNIDOM_Element item = document.createElement(fixed(DVLFixedStrings::item));
  queryResult.appendChild(item);
  KRNIDOM_Element contentManager = document.createElement(fixed(DVLFixedStrings::contentManager));
  item.appendChild(contentManager);
  KRNIDOM_Element value = document.createElement(fixed(DVLFixedStrings::value));
  contentManager.appendChild(value);
  value.setAttribute(fixed(DVLFixedStrings::xsiType), fixed(DVLFixedStrings::xsdString));
  KRNIDOM_Node text = document.createTextNode(contentManagerURI);
  value.appendChild(text);

  configuration.applyDocument(queryResult);
  I18NString sContentManagerURI = configuration.lookupString(fixed(DVLFixedStrings::contentManager), 0);
  KRN_ASSERT_AT(sContentManagerURI == contentManagerURI, kFile, 473,
                "KRN_ASSERT(sContentManagerURI == contentManagerURI);");
}

VorbTK& DVLTestInfo::getRecordedFilesAsSessionFactory(const std::string& mockArg1, const std::string& mockArg2,
                                                      const std::string& recordedFile) {
  // Each piece is held here until the next one has taken it over, so that a failed step frees
  // what the steps before it made.
  std::unique_ptr<MWLFileInputStream> in(KRNCheckedNew<MWLFileInputStream>(kFile, 286, recordedFile.c_str()));
  std::unique_ptr<MockVorbTKMessageReader> reader(
      KRNCheckedNew<MockVorbTKMessageReader>(kFile, 290, static_cast<MWLInputStream*>(in.get())));
  in.release();
  std::unique_ptr<MWLMemoryOutputStream> out(KRNCheckedNew<MWLMemoryOutputStream>(kFile, 294, 30720, 10240));
  std::unique_ptr<MockVorbTKMessageWriter> writer(
      KRNCheckedNew<MockVorbTKMessageWriter>(kFile, 298, static_cast<MWLOutputStream*>(out.get())));
  out.release();
  std::unique_ptr<MockVorbTKSession> session(KRNCheckedNew<MockVorbTKSession>(kFile, 303, reader.get(), writer.get()));
  reader.release();
  writer.release();
  std::unique_ptr<MockVorbTK> factory(
      KRNCheckedNew<MockVorbTK>(kFile, 309, session.get(), mockArg1, mockArg2, recordedFile));
  session.release();
  try {
    m_sessionFactories.push_back(factory.get());
  } catch (...) {
    KRN::convertAllocationFailure(KRNFileLocation(kFile, 309));
  }
  return *factory.release();
}

void DVLTestInfo::setConcurrentQueryJobStateDump(const char* pDump) {
  KRN_ASSERT_AT(pDump, kFile, 394, "KRN_ASSERT(pDump);");
  if (m_concurrentQueryJobStateDump == nullptr) m_concurrentQueryJobStateDump = KRNCheckedNew<std::string>(kFile, 397);
  *m_concurrentQueryJobStateDump = pDump;
}
