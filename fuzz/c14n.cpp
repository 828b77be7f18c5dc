// Canonical XML of any text the tree reader accepts: the document and one of
// its elements, in every mode, with an inclusive-prefix list and an Extra
// declaration. The digest must be the hash of the canonical text, and the
// writer must neither read outside the source nor fail.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Vantrel.SHA1.h"
#include "Vantrel.XML.Tree.h"
#include "Vantrel.XML.c14n.h"

using namespace Vantrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 1) return 0;
  const uint8_t Flags = Data[0];
  // A copy of exactly the input, so that any read past it is caught.
  const std::string Source(reinterpret_cast<const char*>(Data + 1), Size - 1);
  TXMLTree Tree;
  try {
    Tree.BuildFrom(Source);
  } catch (const std::exception&) {
    return 0;
  }
  TC14NOptions Options;
  Options.Exclusive = Flags & 1;
  Options.WithComments = Flags & 2;
  if (Flags & 4) Options.InclusivePrefixes = {"#default", "a", "xsi"};
  std::vector<std::string> Extra;
  if (Flags & 8) Extra = {"xmlns:a=\"urn:a&amp;b\"", "xmlns=''"};

  // An element chosen by the flags' high bits, in document order.
  PXMLNode Node = &Tree.Root();
  for (int Steps = Flags >> 4; Steps > 0 && Node; --Steps) {
    PXMLNode Next = nullptr;
    for (const TXMLNode& C : Node->Children())
      if (!C.IsText()) {
        Next = &C;
        break;
      }
    if (!Next) break;
    Node = Next;
  }

  const std::string Text = detail::C14NText(Node, Extra, Options);
  TSHA1Context C;
  SHA1Init(C);
  SHA1Update(C, Text.data(), Text.size());
  if (SHA1Final(C) != C14NNodeDigestSHA1(Node, Extra, Options)) __builtin_trap();
  (void)detail::C14NDocumentText(Source, Extra, Options);
  return 0;
}
