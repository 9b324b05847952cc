#include "DVLAddHistoryDetail.h"

DVLAddHistoryDetail::DVLAddHistoryDetail(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                                         ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
    : DVLAddHistory<ZEBHistoryDetail>(session, testInfo, trusted) {}

DVLAddHistoryDetail::~DVLAddHistoryDetail() = default;
