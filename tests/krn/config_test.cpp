// The runtime's DOM and the process configuration: what callers see through handles, searches,
// lookups and errors.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "KRNConfiguration.h"
#include "KRNIDOM.h"
#include "support/Files.h"
#include "support/Raised.h"

namespace {

const char* const kNs = KRNConfiguration::namespaceURI;

KRNIDOM_Document parse(const std::string& xml) {
  return KRNIDOM_DOMImplementation::getInstance().parse(xml.data(), xml.size(), "test.xml");
}

// The query-result document that a content-manager update applies: queryResult > item > NAME >
// value, built through the DOM as a caller would.
KRNIDOM_Element queryResult(const std::vector<std::pair<std::string, std::vector<std::string>>>& settings) {
  KRNIDOM_Document document =
      KRNIDOM_DOMImplementation::getInstance().createDocument("", "ConfigDocument", KRNIDOM_DocumentType());
  KRNIDOM_Element root = document.createElementNS("zpx", "zpx:queryResult");
  document.appendChild(root);
  KRNIDOM_Element item = document.createElement("item");
  root.appendChild(item);
  for (const auto& [name, values] : settings) {
    KRNIDOM_Element setting = document.createElement(name.c_str());
    item.appendChild(setting);
    for (const std::string& v : values) {
      KRNIDOM_Element value = document.createElement("value");
      setting.appendChild(value);
      value.setAttribute("xsi:type", "xsd:string");
      value.appendChild(document.createTextNode(v.c_str()));
    }
  }
  return root;
}

std::string configuration(const std::string& settings) {
  return std::string("<?xml version=\"1.0\"?>\n<configuration xmlns=\"") + kNs + "\">\n" + settings +
         "</configuration>\n";
}

// ---- DOM ---------------------------------------------------------------------------------------

// Searches by namespace at any depth are content-manager discovery's (tests/prod/test_info_test).
TEST(DomTest, BuiltTreeHasTheNamesNamespacesAndTextItWasGiven) {
  KRNIDOM_Element root = queryResult({{"contentManager", {"http://cm/a"}}});
  EXPECT_EQ(KRNIDOM_Helper::serialize(root),
            "<zpx:queryResult xmlns:zpx=\"zpx\"><item><contentManager><value xsi:type=\"xsd:string\">http://cm/a"
            "</value></contentManager></item></zpx:queryResult>");
  // Elements made without a namespace are in none, even below a prefixed element.
  EXPECT_EQ(root.getElementsByTagNameNS("zpx", "item").getLength(), 0u);
  // Text nodes appended one after another all stay.
  KRNIDOM_Element item(root.getElementsByTagNameNS("", "item").item(0));
  item.appendChild(root.getOwnerDocument().createTextNode("ab"));
  item.appendChild(root.getOwnerDocument().createTextNode("cd"));
  EXPECT_STREQ(item.text().c_str(), "http://cm/aabcd");
}

TEST(DomTest, HandlesKeepTheirDocumentAlive) {
  KRNIDOM_NodeList items;
  KRNIDOM_Element detached;
  {
    KRNIDOM_Document document = parse("<r><item>x</item><item>y</item></r>");
    items = document.getDocumentElement().getElementsByTagNameNS("", "item");
    detached = document.createElement("never-appended");
  }
  ASSERT_EQ(items.getLength(), 2u);
  EXPECT_STREQ(items.item(0).text().c_str(), "x");
  EXPECT_STREQ(items.item(1).text().c_str(), "y");
  EXPECT_EQ(detached.getNodeName(), "never-appended");
  EXPECT_EQ(items.item(1).getParentNode().getNodeName(), "r");
}

TEST(DomTest, MisuseRaisesInsteadOfCorruptingTheTree) {
  auto& dom = KRNIDOM_DOMImplementation::getInstance();
  KRNIDOM_Document document = dom.createDocument("", "d", KRNIDOM_DocumentType());
  KRNIDOM_Document other = dom.createDocument("", "o", KRNIDOM_DocumentType());
  KRNIDOM_Element a = document.createElement("a");
  KRNIDOM_Element b = document.createElement("b");
  a.appendChild(b);

  EXPECT_THROW(KRNIDOM_Element().appendChild(a), KRNIDOM_Exception);
  EXPECT_THROW(a.appendChild(KRNIDOM_Node()), KRNIDOM_Exception);
  EXPECT_THROW(a.appendChild(other.createElement("x")), KRNIDOM_Exception);
  EXPECT_THROW(b.appendChild(a), KRNIDOM_Exception);  // a cycle
  EXPECT_THROW(document.appendChild(document.createTextNode("t")), KRNIDOM_Exception);
  document.appendChild(a);
  EXPECT_THROW(document.appendChild(document.createElement("second")), KRNIDOM_Exception);
  EXPECT_THROW(document.createElementNS("", "p:x"), KRNIDOM_Exception);
  EXPECT_THROW(KRNIDOM_Element().setAttribute("a", "b"), KRNIDOM_Exception);
  // Reading through a null handle is harmless.
  EXPECT_TRUE(KRNIDOM_Element().getElementsByTagNameNS("*", "*").getLength() == 0);
  EXPECT_TRUE(KRNIDOM_Helper::getElementText(KRNIDOM_Element()).empty());
}

// ---- configuration -----------------------------------------------------------------------------

class ConfigurationTest : public testing::Test {
 protected:
  KRNConfiguration config;
};

TEST_F(ConfigurationTest, FileSettingsDefaultsAndLayers) {
  // List values are the configuration-namespace items at any depth.
  config.loadString(configuration("<contentManagers><group><item>http://a/cm</item></group><item xmlns=\"\">none</item>"
                                  "<o:item xmlns:o=\"urn:o\">other</o:item><item>http://b/cm</item></contentManagers>"
                                  "<empty><group/></empty><contentManager>http://a/cm</contentManager>"
                                  "<connectTimeout>2500</connectTimeout>"),
                    "inline");
  EXPECT_STREQ(config.lookupString("contentManager").c_str(), "http://a/cm");
  EXPECT_STREQ(config.lookupString("contentManagers").c_str(), "http://a/cm");
  EXPECT_EQ(config.lookupValues(I18NString("contentManagers"), 0),
            (std::vector<std::string>{"http://a/cm", "http://b/cm"}));
  KRNIDOM_Element list = config.lookupElement("contentManagers");
  ASSERT_FALSE(list.isNull());
  EXPECT_EQ(list.getElementsByTagNameNS(kNs, "item").getLength(), 2u);

  EXPECT_EQ(config.lookupInteger("connectTimeout", -1), 2500);
  EXPECT_EQ(config.lookupInteger("stallTimeout", -1), 60000);  // built-in default
  EXPECT_STREQ(config.lookupString("connectTimeout", IKRNConfiguration::DEFAULT_ONLY).c_str(), "10000");
  EXPECT_TRUE(config.lookupString("stallTimeout", IKRNConfiguration::FILE_ONLY).empty());

  EXPECT_EQ(config.lookupInteger("credentialKey", 7), 7);
  EXPECT_TRUE(config.lookupElement("nothing").isNull());
  EXPECT_TRUE(config.lookupValues(I18NString("empty"), 0).empty());
}

TEST_F(ConfigurationTest, AppliedDocumentWinsOverTheFileAndLeavesEarlierHandlesAlone) {
  config.loadString(configuration("<contentManager>http://file/cm</contentManager>"
                                  "<contentManagers><item>x</item></contentManagers>"),
                    "inline");
  KRNIDOM_Element before = config.lookupElement("contentManager");

  config.applyDocument(queryResult({{"contentManager", {"http://applied/cm"}}, {"stallTimeout", {"1234"}}}));
  EXPECT_STREQ(config.lookupString("contentManager").c_str(), "http://applied/cm");
  EXPECT_STREQ(config.lookupString("contentManager", IKRNConfiguration::FILE_ONLY).c_str(), "http://file/cm");
  EXPECT_EQ(config.lookupInteger("stallTimeout", 0), 1234);
  EXPECT_STREQ(before.text().c_str(), "http://file/cm");
  EXPECT_STREQ(config.lookupElement("contentManager").text().c_str(), "http://applied/cm");
  EXPECT_EQ(config.lookupValues(I18NString("contentManagers"), 0), std::vector<std::string>{"x"});

  // Several values come back as a list, in the same form as the file's.
  config.applyDocument(queryResult({{"contentManagers", {"p", "q"}}}));
  EXPECT_EQ(config.lookupElement("contentManagers").getElementsByTagNameNS(kNs, "item").getLength(), 2u);

  // Reloading forgets what was applied.
  config.loadString(configuration(""), "empty");
  EXPECT_TRUE(config.lookupString("contentManager").empty());
}

TEST_F(ConfigurationTest, ABadAppliedDocumentChangesNothing) {
  EXPECT_THROW(config.applyDocument(KRNIDOM_Element()), KRNConfigurationError);
  EXPECT_THROW(config.applyDocument(parse("<notAQueryResult/>").getDocumentElement()), KRNConfigurationError);
  std::string message = raisedBy<KRNConfigurationError>([&] {
    config.applyDocument(queryResult({{"contentManager", {"http://x"}}, {"connectTimeout", {"soon"}}}));
  }).getMessage();
  EXPECT_NE(message.find("connectTimeout"), std::string::npos) << message;
  EXPECT_TRUE(config.lookupString("contentManager").empty());
}

TEST(BadConfigurationTest, FailsWithAClearMessageAndKeepsTheSettings) {
  const struct {
    std::string text;
    std::vector<const char*> expected;  // each part must be in the message
  } files[] = {
      {configuration("<contentManager>x</contentManagr>\n"), {"'bad.xml' line 3"}},
      {"<settings/>", {"root element must be 'configuration'", "found 'settings'"}},
      {configuration("<o:contentManager xmlns:o=\"urn:o\">x</o:contentManager>"),
       {"line 3", "not in the configuration namespace"}},
      {configuration("<contentManager>a</contentManager>\n<contentManager>b</contentManager>"),
       {"line 4", "'contentManager' appears twice"}},
      {configuration("<stallTimeout>1 minute</stallTimeout>"), {"'stallTimeout' must be a whole number", "1 minute"}},
      {configuration("<connectTimeout>0</connectTimeout>"), {"at least 1"}},
      {"<!DOCTYPE configuration [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><configuration/>",
       {"document type declaration is not allowed"}},
      {"", {"bad.xml"}},
  };
  KRNConfiguration config;
  config.loadString(configuration("<contentManager>http://kept</contentManager>"), "good");
  for (const auto& file : files) {
    std::string message = raisedBy<KRNConfigurationError>([&] { config.loadString(file.text, "bad.xml"); }).getMessage();
    for (const char* part : file.expected) EXPECT_NE(message.find(part), std::string::npos) << message;
    EXPECT_STREQ(config.lookupString("contentManager").c_str(), "http://kept");
    EXPECT_EQ(config.getSource(), "good");
  }
}

TEST_F(ConfigurationTest, KeysAreReadInlineOrFromAFileBesideTheConfiguration) {
  TempDir folder("dvl-config-keys");
  std::ofstream(folder / "service.pem") << "-----BEGIN PUBLIC KEY-----\nfromfile\n-----END PUBLIC KEY-----\n";
  std::ofstream(folder / "config.xml") << configuration("<credentialKey>service.pem</credentialKey>");
  config.loadFile(folder / "config.xml");
  EXPECT_NE(config.lookupPem("credentialKey").find("fromfile"), std::string::npos);

  config.loadString(
      configuration("<credentialKey>-----BEGIN PUBLIC KEY-----\ninline\n-----END PUBLIC KEY-----</credentialKey>"),
      "inline");
  EXPECT_NE(config.lookupPem("credentialKey").find("inline"), std::string::npos);

  config.loadString(configuration("<credentialKey>/nonexistent/key.pem</credentialKey>"), "inline");
  EXPECT_NE(raisedBy<KRNConfigurationError>([&] { config.lookupPem("credentialKey"); }).getMessage().find("/nonexistent/key.pem"),
            std::string::npos);
  EXPECT_TRUE(KRNConfiguration().lookupPem("credentialKey").empty());
}

TEST_F(ConfigurationTest, ReadersSeeWholeValuesWhileDocumentsAreApplied) {
  config.loadString(configuration("<contentManager>v0</contentManager>"), "inline");
  std::atomic<int> torn{0};
  std::thread reader([&] {
    for (int i = 0; i < 2000; ++i) {
      torn += config.lookupString("contentManager").c_str()[0] != 'v';
      torn += config.lookupElement("contentManager").text().c_str()[0] != 'v';
    }
  });
  for (int i = 1; i <= 200; ++i) config.applyDocument(queryResult({{"contentManager", {"v" + std::to_string(i)}}}));
  reader.join();
  EXPECT_EQ(torn.load(), 0);
}

// ---- the process configuration -----------------------------------------------------------------

class ProcessConfigurationTest : public testing::Test {
 protected:
  void TearDown() override {
    unsetenv(KRNConfigurationFactory::environmentVariable);
    KRNConfigurationFactory::setInstanceForTesting(nullptr);
    KRNConfigurationFactory::reset();
  }
  const std::string path = testing::TempDir() + "dvl-process.xml." + std::to_string(::getpid());
  void write(const std::string& text) { std::ofstream(path) << text; }
};

TEST_F(ProcessConfigurationTest, ReadsTheFileNamedByTheEnvironmentAndFailsUntilABadOneIsFixed) {
  write(configuration("<contentManager>http://env/cm</contentManager>"));
  setenv(KRNConfigurationFactory::environmentVariable, path.c_str(), 1);
  KRNConfigurationFactory::reset();
  IKRNConfiguration& config = KRNConfigurationFactory::getInstance();
  EXPECT_STREQ(config.lookupString("contentManager").c_str(), "http://env/cm");
  EXPECT_EQ(config.getSource(), path);

  std::remove(path.c_str());
  KRNConfigurationFactory::reset();
  std::string message = raisedBy<KRNConfigurationError>([] { KRNConfigurationFactory::getInstance(); }).getMessage();
  EXPECT_NE(message.find(path), std::string::npos) << message;
  EXPECT_NE(message.find("No such file"), std::string::npos) << message;
  write("<configuration");
  EXPECT_THROW(KRNConfigurationFactory::getInstance(), KRNConfigurationError);
  write(configuration("<contentManager>fixed</contentManager>"));
  EXPECT_STREQ(KRNConfigurationFactory::getInstance().lookupString("contentManager").c_str(), "fixed");
  std::remove(path.c_str());

  // Reset empties the same object, so references held (config) stay usable.
  setenv(KRNConfigurationFactory::environmentVariable, "", 1);
  KRNConfigurationFactory::reset();
  EXPECT_EQ(&KRNConfigurationFactory::getInstance(), &config);
  EXPECT_TRUE(config.lookupString("contentManager").empty());
  EXPECT_EQ(config.getSource(), "no file");
}

}  // namespace
