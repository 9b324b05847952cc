// The integration tests' fixture: a dvl-contentd in this process (a fresh store of the backend under test) on a free
// loopback port, and a session to it through the live HTTP transport, as a host would have.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "ContentServer.h"
#include "ContentService.h"
#include "DVL.h"
#include "DVLAdd.h"
#include "DVLAddOutput.h"
#include "DVLLogon.h"
#include "DVLQuery.h"
#include "KRNThrowable.h"
#include "ZEBErrors.h"
#include "ZEBHelper.h"
#include "ZEBHttpTransport.h"
#include "ZEBSchema.h"
#include "support/TestStore.h"
#include "support/Raised.h"

namespace live {

constexpr ZEBSOAPSessionI::ZEBSOAPTrusted kUntrusted = ZEBSOAPSessionI::ZEBSOAPUntrusted;

// What an add reported about the object it stored.
struct Stored {
  std::string path, storeId;
};

// Its helpers are public, for the scenarios of the torture suite.
class LiveServer : public testing::Test {
 public:
  void SetUp() override {
    DVL::initialize();
    dvlservice::ServiceOptions options;
    options.storePath = teststore::fresh();  // the backend under test (DVL_TEST_STORE)
    m_service = std::make_unique<dvlservice::ContentService>(options);
    dvlservice::ServerOptions front;
    front.port = 0;
    m_server = std::make_unique<dvlservice::ContentServer>(*m_service, front);
    m_server->start();
    ZEBHelper::setCredentialKey(m_service->getCredentialPublicKey().c_str());
    m_factory = std::make_unique<ZEBLiveVorbTK>(settings());
    m_session = static_cast<ZEBSOAPSession*>(m_factory->createSession());
  }

  void TearDown() override {
    m_factory.reset();
    m_server->stop();
  }

  // Short bounded waits: a test that hangs is a failure, not a wait.
  ZEBHttpSettings settings(long stallTimeoutMs = 10000) const {
    ZEBHttpSettings s;
    s.endpoint = m_server->getUrl();
    s.connectTimeoutMs = 2000;
    s.stallTimeoutMs = stallTimeoutMs;
    s.fetchCredentialKey = false;  // the process holds the service's key; nothing is fetched or kept in $HOME
    return s;
  }

  ZEBSOAPSession& session() { return *m_session; }

  // Provokes failures in the server, in the text form of --inject ("operation=query;drop;count=1").
  void inject(const std::string& failure) { m_service->injectFailure(dvlservice::InjectedFailure::parse(failure)); }

  void logon(const char* user = "demo", const char* password = "demo", int sealed = 0) {
    DVLLogon logon(session(), nullptr, kUntrusted);
    logon.addCredentials("LDAP", user, password, sealed);
    logon.execute();
  }

  // Adds an object with the add request T (a folder by default), named unless name is empty; fill
  // sets the rest.
  template <class T = DVLAdd<ZEBFolder>>
  Stored add(const std::string& parentPath, const std::string& name, const std::function<void(T&)>& fill = nullptr) {
    T add(session(), nullptr, kUntrusted);
    add.setParentPath(parentPath.c_str());
    if (!name.empty()) add.setName(name.c_str());
    if (fill) fill(add);
    add.execute();
    EXPECT_TRUE(add.getPath() && add.getStoreID());
    return Stored{add.getPath() ? add.getPath() : "", add.getStoreID() ? add.getStoreID() : ""};
  }
  Stored addFolder(const std::string& parentPath, const std::string& name) { return add(parentPath, name); }
  // An output without documents.
  Stored addOutput(const std::string& parentPath, const std::string& name) { return add<DVLAddOutput>(parentPath, name); }

  // The number of objects a query of path returns.
  int count(const std::string& path) {
    DVLQuery query(session(), nullptr, kUntrusted);
    query.setPath(path.c_str());
    query.execute();
    return query.getObjectCount();
  }

  // The fault that call raises; fails the test when it raises none.
  static ZEBSOAPFault faultOf(const std::function<void()>& call) { return raisedBy<ZEBSOAPFault>(call); }

 private:
  std::unique_ptr<dvlservice::ContentService> m_service;
  std::unique_ptr<dvlservice::ContentServer> m_server;
  std::unique_ptr<ZEBLiveVorbTK> m_factory;
  ZEBSOAPSession* m_session = nullptr;
};

}  // namespace live
