#include "SearchPath.h"

#include <cctype>

#include "ZEBSchema.h"

namespace dvlservice {

namespace {

constexpr size_t kMaxPathBytes = 64 * 1024;
constexpr size_t kMaxSteps = 256;

bool isWordStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool isWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
}

class Parser {
 public:
  explicit Parser(const std::string& text) : m_text(text) {}

  SearchPath run() {
    SearchPath path;
    if (m_text.size() > kMaxPathBytes) fail(kMaxPathBytes + 1, "the search path is longer than 65536 bytes");
    skipSpace();
    if (atEnd()) fail(m_pos, "the search path is empty");

    if (lookingAt("~~")) {
      path.origin = SearchPath::Origin::Session;
      m_pos += 2;
      skipSpace();
      if (!atEnd()) fail(m_pos, "nothing may follow '~~'");
      return path;
    }
    if (peek() == '~') {
      path.origin = SearchPath::Origin::Account;
      ++m_pos;
      steps(path, false);
      return path;
    }
    if (lookingAt("storeID")) {
      path.origin = SearchPath::Origin::StoreId;
      m_pos += 7;
      skipSpace();
      expect('(');
      skipSpace();
      path.storeId = quoted();
      skipSpace();
      expect(')');
      steps(path, false);
      return path;
    }
    if (peek() != '/') fail(m_pos, "a search path starts with '/', '~', '~~' or storeID(\"...\")");
    path.origin = SearchPath::Origin::Root;
    steps(path, true);
    return path;
  }

 private:
  // The steps after the origin; a path made of '/' alone selects the root.
  void steps(SearchPath& path, bool fromRoot) {
    skipSpace();
    if (fromRoot && m_pos + 1 == endOfContent()) {
      ++m_pos;  // "/" alone
      return;
    }
    while (!atEnd()) {
      if (peek() != '/') fail(m_pos, "expected '/' or the end of the path");
      SearchPathStep step;
      if (lookingAt("//")) {
        step.axis = SearchPathStep::Axis::Descendant;
        m_pos += 2;
      } else {
        ++m_pos;
      }
      if (path.steps.size() == kMaxSteps) fail(m_pos, "the search path has more than 256 steps");
      stepBody(step);
      path.steps.push_back(std::move(step));
      skipSpace();
    }
  }

  void stepBody(SearchPathStep& step) {
    if (atEnd() || peek() == '/') fail(m_pos, "expected a step ('*', a class or a name)");
    if (peek() == '*') {
      step.test = SearchPathStep::Test::Any;
      ++m_pos;
    } else if (isWordStart(peek())) {
      size_t start = m_pos;
      while (!atEnd() && isWordChar(peek())) ++m_pos;
      step.word = m_text.substr(start, m_pos - start);
      step.test = isClassName(step.word) ? SearchPathStep::Test::Class : SearchPathStep::Test::Name;
    } else {
      fail(m_pos, std::string("unexpected '") + peek() + "'; expected '*', a class or a name");
    }
    while (true) {
      skipSpace();
      if (atEnd() || peek() != '[') break;
      ++m_pos;
      step.predicates.push_back(predicate());
    }
  }

  SearchPathPredicate predicate() {
    SearchPathPredicate p;
    skipSpace();
    expect('@');
    size_t start = m_pos;
    while (!atEnd() && isWordChar(peek())) ++m_pos;
    std::string attribute = m_text.substr(start, m_pos - start);
    if (attribute == "name" || attribute == "defaultName") {
      p.attribute = SearchPathPredicate::Attribute::Name;
    } else if (attribute == "storeID") {
      p.attribute = SearchPathPredicate::Attribute::StoreId;
    } else {
      fail(start, "unknown attribute '@" + attribute + "'; expected @name or @storeID");
    }
    skipSpace();
    expect('=');
    skipSpace();
    p.value = quoted();
    skipSpace();
    expect(']');
    return p;
  }

  // 'text' or "text"; the text may hold the other quote character and nothing escapes.
  std::string quoted() {
    if (atEnd() || (peek() != '\'' && peek() != '"')) fail(m_pos, "expected a quoted name ('...' or \"...\")");
    char quote = peek();
    size_t open = m_pos++;
    size_t close = m_text.find(quote, m_pos);
    if (close == std::string::npos) fail(open, std::string("the quoted text opened here has no closing ") + quote);
    std::string value = m_text.substr(m_pos, close - m_pos);
    m_pos = close + 1;
    return value;
  }

  void expect(char c) {
    if (atEnd()) fail(m_pos, std::string("expected '") + c + "' but the path ends");
    if (peek() != c) fail(m_pos, std::string("expected '") + c + "', found '" + peek() + "'");
    ++m_pos;
  }

  // Trailing white space does not count as content.
  size_t endOfContent() const {
    size_t end = m_text.size();
    while (end > 0 && std::isspace(static_cast<unsigned char>(m_text[end - 1]))) --end;
    return end;
  }
  bool atEnd() const { return m_pos >= endOfContent(); }
  char peek() const { return m_text[m_pos]; }
  bool lookingAt(const char* s) const { return m_text.compare(m_pos, std::char_traits<char>::length(s), s) == 0; }
  void skipSpace() {
    while (m_pos < m_text.size() && std::isspace(static_cast<unsigned char>(m_text[m_pos]))) ++m_pos;
  }
  [[noreturn]] void fail(size_t index, const std::string& problem) {
    throw SearchPathError(m_text, index + 1, problem);
  }

  const std::string& m_text;
  size_t m_pos = 0;
};

bool isPlainWord(const std::string& s) {
  if (s.empty() || !isWordStart(s[0])) return false;
  for (char c : s) {
    if (!isWordChar(c)) return false;
  }
  return true;
}

}  // namespace

SearchPathError::SearchPathError(const std::string& path, size_t position, const std::string& problem)
    : std::runtime_error("search path '" + (path.size() > 200 ? path.substr(0, 200) + "..." : path) + "': " + problem +
                         " at position " + std::to_string(position)),
      m_position(position),
      m_problem(problem) {}

SearchPath SearchPath::parse(const std::string& text) {
  return Parser(text).run();
}

bool isClassName(const std::string& word) {
  return ZEBClassEnum::typeInfo.findEnumName(word.data(), word.size()) != nullptr;
}

std::string canonicalStep(const std::string& objectClass, const std::string& name, bool childOfRoot) {
  if (childOfRoot && isPlainWord(name) && !isClassName(name)) return name;
  char quote = name.find('\'') == std::string::npos ? '\'' : '"';
  if (quote == '"' && name.find('"') != std::string::npos) return std::string();
  return objectClass + "[@name=" + quote + name + quote + "]";
}

std::string storeIdPath(const std::string& storeId) {
  return "storeID(\"" + storeId + "\")";
}

}  // namespace dvlservice
