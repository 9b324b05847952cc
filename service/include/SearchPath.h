// Search paths as dvl-contentd understands them (the subset described in docs/search-path.md):
// parsed into an origin and a list of steps that the service evaluates against the store, and the
// canonical text by which the service names each object it returns.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace dvlservice {

// A path that does not parse. The position counts bytes from 1 and points at the offending text.
class SearchPathError : public std::runtime_error {
 public:
  SearchPathError(const std::string& path, size_t position, const std::string& problem);
  size_t getPosition() const { return m_position; }
  const std::string& getProblem() const { return m_problem; }

 private:
  size_t m_position;
  std::string m_problem;
};

// One [@attribute='value'] of a step.
struct SearchPathPredicate {
  enum class Attribute { Name, StoreId };
  Attribute attribute = Attribute::Name;
  std::string value;
};

struct SearchPathStep {
  enum class Axis { Child, Descendant };
  // '*', a class of the store ("folder"), or any other word, which names one object ("content").
  enum class Test { Any, Class, Name };
  Axis axis = Axis::Child;
  Test test = Test::Any;
  std::string word;  // the class or the name
  std::vector<SearchPathPredicate> predicates;
};

struct SearchPath {
  // Where the steps start: the root, one object by store identifier, the logged-on account (~), or
  // the session itself (~~, which takes no steps).
  enum class Origin { Root, StoreId, Account, Session };
  Origin origin = Origin::Root;
  std::string storeId;
  std::vector<SearchPathStep> steps;

  static SearchPath parse(const std::string& text);
};

// True for the class names of the store ("folder", "output", ...), which a bare step word tests.
bool isClassName(const std::string& word);

// One step of a canonical path, "folder[@name='Sales']" or, for a child of the root whose name is a
// plain word that is not a class, the name alone ("content"). Empty when the name holds both quote
// characters and so cannot be written in a predicate.
std::string canonicalStep(const std::string& objectClass, const std::string& name, bool childOfRoot);

// The path that selects exactly the object with that store identifier.
std::string storeIdPath(const std::string& storeId);

}  // namespace dvlservice
