// The CDA renderer on any input: rendering must end in the pages or in one of
// the XML reader's documented errors, and whatever the document holds, every
// '<' of the HTML pages must open one of the renderer's own tags (document
// text never becomes markup).
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Talven.Carvelin.ClinicalDocuments.h"
#include "Vantrel.XML.Tree.h"

namespace {

constexpr std::string_view Tags[] = {
    "!DOCTYPE", "!--", "head", "meta", "title", "style", "body", "h1", "h2", "h3", "h4", "table", "tr", "th",
    "td", "strong", "br", "hr", "a", "ul", "ol", "li", "div", "span", "img", "html", "linkHtml", "sub", "sup",
    "footnote", "footnoteRef", "paragraph", "caption", "thead", "tbody", "tfoot", "colgroup", "col",
    // the plain HTML that a non-XML body in HTML keeps
    "p", "b", "i", "u", "em", "small", "code", "pre", "blockquote", "h5", "h6", "dl", "dt", "dd"};

bool KnownTag(std::string_view Name) {
  for (std::string_view T : Tags)
    if (Name == T) return true;
  return false;
}

// Every tag's name is known; a tag ends at the first '>' outside quotes and
// its attribute values hold no '<'.
void CheckPage(std::string_view Page) {
  for (size_t P = Page.find('<'); P != std::string_view::npos; P = Page.find('<', P + 1)) {
    size_t N = P + 1;
    if (N < Page.size() && Page[N] == '/') ++N;
    size_t E = N;
    while (E < Page.size() && Page[E] != ' ' && Page[E] != '>' && Page[E] != '\n') ++E;
    if (!KnownTag(Page.substr(N, E - N))) abort();
    if (Page.substr(N, 3) == "!--") {
      P = Page.find("-->", N);
      if (P == std::string_view::npos) abort();
      continue;
    }
    bool Quoted = false;
    for (; E < Page.size() && (Quoted || Page[E] != '>'); ++E) {
      if (Page[E] == '"') Quoted = !Quoted;
      if (Page[E] == '<') abort();
    }
    if (E == Page.size()) abort();
    P = E;
  }
}

Vantrel::TDateTime Clock() { return 45356.5; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  // An exact copy, so that any read past the end is caught.
  auto Copy = std::make_unique<char[]>(Size ? Size : 1);
  if (Size) std::memcpy(Copy.get(), Data, Size);
  Talven::TClinicalDocument D(Clock);
  try {
    D.Parse(std::string_view(Copy.get(), Size));
  } catch (const Vantrel::EXMLError&) {
    return 0;
  } catch (const std::runtime_error&) {
    return 0;  // a malformed character reference in a value that is shown
  }
  if (D.Version < 1) abort();
  CheckPage(D.HtmlStream);
  if (Talven::IsHtmlMediaType(D.mimeType)) CheckPage(D.NonXMLBody.Bytes());
  // Decoding on request gives the size announced by the pages.
  if (D.NonXMLBody.Bytes().size() != D.NonXMLBody.size()) abort();
  for (char C : D.mimeType)
    if (static_cast<unsigned char>(C) < 0x20 || C == 0x7F) abort();
  for (const auto& M : D.MediaList.Items())
    if (M.FName.empty() || M.Data.empty() || M.Data.Bytes().size() != M.Data.size() ||
        D.MediaList.GetMedia(M.FName) == nullptr)
      abort();
  return 0;
}
