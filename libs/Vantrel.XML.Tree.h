// Zero-copy XML tree reader with a slash-path selector.
//
// The reader turns XML text into a tree of slices: every name, attribute
// value and text of the tree is a pointer and a length into the source text,
// and the tree is valid only while that source text is alive and unchanged
// (Build keeps its own copy; BuildFrom does not). Nothing is decoded while
// parsing: character references are decoded when a value is asked for, and
// line ends and attribute white space keep their source bytes (the
// normalisations of XML 1.0 §2.11 and §3.3.3 are the caller's). A run of text
// between two pieces of markup made only of TAB, LF, CR and space is no node.
//
// It is not a validating parser and knows nothing of DTDs or schemas; every
// name test compares local names only (prefixes ignored), the first match
// wins, and a prefix is resolved to a namespace URI only on request.
//
// Bounds: the source is at most 2^31-1 bytes, elements nest at most
// XMLMaxDepth deep, every read checks the end of the text; a path given to the
// selector is parsed whole before it is matched, and every walk (selector,
// search, serializer) uses loops or explicit stacks, never recursion over the
// input's depth.
//
// A lookup answers nullptr for a missing node: test it before calling on it,
// or reach deep nodes in one step with XPathNode / GetChildAt, which answer
// nullptr as soon as a step is missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Vantrel.DateTime.h"

namespace Vantrel {

// Deepest element nesting accepted by the parser.
inline constexpr int XMLMaxDepth = 4096;

// Freed trees leave their storage, up to this many bytes in all, for the next
// builds on any thread, so that reading many documents does not make the C
// library give pages back and take them again (the tree of a 1.5 MB
// markup-dense document takes about 4.3 MB). The rest goes back at once.
inline constexpr size_t XMLTreeCacheLimit = size_t(8) << 20;

// The bytes kept now for the next builds (at most XMLTreeCacheLimit).
size_t XMLTreeCachedBytes();

// ---------------------------------------------------------------------------
// Exceptions

class EXMLError : public std::exception {
 public:
  EXMLError(std::string Message, const char* ASource, int32_t AIndex)
      : FMessage(std::move(Message)), Source(ASource), Index(AIndex) {}
  const char* what() const noexcept override { return FMessage.c_str(); }
  const std::string& Message() const { return FMessage; }

 private:
  std::string FMessage;

 public:
  const char* Source;  // the parsed text
  int32_t Index;       // 0-based byte offset in Source
};

// A non-empty text that holds no '<': "Not an XML string".
class EXMLNotXMLError : public EXMLError {
 public:
  using EXMLError::EXMLError;
};

// The text ends inside a tag, a processing instruction, a comment, a CDATA
// section or an attribute value: "Unexpected end of XML".
class EXMLEndOfXMLError : public EXMLError {
 public:
  using EXMLError::EXMLError;
};

// A required '>', '=' or quote is missing: "Expected string not found".
class EXMLExpectedStringNotFoundError : public EXMLError {
 public:
  EXMLExpectedStringNotFoundError(std::string Message, const char* ASource, int32_t AIndex,
                                  std::string AExpected)
      : EXMLError(std::move(Message), ASource, AIndex), Expected(std::move(AExpected)) {}
  std::string Expected;
};

// An end tag that does not close the open element: "Unexpected closing tag \"/b\"".
class EXMLUnexpectedClosingTagError : public EXMLError {
 public:
  using EXMLError::EXMLError;
};

// The text ends before an element's end tag: "Expected tag \"/a\" not found".
class EXMLExpectedClosingTagNotFoundError : public EXMLError {
 public:
  using EXMLError::EXMLError;
};

// A malformed selector path. Index is 1-based in Path.
class EXPathError : public std::exception {
 public:
  EXPathError(std::string Message, std::string APath, int32_t AIndex)
      : FMessage(std::move(Message)), Path(std::move(APath)), Index(AIndex) {}
  const char* what() const noexcept override { return FMessage.c_str(); }
  const std::string& Message() const { return FMessage; }

 private:
  std::string FMessage;

 public:
  std::string Path;
  int32_t Index;
};

// Value readers raise std::runtime_error with "Invalid numeric character",
// "Invalid date " + text, "Invalid date/time " + text, "Invalid argument to
// date encode" (an impossible date) and "'" + text + "' is not a valid
// integer value" (TXMLString::AsInteger).

// ---------------------------------------------------------------------------
// Slices

// A slice of the source text. Start == nullptr is the nil slice (an absent
// value); Len 0 with a Start is an empty one. Start is stored on 4-byte
// alignment so that a slice takes 12 bytes (trees hold millions of them).
struct TXMLString {
  [[gnu::packed]] const char* Start = nullptr;
  int32_t Len = 0;

  bool IsNil() const { return Start == nullptr; }
  std::string_view View() const { return Start ? std::string_view(Start, size_t(Len)) : std::string_view(); }

  int Pos(char Ch) const;  // 0-based, -1 when absent
  // Splits a qualified name at its first ':': Prefix gets what comes before
  // and this slice keeps what follows; without ':' Prefix is empty (Start at
  // this slice) and this slice is unchanged.
  void GetPrefix(TXMLString& Prefix);
  bool StartWith(std::string_view AStr, int AOffset = 0) const;
  bool Compare(std::string_view AStr) const;  // false for nil; case-sensitive
  bool Equals(const TXMLString& AName) const { return Compare(AName.View()); }
  bool Match(std::string_view AStr) const { return Compare(AStr); }
  bool iMatch(std::string_view AStr) const;  // ASCII letters without case

  std::string RawValue() const { return std::string(View()); }
  std::string Value() const;      // references decoded, numeric ones as UTF-8
  std::string AnsiValue() const;  // references decoded, numeric ones as one byte ('?' above 255)
  int AsInteger() const;          // decoded value as a 32-bit integer; raises on bad text; 0 for nil
  // 0 for nil or empty. Read, in this order, as the compact HL7 v3 form
  // yyyymmdd[hh[mm[ss]]] (8 to 14 digits; 12 or 14 digits may be followed by
  // +hhmm or -hhmm, the instant then being shown in local time), as hh:nn:ss,
  // or as yyyy-mm-dd with an optional "Thh:nn:ss" or " hh:nn:ss" (what follows
  // the seconds is not read). Raises "Invalid date " / "Invalid date/time " + text.
  TDateTime AsDateTime() const;
};

// Decodes the five predefined entities and numeric character references of S
// (XML 1.0 §4.1, §4.6). Numeric references become UTF-8 when UTF8 is set,
// else one byte ('?' for a code point above 255). Unknown references are kept
// as written. Raises std::runtime_error("Invalid numeric character").
void XMLDecodeEntities(std::string_view S, bool UTF8, std::string& Result);

// The same decoding (numeric references as UTF-8) for values that may hold a
// stray '&' (form fields): a numeric reference that is not well-formed
// ("&#" decimal digits ";" or "&#x" hexadecimal digits ";", naming a
// character that XML allows, XML 1.0 §2.2 and §4.1) is kept as written.
// Never raises.
std::string XMLDecodeEntitiesKeepingMalformed(std::string_view S);

// The length of the predefined entity reference or well-formed character
// reference (as above) that S starts with, '&' included; 0 when none.
size_t XMLReferenceLength(std::string_view S);

// True when S is an XML name without ':' (Namespaces in XML 1.0 §3 NCName,
// over the XML 1.0 fifth edition name characters), in well-formed UTF-8.
bool IsNCName(std::string_view S);

struct TXMLAttribute {
  TXMLString Prefix;  // before the first ':' (empty, Start at the name, when none)
  TXMLString Name;    // local name
  TXMLString Value;   // raw, references not decoded

  std::string FullName() const;  // "prefix:name" or "name"
  bool IsNamespace() const;      // "xmlns" or "xmlns:..."
};

struct TXMLNode;
using PXMLNode = const TXMLNode*;
using TNodeProc = std::function<void(PXMLNode)>;
using TFilterNodeProc = std::function<PXMLNode(PXMLNode)>;

// An element, or a text node (Name.Len == 0: text between tags or a CDATA
// section). For an element, Text is its whole content between the start tag's
// '>' and the end tag's '<' (child markup included); Len 0 for <a/>. A CDATA
// section's text holds no references: its Value is its text as written.
struct TXMLNode {
  TXMLString Prefix;
  TXMLString Name;
  TXMLString Text;
  PXMLNode Parent = nullptr;

  std::span<const TXMLAttribute> Attrs() const {
    return {reinterpret_cast<const TXMLAttribute*>(reinterpret_cast<const char*>(FChildren) - AttrBytes(FAttrCount)),
            size_t(FAttrCount)};
  }
  std::span<const TXMLNode> Children() const { return {FChildren, size_t(FChildCount)}; }
  bool IsText() const { return Name.Len == 0; }
  bool IsCDATA() const { return IsText() && Prefix.Start != nullptr; }  // Prefix marks the section

  int Length() const { return FChildCount; }
  PXMLNode LastChild() const;
  PXMLNode GetParent() const { return Parent; }
  PXMLNode Sibling() const;  // next node of the parent's children

  PXMLNode GetChild(std::string_view AName) const;
  bool HasChild(std::string_view AName, PXMLNode& AChild) const;
  PXMLNode GetNthChild(std::string_view AName, int ANth) const;  // 1-based; below 1 counts as 1
  bool HasNthChild(std::string_view AName, int ANth, PXMLNode& AChild) const;
  PXMLNode GetChildNS(std::string_view AName, std::string_view ANamespace) const;
  PXMLNode GetNthChildNS(std::string_view AName, std::string_view ANamespace, int ANth) const;
  PXMLNode GetChildAt(std::span<const std::string_view> APath) const;
  PXMLNode GetChildAt(std::initializer_list<std::string_view> APath) const {
    return GetChildAt(std::span<const std::string_view>(APath.begin(), APath.size()));
  }
  bool HasChildAt(std::span<const std::string_view> APath, PXMLNode& AChild) const;
  bool HasChildAt(std::initializer_list<std::string_view> APath, PXMLNode& AChild) const {
    return HasChildAt(std::span<const std::string_view>(APath.begin(), APath.size()), AChild);
  }
  std::vector<PXMLNode> GetChilds(std::string_view AName) const;
  std::vector<PXMLNode> GetChildsNS(std::string_view AName, std::string_view ANamespace) const;
  // The Nth (1-based) node named AName in document order, this node counted first.
  PXMLNode Search(std::string_view AName, int Nth = 1) const;

  // The raw value of the first attribute with local name AName, nullptr when none.
  const TXMLString* GetAttribute(std::string_view AName) const;
  bool HasAttribute(std::string_view AName, const TXMLString*& AAttr) const;
  // Decoded value of the attribute AName with prefix APrefix ("" = none); "" when absent.
  std::string GetAttributeNS(std::string_view AName, std::string_view APrefix) const;

  // The namespace helpers never raise: a URI holding a malformed reference is
  // taken as written.
  std::string Namespace() const;
  std::string ResolveNS(std::string_view APrefix) const;
  bool Match(std::string_view AName, std::string_view ANamespace) const;
  std::string AttrNamespace(const TXMLAttribute& Attr) const;
  std::string AttrFullName(const TXMLAttribute& Attr) const;

  std::string FullName() const;  // "prefix:name", "name", or the decoded text of a text node
  std::string FullPath() const;  // FullNames from the root, joined by '/'
  std::string_view FullTag() const;  // the start tag as written
  std::string CloseTag() const;      // "</" FullName ">"
  std::string FullText() const;      // the element as written (start tag alone for <a/>)

  std::string Value() const { return IsCDATA() ? Text.RawValue() : Text.Value(); }
  std::string AnsiValue() const { return IsCDATA() ? Text.RawValue() : Text.AnsiValue(); }
  TDateTime AsDateTime() const { return Text.AsDateTime(); }
  int AsInteger() const;  // optional '-' and decimal digits; anything else gives 0

  // Relative path (a leading '/' skipped); this node for an empty path.
  // Raises EXPathError for a malformed path.
  PXMLNode XPathNode(std::string_view APath) const;
  PXMLNode getElementById(std::string_view ID) const;  // first descendant with ID="..."

  void ForEach(const TNodeProc& Proc) const;
  void ForEachChild(std::string_view AName, const TNodeProc& Proc) const;
  void ForEachChildPath(std::string_view AName, std::string_view APath, const TNodeProc& Proc) const;
  void ForEachFilter(const TFilterNodeProc& Filter, const TNodeProc& Proc) const;
  std::vector<PXMLNode> Filter(const TFilterNodeProc& Proc) const;

 private:
  friend class TXMLTree;
  // The attributes and the children of a node share one block: the
  // attributes, padded to pointer alignment, then the children, at FChildren.
  static constexpr size_t AttrBytes(int32_t Count) {
    return (size_t(Count) * sizeof(TXMLAttribute) + alignof(TXMLNode) - 1) & ~(alignof(TXMLNode) - 1);
  }
  const TXMLNode* FChildren = nullptr;
  int32_t FAttrCount = 0;
  int32_t FChildCount = 0;
};

// ---------------------------------------------------------------------------
// Null-safe readers, for answers in which any node may be missing: each takes
// a node that may be nullptr and answers nullptr, "" or an empty list for a
// missing node or attribute, so that a chain of lookups needs no test between
// its steps. Values are decoded unless the name says Raw.

inline PXMLNode ChildOf(PXMLNode Node, std::string_view Name) { return Node ? Node->GetChild(Name) : nullptr; }
inline PXMLNode ChildAt(PXMLNode Node, std::initializer_list<std::string_view> Path) {
  return Node ? Node->GetChildAt(Path) : nullptr;
}
// Raises EXPathError for a malformed selector, as TXMLNode::XPathNode.
inline PXMLNode XPathNodeOf(PXMLNode Node, std::string_view Selector) {
  return Node ? Node->XPathNode(Selector) : nullptr;
}
inline std::vector<PXMLNode> ChildrenOf(PXMLNode Node, std::string_view Name) {
  return Node ? Node->GetChilds(Name) : std::vector<PXMLNode>();
}
inline const TXMLString* AttributeOf(PXMLNode Node, std::string_view Name) {
  return Node ? Node->GetAttribute(Name) : nullptr;
}
inline std::string AttributeValueOf(PXMLNode Node, std::string_view Name) {
  const TXMLString* A = AttributeOf(Node, Name);
  return A ? A->Value() : std::string();
}
inline std::string_view RawAttributeOf(PXMLNode Node, std::string_view Name) {
  const TXMLString* A = AttributeOf(Node, Name);
  return A ? A->View() : std::string_view();
}
inline std::string TextOf(PXMLNode Node) { return Node ? Node->Value() : std::string(); }
inline std::string_view RawTextOf(PXMLNode Node) { return Node ? Node->Text.View() : std::string_view(); }

// ---------------------------------------------------------------------------
// Tree

class TXMLTree {
 public:
  TXMLTree();
  ~TXMLTree();
  TXMLTree(TXMLTree&&) noexcept;
  TXMLTree& operator=(TXMLTree&&) noexcept;
  TXMLTree(const TXMLTree&) = delete;
  TXMLTree& operator=(const TXMLTree&) = delete;

  // Each build replaces the previous tree (its node pointers become invalid).
  void Build(std::string AText);  // keeps its own copy of the text
  void BuildFrom(const char* AText, size_t ALen);  // the text must outlive the tree
  void BuildFrom(std::string_view AText) { BuildFrom(AText.data(), AText.size()); }
  // A fragment with any number of top-level elements: they become the
  // children of Root, whose Name stays empty and whose Text spans the input.
  void BuildMultiRoot(const char* AText, size_t ALen);
  void BuildMultiRoot(std::string_view AText) { BuildMultiRoot(AText.data(), AText.size()); }

  const TXMLNode& Root() const;
  const TXMLNode& xml() const;  // the "<?xml ...?>" prolog's attributes (Name "?xml")
  bool StyleSheet() const;      // an "xml-stylesheet" processing instruction was met
  const std::string& Text() const;  // the text kept by Build, else empty
  std::string_view Source() const;  // the parsed text

  // APath[0] is the root's local name, each next one the first child so named.
  PXMLNode GetNodeAt(std::span<const std::string_view> APath) const;
  PXMLNode GetNodeAt(std::initializer_list<std::string_view> APath) const {
    return GetNodeAt(std::span<const std::string_view>(APath.begin(), APath.size()));
  }
  bool HasNodeAt(std::span<const std::string_view> APath, PXMLNode& ANode) const;
  bool HasNodeAt(std::initializer_list<std::string_view> APath, PXMLNode& ANode) const {
    return HasNodeAt(std::span<const std::string_view>(APath.begin(), APath.size()), ANode);
  }
  // Absolute path whose first step is matched against the root element.
  PXMLNode XPathNode(std::string_view APath) const;
  // "path/@attr" or "@attr" (of the root): the raw value slice, nullptr when missing.
  const TXMLString* XPathAttr(std::string_view APath) const;

  // An indented rendering of Root for display: one entry per line, one space
  // per level, values decoded and not escaped again.
  void Indent(std::vector<std::string>& Lines) const;

 private:
  struct TState;
  class TParser;
  void Load(std::unique_ptr<TState> AState, bool MultiRoot);
  std::unique_ptr<TState> FState;
};

// ---------------------------------------------------------------------------
// Depth-first search by local name, with an explicit stack.

struct TXMLSearch {
  struct TSearchNode {
    PXMLNode Node = nullptr;
    int Child = 0;
  };
  std::string Name;
  std::vector<TSearchNode> Stack;
  int Depth = -1;
  PXMLNode Node = nullptr;

  bool FindFirst(const TXMLTree& ATree, std::string_view AName);
  bool FindNode(PXMLNode AStart, std::string_view AName);
  bool FindNext();
  void FindClose();
};

}  // namespace Vantrel
