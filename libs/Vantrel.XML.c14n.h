// Canonical XML digests of a parsed element.
//
// The canonical form of an element of a TXMLTree (W3C Canonical XML 1.0,
// inclusive, or Exclusive XML Canonicalization 1.0, with or without
// comments) is written straight into a SHA-1 or SHA-256 context: the text is
// never built in memory. Names, raw text runs and attribute values go to the
// hash from the source slices; the only memory used grows with the depth of
// the element and the attributes of one start tag, never with the document.
// The input is expected to have no DTD (only the five predefined entities
// and character references are known); markup that is not well-formed never
// makes the writer read outside the tree's source or fail, it just gives a
// form no verifier will reproduce.
//
// Extra: the namespace declarations the element inherits in its final
// document, each a whole attribute text such as xmlns:ds="http://..." (or
// xmlns="..." for the default namespace); they are in scope at the element
// as if declared on an ancestor. The element's own ancestors in the tree,
// when it has any, count as well and come closer than Extra.
//
// Nothing is shared: each call uses its own context on the caller's stack.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Vantrel.XML.Tree.h"

namespace Vantrel {

struct TC14NOptions {
  bool Exclusive = false;     // Exclusive XML Canonicalization 1.0, else Canonical XML 1.0
  bool WithComments = false;  // the #WithComments variants
  // Exclusive only: prefixes rendered as the inclusive form would (the
  // InclusiveNamespaces PrefixList); "#default" stands for the default namespace.
  std::vector<std::string> InclusivePrefixes;
};

// Digests of the canonical form of Node (an element; a text node is written
// as text). Byte arrays are std::string holding the bytes: 20 for SHA-1, 32
// for SHA-256. Extra entries that are not a quoted xmlns attribute raise
// std::invalid_argument.
std::string C14NNodeDigestSHA1(PXMLNode Node, const std::vector<std::string>& Extra = {},
                               const TC14NOptions& Options = {});
std::string C14NNodeDigestSHA256(PXMLNode Node, const std::vector<std::string>& Extra = {},
                                 const TC14NOptions& Options = {});
std::string C14NNodeDigestBase64(PXMLNode Node, const std::vector<std::string>& Extra = {},
                                 const TC14NOptions& Options = {});  // SHA-1, Base64

// The same for a whole XML text, parsed first: its root element, and the
// comments and processing instructions around it as C14N writes a document
// (the XML declaration takes no part). Parse errors of TXMLTree pass to the
// caller.
std::string C14NDigestSHA1(std::string_view XML, const std::vector<std::string>& Extra = {},
                           const TC14NOptions& Options = {});
std::string C14NDigestSHA256(std::string_view XML, const std::vector<std::string>& Extra = {},
                             const TC14NOptions& Options = {});
std::string C14NDigestBase64(std::string_view XML, const std::vector<std::string>& Extra = {},
                             const TC14NOptions& Options = {});  // SHA-1, Base64

namespace detail {
// The canonical text itself, for tests and diagnostics.
std::string C14NText(PXMLNode Node, const std::vector<std::string>& Extra = {},
                     const TC14NOptions& Options = {});
std::string C14NDocumentText(std::string_view XML, const std::vector<std::string>& Extra = {},
                             const TC14NOptions& Options = {});
}  // namespace detail

}  // namespace Vantrel
