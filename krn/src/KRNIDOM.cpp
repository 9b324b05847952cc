#include "KRNIDOM.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <mutex>

#include "KRNError.h"
#include "KRNAllocationHooks.h"

namespace KRNIDOM_detail {

// Owns the libxml2 document and every node made for it that was never linked into a tree, so that
// a node created and dropped does not leak.
struct DocumentHolder {
  explicit DocumentHolder(xmlDocPtr document) : doc(document) {}
  ~DocumentHolder() {
    // Collect the unlinked roots before freeing any: freeing one frees what hangs below it, which
    // may be another created node still in the list.
    std::vector<xmlNodePtr> roots;
    for (xmlNodePtr node : created)
      if (node->parent == nullptr) roots.push_back(node);
    for (xmlNodePtr node : roots) xmlFreeNode(node);
    xmlFreeDoc(doc);
  }
  DocumentHolder(const DocumentHolder&) = delete;
  DocumentHolder& operator=(const DocumentHolder&) = delete;

  xmlDocPtr doc;
  std::vector<xmlNodePtr> created;
  std::string name;
};

}  // namespace KRNIDOM_detail

using KRNIDOM_detail::DocumentHolder;

namespace {

xmlNodePtr N(void* node) {
  return static_cast<xmlNodePtr>(node);
}
const xmlChar* X(const char* s) {
  return reinterpret_cast<const xmlChar*>(s);
}
const char* C(const xmlChar* s) {
  return reinterpret_cast<const char*>(s);
}

// libxml2 prints some errors (running out of memory among them) through its per-thread generic
// handler, to stderr by default, whatever the parse options say; ours are raised instead.
void ignoreLibxml2Message(void*, const char*, ...) {}

void initParserOnce() {
  // xmlInitParser is not safe to run for the first time on two threads at once.
  static std::once_flag once;
  std::call_once(once, [] {
    KRN::hookXmlAllocations();
    xmlInitParser();
  });
}

[[noreturn]] void fail(const std::string& message) {
  KRNIDOM_Exception(message).raise(KRNFileLocation("KRNIDOM", 0), nullptr, "KRN_THROW");
}

std::string textOf(xmlNodePtr node) {
  xmlChar* content = xmlNodeGetContent(node);
  std::string text = content ? C(content) : "";
  xmlFree(content);
  return text;
}

bool matches(xmlNodePtr node, const char* namespaceURI, const char* localName) {
  if (node->type != XML_ELEMENT_NODE) return false;
  if (std::strcmp(localName, "*") != 0 && std::strcmp(C(node->name), localName) != 0) return false;
  if (std::strcmp(namespaceURI, "*") == 0) return true;
  if (*namespaceURI == '\0') return node->ns == nullptr || node->ns->href == nullptr || *node->ns->href == 0;
  return node->ns && node->ns->href && std::strcmp(C(node->ns->href), namespaceURI) == 0;
}

}  // namespace

// ---- KRNIDOM_Node ------------------------------------------------------------------------------

void KRNIDOM_Node::requireNotNull(const char* operation) const {
  if (m_node == nullptr) fail(std::string(operation) + " on a null node");
}

KRNIDOM_Node::NodeType KRNIDOM_Node::getNodeType() const {
  if (m_node == nullptr) return NULL_NODE;
  switch (N(m_node)->type) {
    case XML_ELEMENT_NODE:
      return ELEMENT_NODE;
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
      return TEXT_NODE;
    case XML_DOCUMENT_NODE:
      return DOCUMENT_NODE;
    default:
      return OTHER_NODE;
  }
}

std::string KRNIDOM_Node::getNodeName() const {
  switch (getNodeType()) {
    case NULL_NODE:
      return std::string();
    case TEXT_NODE:
      return "#text";
    case DOCUMENT_NODE:
      return "#document";
    default:
      break;
  }
  xmlNodePtr node = N(m_node);
  std::string name;
  if (node->type == XML_ELEMENT_NODE && node->ns && node->ns->prefix) name = std::string(C(node->ns->prefix)) + ":";
  return name + (node->name ? C(node->name) : "");
}

std::string KRNIDOM_Node::getLocalName() const {
  if (getNodeType() != ELEMENT_NODE) return std::string();
  return C(N(m_node)->name);
}

std::string KRNIDOM_Node::getNamespaceURI() const {
  if (getNodeType() != ELEMENT_NODE) return std::string();
  xmlNsPtr ns = N(m_node)->ns;
  return ns && ns->href ? C(ns->href) : "";
}

KRNIDOM_Node KRNIDOM_Node::appendChild(const KRNIDOM_Node& child) {
  requireNotNull("appendChild");
  child.requireNotNull("appendChild of a null child to");
  if (m_holder != child.m_holder) fail("appendChild: the child belongs to another document");
  xmlNodePtr parent = N(m_node);
  xmlNodePtr node = N(child.m_node);
  if (node->parent != nullptr) fail("appendChild: the child already has a parent");
  if (node->type == XML_DOCUMENT_NODE) fail("appendChild: a document cannot be a child");
  for (xmlNodePtr up = parent; up; up = up->parent)
    if (up == node) fail("appendChild: the child is an ancestor of the parent");
  if (parent->type == XML_DOCUMENT_NODE) {
    if (node->type != XML_ELEMENT_NODE) fail("appendChild: a document takes only an element");
    if (xmlDocGetRootElement(m_holder->doc) != nullptr) fail("appendChild: the document already has a root element");
    xmlDocSetRootElement(m_holder->doc, node);
    return child;
  }
  if (parent->type != XML_ELEMENT_NODE) fail("appendChild: only elements and documents take children");
  // xmlAddChild merges a text node into a text sibling and frees it; the handle would dangle.
  if (node->type == XML_TEXT_NODE && parent->last && parent->last->type == XML_TEXT_NODE) {
    xmlNodePtr spacer = parent->last;
    node->parent = parent;
    node->prev = spacer;
    spacer->next = node;
    parent->last = node;
    return child;
  }
  if (xmlAddChild(parent, node) == nullptr) fail("appendChild failed");
  return child;
}

I18NString KRNIDOM_Node::text() const {
  if (m_node == nullptr) return I18NString();
  std::string value = textOf(N(m_node));
  return I18NString(value.c_str(), nullptr, static_cast<int>(value.size()));
}

KRNIDOM_Node KRNIDOM_Node::getParentNode() const {
  if (m_node == nullptr || N(m_node)->parent == nullptr) return KRNIDOM_Node();
  return KRNIDOM_Node(m_holder, N(m_node)->parent);
}

KRNIDOM_Node KRNIDOM_Node::getFirstChild() const {
  if (m_node == nullptr || N(m_node)->type == XML_TEXT_NODE || N(m_node)->children == nullptr) return KRNIDOM_Node();
  return KRNIDOM_Node(m_holder, N(m_node)->children);
}

KRNIDOM_Node KRNIDOM_Node::getNextSibling() const {
  if (m_node == nullptr || N(m_node)->type == XML_DOCUMENT_NODE || N(m_node)->next == nullptr) return KRNIDOM_Node();
  return KRNIDOM_Node(m_holder, N(m_node)->next);
}

KRNIDOM_Document KRNIDOM_Node::getOwnerDocument() const {
  if (m_holder == nullptr) return KRNIDOM_Document();
  return KRNIDOM_Document(m_holder);
}

// ---- KRNIDOM_NodeList, KRNIDOM_Element ---------------------------------------------------------

KRNIDOM_Node KRNIDOM_NodeList::item(uint64_t index) const {
  if (index >= m_nodes.size()) return KRNIDOM_Node();
  return KRNIDOM_Node(m_holder, m_nodes[index]);
}

KRNIDOM_Element::KRNIDOM_Element(const KRNIDOM_Node& node) {
  if (node.getNodeType() == ELEMENT_NODE) {
    m_holder = node.m_holder;
    m_node = node.m_node;
  }
}

void KRNIDOM_Element::setAttribute(const char* name, const char* value) {
  requireNotNull("setAttribute");
  if (name == nullptr || *name == '\0') fail("setAttribute: empty attribute name");
  // xmlSetProp would split "xsi:type" and look the prefix up; the name is kept as written instead.
  for (xmlAttrPtr attr = N(m_node)->properties; attr; attr = attr->next) {
    if (attr->ns == nullptr && std::strcmp(C(attr->name), name) == 0) {
      xmlNodeSetContent(reinterpret_cast<xmlNodePtr>(attr), nullptr);
      xmlNodeAddContent(reinterpret_cast<xmlNodePtr>(attr), X(value ? value : ""));
      return;
    }
  }
  if (xmlNewNsProp(N(m_node), nullptr, X(name), X(value ? value : "")) == nullptr) fail("setAttribute failed");
}

std::string KRNIDOM_Element::getAttribute(const char* name) const {
  if (m_node == nullptr || name == nullptr) return std::string();
  for (xmlAttrPtr attr = N(m_node)->properties; attr; attr = attr->next) {
    std::string qualified = attr->ns && attr->ns->prefix ? std::string(C(attr->ns->prefix)) + ":" : "";
    qualified += C(attr->name);
    if (qualified == name) return textOf(reinterpret_cast<xmlNodePtr>(attr));
  }
  return std::string();
}

KRNIDOM_NodeList KRNIDOM_Element::getElementsByTagNameNS(const char* namespaceURI, const char* localName) const {
  KRNIDOM_NodeList list;
  if (m_node == nullptr) return list;
  list.m_holder = m_holder;
  const char* uri = namespaceURI ? namespaceURI : "";
  const char* name = localName ? localName : "";
  // Iterative pre-order walk: a deep document must not exhaust the stack.
  xmlNodePtr root = N(m_node);
  xmlNodePtr node = root->children;
  while (node) {
    if (matches(node, uri, name)) list.m_nodes.push_back(node);
    if (node->type == XML_ELEMENT_NODE && node->children) {
      node = node->children;
      continue;
    }
    while (node && node != root && node->next == nullptr) node = node->parent;
    if (node == nullptr || node == root) break;
    node = node->next;
  }
  return list;
}

std::vector<KRNIDOM_Element> KRNIDOM_Element::getChildElements() const {
  std::vector<KRNIDOM_Element> children;
  if (m_node == nullptr) return children;
  for (xmlNodePtr node = N(m_node)->children; node; node = node->next)
    if (node->type == XML_ELEMENT_NODE) children.push_back(KRNIDOM_Element(KRNIDOM_Node(m_holder, node)));
  return children;
}

// ---- KRNIDOM_Document --------------------------------------------------------------------------

KRNIDOM_Document::KRNIDOM_Document(std::shared_ptr<DocumentHolder> holder) {
  m_node = holder->doc;
  m_holder = std::move(holder);
}

KRNIDOM_Element KRNIDOM_Document::createElementNS(const char* namespaceURI, const char* qualifiedName) {
  requireNotNull("createElementNS");
  if (qualifiedName == nullptr || *qualifiedName == '\0') fail("createElementNS: empty name");
  const char* colon = std::strchr(qualifiedName, ':');
  std::string prefix = colon ? std::string(qualifiedName, colon) : std::string();
  const char* localName = colon ? colon + 1 : qualifiedName;
  if (*localName == '\0' || (colon && prefix.empty()))
    fail(std::string("createElementNS: bad name '") + qualifiedName + "'");
  bool hasNamespace = namespaceURI && *namespaceURI;
  if (!hasNamespace && colon)
    fail(std::string("createElementNS: prefix without a namespace in '") + qualifiedName + "'");

  xmlNodePtr node = xmlNewDocNode(m_holder->doc, nullptr, X(localName), nullptr);
  if (node == nullptr) fail("createElementNS: out of memory");
  m_holder->created.push_back(node);
  if (hasNamespace) {
    xmlNsPtr ns = xmlNewNs(node, X(namespaceURI), colon ? X(prefix.c_str()) : nullptr);
    if (ns == nullptr) fail("createElementNS: out of memory");
    xmlSetNs(node, ns);
  }
  return KRNIDOM_Element(KRNIDOM_Node(m_holder, node));
}

KRNIDOM_Element KRNIDOM_Document::createElement(const char* tagName) {
  requireNotNull("createElement");
  if (tagName == nullptr || *tagName == '\0') fail("createElement: empty name");
  xmlNodePtr node = xmlNewDocNode(m_holder->doc, nullptr, X(tagName), nullptr);
  if (node == nullptr) fail("createElement: out of memory");
  m_holder->created.push_back(node);
  return KRNIDOM_Element(KRNIDOM_Node(m_holder, node));
}

KRNIDOM_Node KRNIDOM_Document::createTextNode(const char* text) {
  requireNotNull("createTextNode");
  xmlNodePtr node = xmlNewDocText(m_holder->doc, X(text ? text : ""));
  if (node == nullptr) fail("createTextNode: out of memory");
  m_holder->created.push_back(node);
  return KRNIDOM_Node(m_holder, node);
}

KRNIDOM_Element KRNIDOM_Document::getDocumentElement() const {
  if (m_holder == nullptr) return KRNIDOM_Element();
  xmlNodePtr root = xmlDocGetRootElement(m_holder->doc);
  return root ? KRNIDOM_Element(KRNIDOM_Node(m_holder, root)) : KRNIDOM_Element();
}

std::string KRNIDOM_Document::getDocumentName() const {
  return m_holder ? m_holder->name : std::string();
}

// ---- KRNIDOM_DOMImplementation -----------------------------------------------------------------

KRNIDOM_DOMImplementation& KRNIDOM_DOMImplementation::getInstance() {
  static KRNIDOM_DOMImplementation instance;
  return instance;
}

KRNIDOM_Document KRNIDOM_DOMImplementation::createDocument(const char* namespaceURI, const char* qualifiedName,
                                                           const KRNIDOM_DocumentType&) {
  initParserOnce();
  xmlDocPtr doc = xmlNewDoc(X("1.0"));
  if (doc == nullptr) fail("createDocument: out of memory");
  auto holder = std::make_shared<DocumentHolder>(doc);
  holder->name = qualifiedName ? qualifiedName : "";
  return KRNIDOM_Document(std::move(holder));
}

namespace {

struct ParseState {
  bool sawDoctype = false;
};

void onInternalSubset(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
  auto ctxt = static_cast<xmlParserCtxtPtr>(context);
  static_cast<ParseState*>(ctxt->_private)->sawDoctype = true;
  // Stop before any declaration of the subset is read: no entity is ever defined.
  xmlStopParser(ctxt);
}

}  // namespace

KRNIDOM_Document KRNIDOM_DOMImplementation::parse(const char* data, size_t length, const char* sourceName) {
  initParserOnce();
  xmlSetGenericErrorFunc(nullptr, &ignoreLibxml2Message);
  std::string source = sourceName ? sourceName : "XML text";
  if (length > static_cast<size_t>(INT32_MAX)) fail("'" + source + "' is too large");
  const long failedBefore = KRN::failedAllocations();
  xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
  if (ctxt == nullptr) KRN::raiseOutOfMemory(KRNFileLocation("KRNIDOM", 0));
  ParseState state;
  ctxt->_private = &state;
  ctxt->sax->internalSubset = onInternalSubset;
  ctxt->sax->externalSubset = nullptr;
  xmlDocPtr doc = xmlCtxtReadMemory(ctxt, data ? data : "", static_cast<int>(length), nullptr, nullptr,
                                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  std::string error;
  if (state.sawDoctype) {
    error = "'" + source + "': a document type declaration is not allowed";
  } else if (doc == nullptr || !ctxt->wellFormed) {
    xmlErrorPtr last = xmlCtxtGetLastError(ctxt);
    error = "'" + source + "'";
    if (last && last->line > 0) error += " line " + std::to_string(last->line);
    std::string reason = last && last->message ? last->message : "not well-formed XML";
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
    error += ": " + reason;
  }
  xmlFreeParserCtxt(ctxt);
  // libxml2 reports running out of memory as whatever its parse was doing when it happened, or not
  // at all: a text it could not store is dropped and the document still comes back well-formed.
  if (KRN::failedAllocations() != failedBefore) {
    if (doc) xmlFreeDoc(doc);
    KRN::raiseOutOfMemory(KRNFileLocation("KRNIDOM", 0));
  }
  if (!error.empty()) {
    if (doc) xmlFreeDoc(doc);
    fail(error);
  }
  auto holder = std::make_shared<DocumentHolder>(doc);
  holder->name = source;
  return KRNIDOM_Document(std::move(holder));
}

// ---- KRNIDOM_Helper ----------------------------------------------------------------------------

I18NString KRNIDOM_Helper::getElementText(const KRNIDOM_Element& element) {
  return element.text();
}

std::string KRNIDOM_Helper::serialize(const KRNIDOM_Node& node) {
  if (node.isNull()) return std::string();
  xmlSetGenericErrorFunc(nullptr, &ignoreLibxml2Message);
  xmlNodePtr raw = static_cast<xmlNodePtr>(node.getRawNode());
  if (raw->type == XML_DOCUMENT_NODE) {
    xmlChar* text = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(reinterpret_cast<xmlDocPtr>(raw), &text, &size, "UTF-8");
    if (text == nullptr) KRN::raiseOutOfMemory(KRNFileLocation("KRNIDOM", 0));  // its only failure
    std::string out(C(text), static_cast<size_t>(size));
    xmlFree(text);
    return out;
  }
  xmlBufferPtr buffer = xmlBufferCreate();
  if (buffer == nullptr) KRN::raiseOutOfMemory(KRNFileLocation("KRNIDOM", 0));
  if (xmlNodeDump(buffer, raw->doc, raw, 0, 0) < 0) {
    xmlBufferFree(buffer);
    KRN::raiseOutOfMemory(KRNFileLocation("KRNIDOM", 0));
  }
  std::string out(C(xmlBufferContent(buffer)), static_cast<size_t>(xmlBufferLength(buffer)));
  xmlBufferFree(buffer);
  return out;
}
