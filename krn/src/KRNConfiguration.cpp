#include "KRNConfiguration.h"

#include <libxml/tree.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

[[noreturn]] void fail(const std::string& message) {
  KRNConfigurationError(message).raise(KRNFileLocation("KRNConfiguration", 0), nullptr, "KRN_THROW");
}

long lineOf(const KRNIDOM_Node& node) {
  return xmlGetLineNo(static_cast<xmlNodePtr>(node.getRawNode()));
}

std::string readWholeFile(const std::string& path, const std::string& what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail("cannot open " + what + " '" + path + "': " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) fail("cannot read " + what + " '" + path + "': " + std::strerror(errno));
  return text.str();
}

// Settings whose values must be whole numbers, and the smallest value each accepts.
struct NumericSetting {
  const char* name;
  long long minimum;
  const char* what = "a whole number of milliseconds";
};
const NumericSetting kNumericSettings[] = {{"connectTimeout", 1},
                                           {"stallTimeout", 1},
                                           {"totalTimeout", 0},
                                           {"retryDelay", 0},
                                           {"retryWindow", 0},
                                           {"retries", 0, "a whole number"},
                                           {"compressReplies", 0, "a whole number (0: off)"}};

bool parseInteger(const std::string& text, long long& value) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  size_t end = text.find_last_not_of(" \t\r\n");
  if (begin == std::string::npos) return false;
  std::string digits = text.substr(begin, end - begin + 1);
  errno = 0;
  char* stop = nullptr;
  value = std::strtoll(digits.c_str(), &stop, 10);
  return errno == 0 && stop && *stop == '\0';
}

void checkNumeric(const std::string& name, const std::vector<std::string>& values, const std::string& where) {
  for (const NumericSetting& numeric : kNumericSettings) {
    if (name != numeric.name) continue;
    long long value = 0;
    if (values.size() != 1 || !parseInteger(values[0], value) || value < numeric.minimum)
      fail(where + ": setting '" + name + "' must be " + numeric.what + ", at least " +
           std::to_string(numeric.minimum) + "; found '" + (values.empty() ? "" : values[0]) + "'");
  }
}

// The values of a setting element: when it has child elements, the texts of the "item" elements
// in the configuration namespace below it, at any depth and in document order (other elements only
// group them); otherwise its own text.
std::vector<std::string> valuesOf(const KRNIDOM_Element& element) {
  std::vector<std::string> values;
  if (element.getChildElements().empty()) {
    values.push_back(element.text().c_str());
    return values;
  }
  KRNIDOM_NodeList items = element.getElementsByTagNameNS(KRNConfiguration::namespaceURI, "item");
  for (uint64_t i = 0; i < items.getLength(); ++i)
    values.push_back(KRNIDOM_Helper::getElementText(KRNIDOM_Element(items.item(i))).c_str());
  return values;
}

// A setting element in its own new document: its one value as text, or several as "item" children.
KRNIDOM_Element buildSetting(const std::string& name, const std::vector<std::string>& values) {
  KRNIDOM_Document document = KRNIDOM_DOMImplementation::getInstance().createDocument(
      KRNConfiguration::namespaceURI, "configuration", KRNIDOM_DocumentType());
  KRNIDOM_Element root = document.createElementNS(KRNConfiguration::namespaceURI, "configuration");
  document.appendChild(root);
  KRNIDOM_Element setting = document.createElementNS(KRNConfiguration::namespaceURI, name.c_str());
  root.appendChild(setting);
  if (values.size() == 1) {
    setting.appendChild(document.createTextNode(values[0].c_str()));
  } else {
    for (const std::string& value : values) {
      KRNIDOM_Element item = document.createElementNS(KRNConfiguration::namespaceURI, "item");
      setting.appendChild(item);
      item.appendChild(document.createTextNode(value.c_str()));
    }
  }
  return setting;
}

}  // namespace

// ---- IKRNConfiguration -------------------------------------------------------------------------

IKRNConfiguration::~IKRNConfiguration() = default;

long long IKRNConfiguration::lookupInteger(const char* name, long long whenUnset) const {
  std::string text = lookupString(name, EFFECTIVE).c_str();
  if (text.empty()) return whenUnset;
  long long value = 0;
  if (!parseInteger(text, value)) fail(getSource() + ": setting '" + name + "' is not a whole number: '" + text + "'");
  return value;
}

std::string IKRNConfiguration::lookupPem(const char* name) const {
  std::string value = lookupString(name, EFFECTIVE).c_str();
  if (value.empty() || value.find("-----BEGIN") != std::string::npos) return value;
  std::string path = value;
  if (path[0] != '/') {
    const auto* own = dynamic_cast<const KRNConfiguration*>(this);
    std::string base = own ? own->getBaseDirectory() : std::string();
    if (!base.empty()) path = base + "/" + path;
  }
  return readWholeFile(path, std::string("the file of setting '") + name + "'");
}

// ---- KRNConfiguration --------------------------------------------------------------------------

KRNConfiguration::KRNConfiguration() : m_lock(0), m_source("no file") {
  for (const auto& [name, value] : {std::pair<const char*, const char*>{"connectTimeout", "10000"},
                                    {"stallTimeout", "60000"},
                                    {"totalTimeout", "0"}}) {
    m_defaults[name] = Setting{buildSetting(name, {value}), {value}};
  }
}

KRNConfiguration::~KRNConfiguration() = default;

KRNConfiguration::Settings KRNConfiguration::parse(const std::string& xml, const std::string& sourceName) const {
  KRNIDOM_Document document;
  try {
    document = KRNIDOM_DOMImplementation::getInstance().parse(xml.data(), xml.size(), sourceName.c_str());
  } catch (const KRNIDOM_Exception& e) {
    fail("cannot read the configuration " + e.getMessage());
  }
  KRNIDOM_Element root = document.getDocumentElement();
  if (root.getLocalName() != "configuration" || root.getNamespaceURI() != namespaceURI)
    fail("'" + sourceName + "': the root element must be 'configuration' in the namespace " + namespaceURI +
         ", found '" + root.getNodeName() + "'" +
         (root.getNamespaceURI().empty() ? " in no namespace" : " in " + root.getNamespaceURI()));

  Settings settings;
  std::string where = "'" + sourceName + "'";
  for (const KRNIDOM_Element& element : root.getChildElements()) {
    std::string name = element.getLocalName();
    std::string at = where + " line " + std::to_string(lineOf(element));
    if (element.getNamespaceURI() != namespaceURI)
      fail(at + ": setting '" + element.getNodeName() + "' is not in the configuration namespace");
    if (settings.count(name)) fail(at + ": setting '" + name + "' appears twice");
    std::vector<std::string> values = valuesOf(element);
    checkNumeric(name, values, at);
    settings[name] = Setting{element, std::move(values)};
  }
  return settings;
}

void KRNConfiguration::loadFile(const std::string& path) {
  std::string text = readWholeFile(path, "the configuration file");
  Settings settings = parse(text, path);
  size_t slash = path.rfind('/');
  KRNThreadGuard guard(m_lock);
  m_file = std::move(settings);
  m_applied.clear();
  m_source = path;
  m_baseDirectory = slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

void KRNConfiguration::loadString(const std::string& xml, const std::string& sourceName) {
  Settings settings = parse(xml, sourceName);
  KRNThreadGuard guard(m_lock);
  m_file = std::move(settings);
  m_applied.clear();
  m_source = sourceName;
  m_baseDirectory.clear();
}

void KRNConfiguration::clear() {
  KRNThreadGuard guard(m_lock);
  m_file.clear();
  m_applied.clear();
  m_source = "no file";
  m_baseDirectory.clear();
}

void KRNConfiguration::applyDocument(const KRNIDOM_Element& queryResult) {
  if (queryResult.isNull() || queryResult.getLocalName() != "queryResult")
    fail("applyDocument: expected a 'queryResult' element, got '" + queryResult.getNodeName() + "'");
  // Everything is built aside first: a malformed document changes nothing.
  Settings updates;
  for (const KRNIDOM_Element& item : queryResult.getChildElements()) {
    if (item.getLocalName() != "item") continue;
    for (const KRNIDOM_Element& setting : item.getChildElements()) {
      std::string name = setting.getLocalName();
      std::vector<std::string> values;
      for (const KRNIDOM_Element& value : setting.getChildElements())
        if (value.getLocalName() == "value") values.push_back(KRNIDOM_Helper::getElementText(value).c_str());
      if (values.empty()) values.push_back(setting.text().c_str());
      checkNumeric(name, values, "applyDocument");
      updates[name] = Setting{buildSetting(name, values), values};
    }
  }
  KRNThreadGuard guard(m_lock);
  for (auto& [name, setting] : updates) m_applied[name] = std::move(setting);
}

const KRNConfiguration::Setting* KRNConfiguration::find(const std::string& name, int layer) const {
  const Settings* order[3] = {nullptr, nullptr, nullptr};
  switch (layer) {
    case EFFECTIVE:
      order[0] = &m_applied, order[1] = &m_file, order[2] = &m_defaults;
      break;
    case FILE_ONLY:
      order[0] = &m_file;
      break;
    case DEFAULT_ONLY:
      order[0] = &m_defaults;
      break;
    default:
      return nullptr;
  }
  for (const Settings* settings : order) {
    if (settings == nullptr) break;
    auto it = settings->find(name);
    if (it != settings->end()) return &it->second;
  }
  return nullptr;
}

I18NString KRNConfiguration::lookupString(const I18NString& name, int layer) const {
  KRNThreadGuard guard(m_lock);
  const Setting* setting = find(name.c_str(), layer);
  if (setting == nullptr || setting->values.empty()) return I18NString();
  const std::string& value = setting->values.front();
  return I18NString(value.c_str(), nullptr, static_cast<int>(value.size()));
}

KRNIDOM_Element KRNConfiguration::lookupElement(const I18NString& name, int layer) const {
  KRNThreadGuard guard(m_lock);
  const Setting* setting = find(name.c_str(), layer);
  return setting ? setting->element : KRNIDOM_Element();
}

std::vector<std::string> KRNConfiguration::lookupValues(const I18NString& name, int layer) const {
  KRNThreadGuard guard(m_lock);
  const Setting* setting = find(name.c_str(), layer);
  return setting ? setting->values : std::vector<std::string>();
}

std::string KRNConfiguration::getSource() const {
  KRNThreadGuard guard(m_lock);
  return m_source;
}

std::string KRNConfiguration::getBaseDirectory() const {
  KRNThreadGuard guard(m_lock);
  return m_baseDirectory;
}

// ---- KRNConfigurationFactory -------------------------------------------------------------------

namespace {

// Never destroyed: other libraries' static objects may read the configuration while they unload.
KRNConfiguration& processConfiguration() {
  static KRNConfiguration* configuration = new KRNConfiguration;
  return *configuration;
}

KRNThreadCriticalSection& factoryLock() {
  static KRNThreadCriticalSection* lock = new KRNThreadCriticalSection(0);
  return *lock;
}

std::atomic<bool> g_loaded{false};
std::atomic<IKRNConfiguration*> g_testDouble{nullptr};

bool fileExists(const char* path) {
  struct stat info;
  return ::stat(path, &info) == 0;
}

}  // namespace

IKRNConfiguration& KRNConfigurationFactory::getInstance() {
  if (IKRNConfiguration* testDouble = g_testDouble.load(std::memory_order_acquire)) return *testDouble;
  KRNConfiguration& configuration = processConfiguration();
  if (g_loaded.load(std::memory_order_acquire)) return configuration;
  KRNThreadGuard guard(factoryLock());
  if (!g_loaded.load(std::memory_order_relaxed)) {
    const char* named = std::getenv(environmentVariable);
    if (named != nullptr) {
      if (*named != '\0')
        configuration.loadFile(named);
      else
        configuration.clear();
    } else if (fileExists(defaultPath)) {
      configuration.loadFile(defaultPath);
    } else {
      configuration.clear();
    }
    g_loaded.store(true, std::memory_order_release);
  }
  return configuration;
}

void KRNConfigurationFactory::loadFromString(const std::string& xml, const std::string& sourceName) {
  KRNThreadGuard guard(factoryLock());
  processConfiguration().loadString(xml, sourceName);
  g_loaded.store(true, std::memory_order_release);
}

void KRNConfigurationFactory::reset() {
  KRNThreadGuard guard(factoryLock());
  processConfiguration().clear();
  g_loaded.store(false, std::memory_order_release);
}

void KRNConfigurationFactory::setInstanceForTesting(IKRNConfiguration* configuration) {
  g_testDouble.store(configuration, std::memory_order_release);
}
