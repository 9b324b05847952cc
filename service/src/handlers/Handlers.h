// One handler per operation of the content-store service, and what they share. ContentService
// parses a request, finds its handler by operation name and turns what the handler raises into a
// fault; a handler reads the request, works on the store in one transaction and builds the reply.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ContentService.h"
#include "ContentStore.h"
#include "LogonGuard.h"
#include "LogonSessions.h"
#include "UserDirectory.h"
#include "ZEBSchema.h"
#include "ZEBSession.h"

namespace dvlservice {

// What every handler may use. Nothing in it belongs to one server: servers sharing the store share
// the sessions and keys through the store.
struct ServiceCore {
  ServiceOptions options;
  std::unique_ptr<ContentStore> store;
  UserDirectory users;
  std::unique_ptr<LogonSessions> sessions;
  std::string privateKeyPem, publicKeyPem;
  std::string trustSecret;
  // Failed logons per account and client address of this server (docs/server.md).
  std::unique_ptr<LogonGuard> guard;
};

// One request being answered.
struct Call {
  const ZEBWireRequest& wire;
  ZEBMessageI& request;
  LogonSession session;
  std::string account;  // for the reply's log fields, when no session names it
};

using Handler = ZEBWireReply (*)(ServiceCore& core, Call& call);

ZEBWireReply logon(ServiceCore& core, Call& call);
ZEBWireReply logoff(ServiceCore& core, Call& call);
ZEBWireReply retrieveCredential(ServiceCore& core, Call& call);
ZEBWireReply query(ServiceCore& core, Call& call);
ZEBWireReply queryMultiple(ServiceCore& core, Call& call);
ZEBWireReply queryMultipleCache(ServiceCore& core, Call& call);
ZEBWireReply queryCache(ServiceCore& core, Call& call);
ZEBWireReply determineRouting(ServiceCore& core, Call& call);
ZEBWireReply add(ServiceCore& core, Call& call);
ZEBWireReply monitorAdd(ServiceCore& core, Call& call);
ZEBWireReply deleteObjects(ServiceCore& core, Call& call);

// ---- shared by the handlers (Common.cpp)

template <class T>
T* made(ZEBObjectRegistryI& registry) {
  T* object = new T;
  registry.registerObject(object);
  return object;
}

// The property names asked for, or the defaults when none are.
std::vector<std::string> propertyNames(const ZEBPropEnumArray* properties, const std::vector<std::string>& defaults);
// The name, or a badObject fault when it is too long or holds a control character.
std::string checkedName(const std::string& name);
// The capability an account needs for objects to pass a query's permission filter.
const char* capabilityFor(const std::string& permission);
std::string cacheValidator(ContentStore::Transaction& tx);

// The named folder below parent, made when absent.
ObjectRecord folder(ContentStore::Transaction& tx, const ObjectRecord& parent, const std::string& name);
ObjectRecord contentFolder(ContentStore::Transaction& tx);
ZEBWireReply answer(const ZEBMessageI& reply, const std::string& passport,
                    std::vector<ZEBReceivedAttachment> attachments = {});
LogonSession requireSession(ServiceCore& core, ZEBMessageI& request, const char* operation);
void requireCapability(const LogonSession& session, const char* capability, const char* operation);

}  // namespace dvlservice
