/// \file
/// Stores a report output with its document: format, locale, burst key and identifier, recipients
/// by search path or e-mail address, a context document attached as "_contextAttach" and its block
/// count. With an extra path the output's document content is stored beside it, with the same
/// settings and the same data.
#pragma once

#include <cstdint>
#include <string>

#include "DVLAddData.h"

/// A caller's classification of an output's format. It is kept with the request; what travels is
/// the text given to setFormat.
enum DVLOutputFormat : int32_t {
  DVLOutputFormatUnspecified = 0,
  DVLOutputFormatPDF = 1,
  DVLOutputFormatHTML = 2,
  DVLOutputFormatXML = 3,
  DVLOutputFormatCSV = 4,
  DVLOutputFormatSpreadsheet = 5,
};

/// Adds a report output with its document and, optionally, a context document.
class DVL_EXPORT DVLAddOutput : public DVLAddData<ZEBOutput, ZEBDocumentContent> {
 public:
  /// A request for session; testInfo may be null.
  DVLAddOutput(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo, ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLAddOutput() override;

  /// The output's format as sent (`PDF`, `HTML`, ...).
  void setFormat(const char* format) { m_format.setValue(format); }
  /// The format as the host knows it; kept for the host, not sent.
  void setFormatEnum(DVLOutputFormat format) { m_formatEnum = format; }
  /// The format set with setFormatEnum().
  DVLOutputFormat getFormatEnum() const { return m_formatEnum; }
  /// The output's locale (`en-us`).
  void setLocale(const char* locale) { m_locale.setValue(locale); }
  /// Appends a recipient, sent as an object that carries nothing but its search path.
  void addRecipient(const char* path);
  /// Appends an e-mail recipient.
  void addRecipientEMail(const char* address) { m_recipientsEMail.getValue().push_back(address); }
  /// The burst key the output was made for.
  void setBurstKey(const char* key) { m_burstKey.setValue(key); }
  /// Without a burst identifier the output carries none.
  void setBurstId(const char* id) { m_burstId.setValue(id); }
  /// The context document, attached after the data document; it must live until execute()
  /// returns. A later call replaces it.
  void setContext(ZEBDocumentOutput& context);
  /// How many blocks the context document has.
  void setContextBlockCount(int count) { m_contextBlockCount.setValue(count); }

 protected:
  void preExec() override;
  ZEBOutput& getObject() override { return m_output; }
  /// The document content, when an extra path is set.
  ZEBDocumentContent* getExtraObject() override;

 private:
  ZEBOutput m_output;
  ZEBNmtokenProp m_format;
  DVLOutputFormat m_formatEnum;
  ZEBLanguageProp m_locale;
  ZEBStringProp m_burstKey;
  ZEBStringProp m_burstId;
  ZEBBaseClassArrayProp m_recipients;
  ZEBStringArrayProp m_recipientsEMail;
  ZEBXmlEncodedXMLMIMEProp m_contextProp;
  ZEBXmlEncodedXML m_contextXml;
  ZEB_CharStreamable m_contextStream;
  std::string m_contextName;
  ZEBDocumentOutput* m_context;
  ZEBIntProp m_contextBlockCount;
  ZEBDocumentContent m_documentContent;
};
