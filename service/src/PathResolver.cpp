#include "PathResolver.h"

#include <set>

#include "ServiceFault.h"

namespace dvlservice {

PathResolver::PathResolver(ContentStore::Transaction& tx, std::string accountNamespace, std::string accountUser)
    : m_tx(tx), m_namespace(std::move(accountNamespace)), m_user(std::move(accountUser)) {}

Selection PathResolver::select(const std::string& text) {
  SearchPath path;
  try {
    path = SearchPath::parse(text);
  } catch (const SearchPathError& e) {
    refuse("badSearchPath", e.what());
  }
  return select(path);
}

bool PathResolver::matches(const SearchPathStep& step, const ObjectRecord& object) const {
  switch (step.test) {
    case SearchPathStep::Test::Class:
      if (object.objectClass != step.word) return false;
      break;
    case SearchPathStep::Test::Name:
      if (object.name != step.word) return false;
      break;
    case SearchPathStep::Test::Any:
      break;
  }
  for (const SearchPathPredicate& p : step.predicates) {
    const std::string& actual = p.attribute == SearchPathPredicate::Attribute::Name ? object.name : object.storeId;
    if (actual != p.value) return false;
  }
  return true;
}

Selection PathResolver::select(const SearchPath& path) {
  Selection selection;
  std::vector<ObjectRecord> context;
  switch (path.origin) {
    case SearchPath::Origin::Session:
      selection.session = true;
      return selection;
    case SearchPath::Origin::Root:
      if (auto root = m_tx.object(m_tx.rootId())) context.push_back(*root);
      break;
    case SearchPath::Origin::StoreId:
      if (auto found = m_tx.objectByStoreId(path.storeId)) context.push_back(*found);
      break;
    case SearchPath::Origin::Account:
      if (auto home = accountFolder()) context.push_back(*home);
      break;
  }

  for (const SearchPathStep& step : path.steps) {
    for (const ObjectRecord& from : context) m_passed.emplace(from.id, from);
    std::vector<ObjectRecord> next;
    std::set<int64_t> seen;
    auto keep = [&](ObjectRecord o) {
      if (matches(step, o) && seen.insert(o.id).second) next.push_back(std::move(o));
    };
    // A step that names its object is a direct look-up rather than a walk over every child.
    const std::string* exactName = step.test == SearchPathStep::Test::Name ? &step.word : nullptr;
    for (const SearchPathPredicate& p : step.predicates) {
      if (p.attribute == SearchPathPredicate::Attribute::Name) exactName = &p.value;
    }
    for (const ObjectRecord& from : context) {
      if (step.axis == SearchPathStep::Axis::Child) {
        if (exactName) {
          if (auto child = m_tx.child(from.id, *exactName)) keep(*child);
        } else {
          for (ObjectRecord& child : m_tx.children(from.id)) keep(std::move(child));
        }
      } else {
        for (ObjectRecord& below : m_tx.descendants(from.id)) keep(std::move(below));
      }
    }
    context = std::move(next);
    if (context.empty()) break;
  }
  selection.objects = std::move(context);
  return selection;
}

ObjectRecord PathResolver::selectOne(const std::string& text, const std::string& what) {
  Selection s = select(text);
  if (s.session) refuse("badSearchPath", what + " '" + text + "' names the session, not an object of the store");
  if (s.objects.empty()) refuse("notFound", what + " '" + text + "' selects no object");
  if (s.objects.size() > 1) {
    refuse("ambiguousPath",
           what + " '" + text + "' selects " + std::to_string(s.objects.size()) + " objects where one is needed");
  }
  return s.objects.front();
}

std::unique_ptr<ObjectRecord> PathResolver::trySelectOne(const std::string& text) {
  try {
    Selection s = select(text);
    if (!s.session && s.objects.size() == 1) return std::make_unique<ObjectRecord>(s.objects.front());
  } catch (const ServiceFault&) {
  }
  return nullptr;
}

std::string PathResolver::canonicalPath(const ObjectRecord& object) {
  return knownPath(object).path;
}

// An object's path is its parent's and one step more. The folders a query passed through on its way
// are at hand already, so naming the objects of one folder looks nothing up in the store.
const PathResolver::KnownPath& PathResolver::knownPath(const ObjectRecord& object) {
  auto cached = m_paths.find(object.id);
  if (cached != m_paths.end()) return cached->second;
  KnownPath known{"/", true};
  if (object.parent != 0) {
    const KnownPath* parent = nullptr;
    auto seen = m_passed.find(object.parent);
    if (seen != m_passed.end()) {
      parent = &knownPath(seen->second);
    } else if (auto record = m_tx.object(object.parent)) {
      parent = &knownPath(*record);
    }
    std::string step;
    if (parent != nullptr && parent->named) {
      bool childOfRoot = parent->path == "/";
      step = canonicalStep(object.objectClass, object.name, childOfRoot);
      if (!step.empty()) known.path = (childOfRoot ? "" : parent->path) + "/" + step;
    }
    if (step.empty()) known = {storeIdPath(object.storeId), false};  // a name no predicate can quote
  }
  return m_paths.emplace(object.id, std::move(known)).first->second;
}

std::unique_ptr<ObjectRecord> PathResolver::accountFolder() {
  if (m_user.empty()) return nullptr;
  auto accounts = m_tx.child(m_tx.rootId(), kAccountsFolder);
  auto space = accounts ? m_tx.child(accounts->id, m_namespace) : nullptr;
  return space ? m_tx.child(space->id, m_user) : nullptr;
}

}  // namespace dvlservice
