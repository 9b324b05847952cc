// Evaluates search paths against the store inside one transaction, and names objects by their
// canonical paths.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ContentStore.h"
#include "SearchPath.h"

namespace dvlservice {

// What a path selected: objects of the store, or the logged-on session itself (~~).
struct Selection {
  bool session = false;
  std::vector<ObjectRecord> objects;
};

class PathResolver {
 public:
  // account: "namespace/user" of the logged-on account, for '~'; empty when there is none.
  PathResolver(ContentStore::Transaction& tx, std::string accountNamespace, std::string accountUser);

  // Raises ServiceFault (badSearchPath) for a path that does not parse.
  Selection select(const std::string& text);
  Selection select(const SearchPath& path);
  // The single store object a path selects; raises ServiceFault naming `what` otherwise.
  ObjectRecord selectOne(const std::string& text, const std::string& what);
  // The single store object, or null when the path does not parse or selects none or several.
  std::unique_ptr<ObjectRecord> trySelectOne(const std::string& text);

  std::string canonicalPath(const ObjectRecord& object);

  // /accounts/<namespace>/<user>, the folder that '~' stands for; null when absent.
  std::unique_ptr<ObjectRecord> accountFolder();

  static constexpr const char* kAccountsFolder = "accounts";
  static constexpr const char* kContentFolder = "content";

 private:
  // A canonical path, and whether it names every step (false: the object's store identifier).
  struct KnownPath {
    std::string path;
    bool named;
  };
  bool matches(const SearchPathStep& step, const ObjectRecord& object) const;
  const KnownPath& knownPath(const ObjectRecord& object);

  ContentStore::Transaction& m_tx;
  std::string m_namespace, m_user;
  std::map<int64_t, KnownPath> m_paths;
  std::map<int64_t, ObjectRecord> m_passed;  // the objects that steps of selected paths started from
};

}  // namespace dvlservice
