/// \file
/// Stores a model, given either as text or as a document that travels as a MIME attachment under
/// a content identifier generated for it. Always through the content-manager service.
#pragma once

#include <string>

#include "DVLAdd.h"

/// Adds a model with its document.
class DVL_EXPORT DVLAddModel : public DVLAdd<ZEBModel> {
 public:
  /// A request for session; testInfo may be null.
  DVLAddModel(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo, ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLAddModel() override;

  /// The model document, attached under a new content identifier on each call; it must live
  /// until execute() returns. setData and setModel write the same property: the later call wins.
  void setData(ZEBDocumentOutputI* data);
  /// The model as text, sent inline.
  void setModel(const char* model);
  /// Kept with the request only; the add does not send it.
  void setExtraPath(const char* path) { m_extraPath.setValue(path); }
  /// The search path of the second object of the last reply, or null when it has none.
  const char* getExtraPath() const;

 protected:
  void preExec() override;
  /// How the model document travels: as a MIME attachment, or inline as base64 or hex text.
  void setDataEncoding(ZEBEncodingEnum::Enum encoding);

 private:
  ZEBDocumentOutputI* m_data;
  ZEBEncodingEnum m_dataEncoding;
  ZEBAnyTypeMIMEProp m_modelProp;
  std::string m_dataContentId;
  ZEBStringProp m_extraPath;
  ZEB_CharStreamable* m_dataStream;  ///< owned by the content-manager request's registry
};
