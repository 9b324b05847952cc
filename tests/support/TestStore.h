// The store the server suites run against: SQLite unless DVL_TEST_STORE=postgres, then a fresh
// database per call in the throwaway cluster whose base URI the CTest fixture (pg-cluster.sh) wrote
// to the file DVL_PG_STATE (or the build's default) names. No cluster there is a failure, never a skip.
#pragma once

#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

namespace teststore {

inline bool postgres() {
  const char* s = std::getenv("DVL_TEST_STORE");
  return s != nullptr && std::string(s) == "postgres";
}

// The cluster's base URI (database "postgres").
inline std::string clusterUri() {
  const char* state = std::getenv("DVL_PG_STATE");
#ifdef DVL_PG_STATE_FILE
  if (state == nullptr) state = DVL_PG_STATE_FILE;
#endif
  std::string uri;
  if (state == nullptr || !std::getline(std::ifstream(state) >> std::ws, uri) || uri.empty()) {
    throw std::runtime_error(
        "DVL_TEST_STORE=postgres but no cluster: DVL_PG_STATE names no file written by pg-cluster.sh");
  }
  return uri;
}

// A new, empty store: sqliteLocation for SQLite runs, a new database for PostgreSQL runs.
inline std::string fresh(const std::string& sqliteLocation = ":memory:") {
  if (!postgres()) return sqliteLocation;
  static std::atomic<int> counter{0};
  const std::string base = clusterUri();
  const std::string name = "t" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
  PGconn* c = PQconnectdb(base.c_str());
  PGresult* r = PQstatus(c) == CONNECTION_OK ? PQexec(c, ("CREATE DATABASE " + name).c_str()) : nullptr;
  bool ok = r != nullptr && PQresultStatus(r) == PGRES_COMMAND_OK;
  std::string error = PQerrorMessage(c);
  PQclear(r);
  PQfinish(c);
  if (!ok) throw std::runtime_error("cannot create a test database in " + base + ": " + error);
  size_t at = base.find("/postgres");
  return base.substr(0, at) + "/" + name + base.substr(at + 9);
}

}  // namespace teststore
