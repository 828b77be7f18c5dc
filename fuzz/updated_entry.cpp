// A registry entry read from a server reply, written back for a metadata
// update, on any bytes: the root and each of its child elements are taken as
// the entry. Only the reader's errors and the documented version number
// error may come out, and what is written must read again as one element
// of the same name carrying the new id and the next version.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Vantrel.XML.Tree.h"
#include "Vantrel.XML.XDSb.MTOM.h"

using namespace Vantrel;

namespace {

void Rewrite(const TXMLNode& Entry, uint32_t VisibilityBits) {
  std::string EntryText, OldVersionName, EntryId;
  try {
    UpdatedDocumentEntry(&Entry, VisibilityBits, EntryText, OldVersionName, EntryId);
  } catch (const std::runtime_error&) {
    return;  // no VersionInfo, a version name that is no number, or a bad character reference
  }
  TXMLTree Again;
  try {
    Again.Build(EntryText);
  } catch (const EXMLError&) {
    abort();
  }
  const TXMLNode& Root = Again.Root();
  if (Root.Name.View() != Entry.Name.View() || Root.Prefix.View() != "ns2") abort();
  const TXMLString* Id = Again.XPathAttr("@id");
  if (!Id || Id->View() != EntryId) abort();
  if (!Root.GetChild("VersionInfo")) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 1) return 0;
  // The first byte chooses the visibility (its low four bits), the rest is the reply.
  const uint32_t VisibilityBits = Data[0] & 0x0F;
  TXMLTree Tree;
  try {
    Tree.BuildFrom(reinterpret_cast<const char*>(Data) + 1, Size - 1);
  } catch (const EXMLError&) {
    return 0;
  }
  Rewrite(Tree.Root(), VisibilityBits);
  for (const TXMLNode& Child : Tree.Root().Children())
    if (!Child.IsText()) Rewrite(Child, VisibilityBits);
  return 0;
}
