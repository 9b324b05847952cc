/// \file
/// The settings object of a test run: switches and names a harness sets once and hands to every
/// request, the replay factories made from recorded message files, and content-manager discovery
/// through the process configuration. Reference counted; takes no lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DVLExport.h"
#include "KRNError.h"
#include "ZEBTestInfo.h"

class MockVorbTK;
class VorbTK;

/// Settings of a test run, handed to every request.
class DVL_EXPORT DVLTestInfo : public ZEBTestInfo {
 public:
  /// A new object with every default; the only way to make one.
  static DVLTestInfo* create();
  /// Deletes the replay factories in creation order, then the job-state dump.
  ~DVLTestInfo() override;

  /// The fixed date-time if one is set (non-zero), otherwise now.
  long long getDateTime(long long now);
  /// Drops the fixed date-time: getDateTime returns the caller's now from then on.
  void activeDateTime();

  /// Non-zero records the calling thread as the owner; zero switches the mode off.
  void setMultiThreaded(int on);
  /// 1 in multi-threaded mode, else 0.
  int getMultiThreaded() const { return m_multiThreaded != 0 ? 1 : 0; }

  /// Null or empty means no locale.
  void setLocale(const char* locale);
  /// Null when no locale is set.
  const char* getLocale() const { return m_locale.empty() ? nullptr : m_locale.c_str(); }

  /// reportName, then "_" suffix, "_" locale (MultiLocale on), "_mt" and the owner thread
  /// (multi-threaded mode); spaces, slashes, backslashes and colons become "_".
  void generateOutputName(const char* reportName, const char* suffix, std::string& out) const;

  ///@{
  /// Switches and names kept for the harness and the host; of these the library reads only the multi-locale switch (generateOutputName).
  void setHtmlXsltScript(const std::string& value) { m_htmlXsltScript = value; }
  const std::string& getHtmlXsltScript() const { return m_htmlXsltScript; }
  void setMultiLocale(int value) { m_multiLocale = value; }
  int getMultiLocale() const { return m_multiLocale; }
  void setIsPromptPageNavigation(int value) { m_isPromptPageNavigation = value; }
  int getIsPromptPageNavigation() const { return m_isPromptPageNavigation; }
  void setCompliantSOAPFaults(int value) { m_compliantSOAPFaults = value; }
  int getCompliantSOAPFaults() const { return m_compliantSOAPFaults; }
  void setRecordingInState(int value) { m_recordingInState = value; }
  int getRecordingInState() const { return m_recordingInState; }
  void setCSIFilename(const std::string& value) { m_CSIFilename = value; }
  const std::string& getCSIFilename() const { return m_CSIFilename; }
  void setCSIFileCreated(int value) { m_CSIFileCreated = value; }
  int getCSIFileCreated() const { return m_CSIFileCreated; }
  void setPLXLogFilename(const std::string& value) { m_PLXLogFilename = value; }
  const std::string& getPLXLogFilename() const { return m_PLXLogFilename; }
  void setUseTestCssFile(int value) { m_useTestCssFile = value; }
  int getUseTestCssFile() const { return m_useTestCssFile; }
  void setUseDispositionTestObjs(int value) { m_useDispositionTestObjs = value; }
  int getUseDispositionTestObjs() const { return m_useDispositionTestObjs; }
  void setDisabledCapabilities(unsigned int value) { m_disabledCapabilities = value; }
  unsigned int getDisabledCapabilities() const { return m_disabledCapabilities; }
  void setVmdOption(int value) { m_vmdOption = value; }
  int getVmdOption() const { return m_vmdOption; }
  void setUseFrameRowCount(int value) { m_useFrameRowCount = value; }
  int getUseFrameRowCount() const { return m_useFrameRowCount; }
  void setGenerateContextMetadata(int value) { m_generateContextMetadata = value; }
  int getGenerateContextMetadata() const { return m_generateContextMetadata; }
  void setDumpXls2007data(int value) { m_dumpXls2007data = value; }
  int getDumpXls2007data() const { return m_dumpXls2007data; }
  void setWaitForConcurrentQueryResults(int value) { m_waitForConcurrentQueryResults = value; }
  int getWaitForConcurrentQueryResults() const { return m_waitForConcurrentQueryResults; }
  void setDumpConcurrentQueryJobState(int value) { m_dumpConcurrentQueryJobState = value; }
  int getDumpConcurrentQueryJobState() const { return m_dumpConcurrentQueryJobState; }
  void setSerializeCallStack(int value) { m_serializeCallStack = value; }
  int getSerializeCallStack() const { return m_serializeCallStack; }
  ///@}

  /// Points the process configuration's "contentManager" at the first item of its
  /// "contentManagers" list, warning on the standard error stream when there are several.
  static void setContentManager();

  /// A replay factory over one recorded message file, kept (and deleted) by this object. The two
  /// arguments go to the factory unchanged: a name for its messages and a path for a copy of what
  /// was sent (see MockVorbTK).
  VorbTK& getRecordedFilesAsSessionFactory(const std::string& mockArg1, const std::string& mockArg2,
                                           const std::string& recordedFile);
  /// The replay factories made so far, in creation order.
  const std::vector<MockVorbTK*>& getSessionFactoriesCreatedFromRecordedFiles() const { return m_sessionFactories; }

  /// A text kept for callers outside the library; null until first set.
  void setConcurrentQueryJobStateDump(const char* pDump);
  /// The text set with setConcurrentQueryJobStateDump(); null until set.
  const char* getConcurrentQueryJobStateDump() const {
    return m_concurrentQueryJobStateDump ? m_concurrentQueryJobStateDump->c_str() : nullptr;
  }

 private:
  DVLTestInfo();
  template <class T, class... Args>
  friend T* KRNCheckedNew(const char* file, int line, Args&&... args);

  long long m_dateTime;
  std::string m_htmlXsltScript;
  std::string m_locale;
  int m_multiLocale;
  int m_isPromptPageNavigation;
  std::uintptr_t m_multiThreaded;  ///< the owner thread's identifier, 0 when off
  std::vector<MockVorbTK*> m_sessionFactories;
  int m_compliantSOAPFaults;
  int m_recordingInState;
  std::string m_CSIFilename;
  int m_CSIFileCreated;
  std::string m_PLXLogFilename;
  int m_useTestCssFile;
  int m_useDispositionTestObjs;
  unsigned int m_disabledCapabilities;
  int m_vmdOption;
  int m_generateContextMetadata;
  int m_useFrameRowCount;
  int m_dumpXls2007data;
  int m_waitForConcurrentQueryResults;
  std::string* m_concurrentQueryJobStateDump;
  int m_dumpConcurrentQueryJobState;
  int m_serializeCallStack;
};
