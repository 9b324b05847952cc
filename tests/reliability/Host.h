// A host's session to one dvl-contentd over loopback HTTP, on a connection pool of its own, with the
// calls the reliability tests make.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "DVLAdd.h"
#include "DVLAddOutput.h"
#include "DVLDelete.h"
#include "DVLLogon.h"
#include "DVLQuery.h"
#include "ZEBHttpTransport.h"

struct Stored {
  std::string path, storeId;
};

struct Host {
  static constexpr auto kUntrusted = ZEBSOAPSessionI::ZEBSOAPUntrusted;

  explicit Host(const std::string& url, long stallMs = 20000) : stallMs(stallMs) { connect({url}); }
  // To other servers, passport and all; with several, the transport moves on when one is gone.
  void connect(const std::vector<std::string>& urls) {
    std::string passport = factory ? session().getPassport() : "";
    ZEBHttpSettings settings;
    settings.endpoint = urls.front();
    if (urls.size() > 1) settings.endpoints = urls;
    settings.connectTimeoutMs = 2000;
    settings.stallTimeoutMs = stallMs;
    settings.poolSize = 1;  // one kept-alive connection
    factory = std::make_unique<ZEBLiveVorbTK>(settings);
    raw = factory->createSession();
    session().setPassport(passport);
  }
  ZEBSOAPSession& session() { return *static_cast<ZEBSOAPSession*>(raw); }
  void logon() {
    DVLLogon logon(session(), nullptr, kUntrusted);
    logon.addCredentials("LDAP", "demo", "demo", 0);
    logon.execute();
  }
  Stored add(const std::string& parent, const std::string& name, const std::string& bytes,
             const char* contentType = "application/pdf") {
    ZEBMemoryDocumentOutput document(bytes.data(), bytes.size(), contentType);
    DVLAddOutput add(session(), nullptr, kUntrusted);
    add.setParentPath(parent.c_str());
    add.setName(name.c_str());
    add.setData(&document);
    add.execute();
    return {add.getPath() ? add.getPath() : "", add.getStoreID() ? add.getStoreID() : ""};
  }
  Stored addFolder(const std::string& parent, const std::string& name) {
    DVLAdd<ZEBFolder> folder(session(), nullptr, kUntrusted);
    folder.setParentPath(parent.c_str());
    folder.setName(name.c_str());
    folder.execute();
    return {folder.getPath(), folder.getStoreID()};
  }
  void remove(const std::string& storeId) {
    DVLDelete remove(session(), nullptr, kUntrusted);
    remove.addStoreId(storeId.c_str());
    remove.execute();
  }
  std::set<std::string> names(const std::string& path) {
    DVLQuery query(session(), nullptr, kUntrusted);
    query.setPath(path.c_str());
    query.execute();
    std::set<std::string> out;
    for (int i = 0; i < query.getObjectCount(); ++i) out.insert(query.getName(i));
    return out;
  }

  long stallMs;
  std::unique_ptr<ZEBLiveVorbTK> factory;
  ZEBSOAPSessionI* raw = nullptr;
};
