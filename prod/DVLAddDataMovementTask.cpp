#include "DVLAddDataMovementTask.h"

DVLAddDataMovementTask::DVLAddDataMovementTask(const ZEBSOAPSessionI& session, const DVLTestInfo* testInfo,
                                               ZEBSOAPSessionI::ZEBSOAPTrusted trusted)
    : DVLAdd<ZEBDataMovementTask>(session, testInfo, trusted) {}

DVLAddDataMovementTask::~DVLAddDataMovementTask() = default;

void DVLAddDataMovementTask::setSpecification(const char* specification) {
  ZEBObjectRegistryI& registry = getRequestObjectRegistry();
  auto* text = new ZEBSpecification;
  registry.registerObject(text);
  text->setValue(specification);
  auto* serviceSpecification = new ZEBDataMovementServiceSpecification;
  registry.registerObject(serviceSpecification);
  serviceSpecification->setValue(text);
  m_specification.setValue(serviceSpecification);
}

void DVLAddDataMovementTask::preExec() {
  DVLAdd<ZEBDataMovementTask>::preExec();
  getObject().setSpecification(&m_specification);
}
