/// \file
/// A small namespace-aware DOM over libxml2. Nodes, elements, documents and lists are handles: each
/// shares ownership of the document it belongs to, so copies are cheap and a handle stays valid after
/// the document handle that made it is gone. A document is not locked: threads may read one
/// document at once, but one that is being changed belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "I18NString.h"
#include "KRNThrowable.h"

namespace KRNIDOM_detail {
struct DocumentHolder;
}

/// A misuse of the DOM (an operation on a null node, a second root element) or a document that
/// cannot be read. The message names the operation, or the source and line of a parse error.
class KRN_EXPORT KRNIDOM_Exception : public KRNThrowable {
 public:
  /// An exception with message.
  explicit KRNIDOM_Exception(std::string message) : KRNThrowable(std::move(message)) {}
  KRN_THROWABLE_BODY(KRNIDOM_Exception)
};

class KRNIDOM_Document;
class KRNIDOM_Element;

/// A handle to a node of a document; handles share the document, which lives while one does.
class KRN_EXPORT KRNIDOM_Node {
 public:
  /// The kinds of node, numbered as in DOM Level 2.
  enum NodeType { NULL_NODE = 0, ELEMENT_NODE = 1, TEXT_NODE = 3, DOCUMENT_NODE = 9, OTHER_NODE = 99 };

  /// The null node.
  KRNIDOM_Node() = default;

  /// True for the null node.
  bool isNull() const { return m_node == nullptr; }
  /// The node's kind; NULL_NODE for the null node.
  NodeType getNodeType() const;
  /// The qualified name of an element ("zpx:queryResult"), "#text", "#document"; empty for null.
  std::string getNodeName() const;
  /// The local name and namespace URI of an element; empty when it has none.
  std::string getLocalName() const;
  /// The namespace URI of an element; empty when it has none.
  std::string getNamespaceURI() const;

  /// Appends child (a node of the same document that has no parent yet) and returns it. A document
  /// takes one element, which becomes its root.
  KRNIDOM_Node appendChild(const KRNIDOM_Node& child);
  /// The concatenated text of every text node below, in document order.
  I18NString text() const;

  /// The parent; the null node when there is none.
  KRNIDOM_Node getParentNode() const;
  /// The first child; the null node when there is none.
  KRNIDOM_Node getFirstChild() const;
  /// The next sibling; the null node when there is none.
  KRNIDOM_Node getNextSibling() const;
  /// The document the node belongs to.
  KRNIDOM_Document getOwnerDocument() const;

  /// Two handles to the same node.
  bool operator==(const KRNIDOM_Node& other) const { return m_node == other.m_node; }
  /// Handles to different nodes.
  bool operator!=(const KRNIDOM_Node& other) const { return m_node != other.m_node; }

  /// The libxml2 node (xmlNodePtr); for code of the runtime that needs libxml2 itself.
  void* getRawNode() const { return m_node; }

 protected:
  /// A handle to node, keeping its document alive.
  KRNIDOM_Node(std::shared_ptr<KRNIDOM_detail::DocumentHolder> holder, void* node)
      : m_holder(std::move(holder)), m_node(node) {}
  /// Raises KRNIDOM_Exception naming operation when this is the null node.
  void requireNotNull(const char* operation) const;

  std::shared_ptr<KRNIDOM_detail::DocumentHolder> m_holder;
  void* m_node = nullptr;

  friend class KRNIDOM_Document;
  friend class KRNIDOM_Element;
  friend class KRNIDOM_DOMImplementation;
  friend class KRNIDOM_NodeList;
};

/// The nodes an element search found, in document order; a snapshot that later changes to the
/// document do not alter.
class KRN_EXPORT KRNIDOM_NodeList {
 public:
  KRNIDOM_NodeList() = default;
  /// Number of nodes.
  uint64_t getLength() const { return m_nodes.size(); }
  /// The node at index, or the null node when index is out of range.
  KRNIDOM_Node item(uint64_t index) const;

 private:
  std::shared_ptr<KRNIDOM_detail::DocumentHolder> m_holder;
  std::vector<void*> m_nodes;
  friend class KRNIDOM_Element;
};

/// An element node.
class KRN_EXPORT KRNIDOM_Element : public KRNIDOM_Node {
 public:
  KRNIDOM_Element() = default;
  /// The node as an element; the null element when node is null or not an element.
  explicit KRNIDOM_Element(const KRNIDOM_Node& node);

  /// Sets a plain attribute: name is taken as written, "xsi:type" included, with no namespace lookup.
  void setAttribute(const char* name, const char* value);
  /// Sets a plain attribute, as above.
  void setAttribute(const I18NString& name, const I18NString& value) { setAttribute(name.c_str(), value.c_str()); }
  /// The attribute's value, empty when absent.
  std::string getAttribute(const char* name) const;
  /// Every element below this one (at any depth, not this one itself) whose namespace URI and local
  /// name match; "*" matches any. An empty namespace URI matches elements in no namespace.
  KRNIDOM_NodeList getElementsByTagNameNS(const char* namespaceURI, const char* localName) const;
  /// The matching elements below this one, as above.
  KRNIDOM_NodeList getElementsByTagNameNS(const I18NString& namespaceURI, const I18NString& localName) const {
    return getElementsByTagNameNS(namespaceURI.c_str(), localName.c_str());
  }
  /// The child elements, in order.
  std::vector<KRNIDOM_Element> getChildElements() const;
};

/// The document type argument of createDocument; only the empty one exists.
class KRN_EXPORT KRNIDOM_DocumentType {
 public:
  KRNIDOM_DocumentType() = default;
};

/// A document: makes its nodes.
class KRN_EXPORT KRNIDOM_Document : public KRNIDOM_Node {
 public:
  KRNIDOM_Document() = default;

  /// An element in a namespace. A prefix in qualifiedName ("zpx:queryResult") is declared on the
  /// element for namespaceURI; an empty namespaceURI makes an element in no namespace.
  KRNIDOM_Element createElementNS(const char* namespaceURI, const char* qualifiedName);
  /// An element in a namespace, as above.
  KRNIDOM_Element createElementNS(const I18NString& namespaceURI, const I18NString& qualifiedName) {
    return createElementNS(namespaceURI.c_str(), qualifiedName.c_str());
  }
  /// An element in no namespace.
  KRNIDOM_Element createElement(const char* tagName);
  /// An element in no namespace.
  KRNIDOM_Element createElement(const I18NString& tagName) { return createElement(tagName.c_str()); }
  /// A text node holding a copy of text.
  KRNIDOM_Node createTextNode(const char* text);
  /// A text node holding a copy of text.
  KRNIDOM_Node createTextNode(const I18NString& text) { return createTextNode(text.c_str()); }
  /// The root element, null while there is none.
  KRNIDOM_Element getDocumentElement() const;
  /// The name given to createDocument.
  std::string getDocumentName() const;

 private:
  explicit KRNIDOM_Document(std::shared_ptr<KRNIDOM_detail::DocumentHolder> holder);
  friend class KRNIDOM_DOMImplementation;
  friend class KRNIDOM_Node;
};

/// Makes and reads documents.
class KRN_EXPORT KRNIDOM_DOMImplementation {
 public:
  /// The single instance.
  static KRNIDOM_DOMImplementation& getInstance();

  /// An empty document. Unlike DOM Level 2 no root element is made: qualifiedName only names the
  /// document, and the first element appended to it becomes its root. namespaceURI is kept for
  /// that name only.
  KRNIDOM_Document createDocument(const char* namespaceURI, const char* qualifiedName,
                                  const KRNIDOM_DocumentType& doctype);
  /// An empty document, as above.
  KRNIDOM_Document createDocument(const I18NString& namespaceURI, const I18NString& qualifiedName,
                                  const KRNIDOM_DocumentType& doctype) {
    return createDocument(namespaceURI.c_str(), qualifiedName.c_str(), doctype);
  }

  /// Reads a document from text. Refuses a document type declaration, never resolves entities
  /// and never reaches the network; sourceName appears in error messages. Raises KRNIDOM_Exception.
  KRNIDOM_Document parse(const char* data, size_t length, const char* sourceName);

 private:
  KRNIDOM_DOMImplementation() = default;
};

/// Static services over elements and nodes.
class KRN_EXPORT KRNIDOM_Helper {
 public:
  /// The text content of an element (every text below it, concatenated); empty for a null element.
  static I18NString getElementText(const KRNIDOM_Element& element);
  /// The node and everything below it as XML text, for diagnostics and tests.
  static std::string serialize(const KRNIDOM_Node& node);
};
