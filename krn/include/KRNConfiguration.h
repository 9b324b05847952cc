/// \file
/// The process configuration: named settings read from one XML file (docs/configuration.md), with
/// built-in defaults, which a running process may update by applying a query-result document.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "I18NString.h"
#include "KRNIDOM.h"
#include "KRNThread.h"
#include "KRNThrowable.h"

/// A configuration file that cannot be read or does not have the documented form. The message names
/// the file, the line where known, and what is wrong.
class KRN_EXPORT KRNConfigurationError : public KRNThrowable {
 public:
  /// An error with its message.
  explicit KRNConfigurationError(std::string message) : KRNThrowable(std::move(message)) {}
  KRN_THROWABLE_BODY(KRNConfigurationError)
};

/// Read access to a configuration: settings by name, in layers.
class KRN_EXPORT IKRNConfiguration {
 public:
  /// What the int argument of the lookups selects: where the value may come from.
  enum Layer {
    EFFECTIVE = 0,     ///< an applied document's value, else the file's, else the built-in default
    FILE_ONLY = 1,     ///< the file's value only
    DEFAULT_ONLY = 2,  ///< the built-in default only
  };

  virtual ~IKRNConfiguration();
  /// Merges a query-result document (root "queryResult" > "item" > setting name > "value" text) into
  /// the settings: each named setting takes the values given, replacing what it had.
  virtual void applyDocument(const KRNIDOM_Element& queryResult) = 0;
  /// The first value of a setting in the layer chosen; empty when unset. A list setting's values
  /// are the texts of its "item" elements; any other setting has its text as its one value.
  virtual I18NString lookupString(const I18NString& name, int layer) const = 0;
  /// The element that holds a setting in the layer chosen, null when unset. The element belongs to
  /// a document that is never changed afterwards, so it may be read while the settings change.
  virtual KRNIDOM_Element lookupElement(const I18NString& name, int layer) const = 0;
  /// Every value of a setting, in order.
  virtual std::vector<std::string> lookupValues(const I18NString& name, int layer) const = 0;
  /// Where the settings were read from ("/etc/dvl/config.xml", "no file", a test's name).
  virtual std::string getSource() const = 0;

  /// Conveniences over the virtual lookups.
  I18NString lookupString(const char* name, int layer = EFFECTIVE) const {
    return lookupString(I18NString(name), layer);
  }
  /// The element of a setting, by a plain name; null when absent.
  KRNIDOM_Element lookupElement(const char* name, int layer = EFFECTIVE) const {
    return lookupElement(I18NString(name), layer);
  }
  /// The setting as a whole number; raises KRNConfigurationError when it is set but not a number.
  long long lookupInteger(const char* name, long long whenUnset) const;
  /// A setting that holds either PEM text or the path of a file holding it (relative paths are
  /// taken from the configuration file's folder): the PEM text, empty when unset.
  std::string lookupPem(const char* name) const;
};

/// The configuration held in memory. Every operation takes the object's lock.
class KRN_EXPORT KRNConfiguration : public IKRNConfiguration {
 public:
  /// The namespace of the configuration file's elements.
  static constexpr const char* namespaceURI = "http://dvl.example.org/schemas/zpconfig/1/";

  /// An empty configuration: built-in defaults only.
  KRNConfiguration();
  ~KRNConfiguration() override;

  /// Replace every setting, applied ones included, by those of a file or a text. On failure the
  /// settings stay as they were.
  void loadFile(const std::string& path);
  /// The same, from an XML text; sourceName names it in errors.
  void loadString(const std::string& xml, const std::string& sourceName);
  /// Back to the built-in defaults only.
  void clear();

  void applyDocument(const KRNIDOM_Element& queryResult) override;
  I18NString lookupString(const I18NString& name, int layer) const override;
  KRNIDOM_Element lookupElement(const I18NString& name, int layer) const override;
  std::vector<std::string> lookupValues(const I18NString& name, int layer) const override;
  std::string getSource() const override;
  /// The conveniences by plain name.
  using IKRNConfiguration::lookupElement;
  using IKRNConfiguration::lookupString;

  /// The folder of the file read, empty when none: relative paths in settings are taken from here.
  std::string getBaseDirectory() const;

 private:
  struct Setting {
    KRNIDOM_Element element;
    std::vector<std::string> values;
  };
  using Settings = std::map<std::string, Setting>;

  Settings parse(const std::string& xml, const std::string& sourceName) const;
  const Setting* find(const std::string& name, int layer) const;

  mutable KRNThreadCriticalSection m_lock;
  Settings m_defaults;
  Settings m_file;
  Settings m_applied;
  std::string m_source;
  std::string m_baseDirectory;
};

/// Makes and holds the process configuration.
class KRN_EXPORT KRNConfigurationFactory {
 public:
  /// The environment variable naming the configuration file, and the file used when it is unset.
  static constexpr const char* environmentVariable = "DVL_CONFIG";
  /// The file read when DVL_CONFIG is unset.
  static constexpr const char* defaultPath = "/etc/dvl/config.xml";

  /// The process configuration, read on first use: the file named by DVL_CONFIG (which must exist),
  /// else the default file if it exists, else nothing. DVL_CONFIG set to an empty text means no
  /// file. A file that cannot be read raises KRNConfigurationError, here and on each later call
  /// until it is fixed. A test double installed with setInstanceForTesting is returned instead.
  static IKRNConfiguration& getInstance();

  /// Test hooks. Replace the process configuration's settings by those of a text.
  static void loadFromString(const std::string& xml, const std::string& sourceName = "test configuration");
  /// Forget the process configuration; the next getInstance() reads the environment again.
  static void reset();
  /// Make getInstance() return configuration (not owned) until called again with null.
  static void setInstanceForTesting(IKRNConfiguration* configuration);
};
