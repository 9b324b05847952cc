/// \file
/// Stores a data-movement task whose specification is given as text.
#pragma once

#include "DVLAdd.h"

/// Adds a data-movement task.
class DVL_EXPORT DVLAddDataMovementTask : public DVLAdd<ZEBDataMovementTask> {
 public:
  /// A request for session; testInfo may be null.
  DVLAddDataMovementTask(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                         ZEBSOAPSessionI::ZEBSOAPTrusted trusted);
  ~DVLAddDataMovementTask() override;

  /// Replaces the task's specification.
  void setSpecification(const char* specification);

 protected:
  void preExec() override;

 private:
  ZEBDataMovementServiceSpecificationProp m_specification;
};
