// A registry entry read from a server reply, written back for a metadata
// update, on any bytes: the root and each of its child elements are taken as
// the entry. Only the reader's errors, the documented version number error
// and the refusal of names that are no XML names may come out, and what is
// written must read again as the same elements with the same attribute
// names, under the new id and the next version.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Vantrel.XML.Tree.h"
#include "Vantrel.XML.XDSb.MTOM.h"

using namespace Vantrel;

namespace {

constexpr std::string_view ConfidentialityScheme = "urn:uuid:f4f85eac-e6cb-4883-b524-f2705394840f";

std::string_view WrittenName(const TXMLAttribute& A) {
  return {A.Prefix.Start, size_t(A.Name.Start + A.Name.Len - A.Prefix.Start)};
}

// The children that the update replaces: VersionInfo and the confidentiality
// classifications.
bool Replaced(const TXMLNode& Child) {
  if (Child.Name.Compare("VersionInfo")) return true;
  if (!Child.Name.Compare("Classification")) return false;
  const TXMLString* Scheme = Child.GetAttribute("classificationScheme");
  return Scheme && Scheme->Value() == ConfidentialityScheme;
}

// One line per element, depth first: its depth, local name and attribute
// names as written. The root's own id is left out (the copy gets a new one).
void Shape(const TXMLNode& Node, int Depth, std::string& Out) {
  Out += std::to_string(Depth) + ' ' + std::string(Node.Name.View());
  for (const TXMLAttribute& A : Node.Attrs())
    if (!(Depth == 0 && A.Prefix.Start == A.Name.Start && A.Name.Compare("id")))
      Out += ' ' + std::string(WrittenName(A));
  Out += '\n';
  for (const TXMLNode& Child : Node.Children())
    if (!Child.IsText() && !(Depth == 0 && Replaced(Child))) Shape(Child, Depth + 1, Out);
}

void Rewrite(const TXMLNode& Entry, uint32_t VisibilityBits) {
  std::string EntryText, OldVersionName, EntryId;
  std::string Expected;
  try {
    UpdatedDocumentEntry(&Entry, VisibilityBits, EntryText, OldVersionName, EntryId);
    Shape(Entry, 0, Expected);
  } catch (const std::runtime_error&) {
    return;  // no VersionInfo, a version name that is no number, a bad reference or a bad name
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
  std::string Written;
  Shape(Root, 0, Written);
  if (Written != Expected) abort();
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
