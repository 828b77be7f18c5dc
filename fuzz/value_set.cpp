// A value set file dropped in the working folder, or an archive of them, on
// any bytes: loading may only raise the unit's own error or the tree
// reader's; the lookups never raise, and a found code comes with its OID.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Talven.Carvelin.ValueSets.h"
#include "Vantrel.XML.Tree.h"

using namespace Talven;

namespace {

constexpr std::string_view EntryName = "JDV_Fuzz.xml";

void LookUp(const TResourceXML& Set) {
  std::string OID, Label, Target;
  for (std::string_view Code : {"", "1", "10", "SAGE", "N", "R", "V", "MASQUE_PS"}) {
    if (Set.GetCode(Code, OID, Label) && OID.empty()) abort();
    (void)Set.GetLibelle(Code, OID);
    (void)Set.GetLibelle(Code, "1.2.250.1.213.1.1.4.13");
    (void)Set.Correspondance(Code, Target);
  }
  // The codes actually present, so that the found branches are reached.
  for (const Vantrel::TXMLNode* Concept : Set.GetConcepts()) {
    for (const Vantrel::TXMLAttribute& A : Concept->Attrs()) {
      const std::string_view Raw = A.Value.View();
      if (Set.GetCode(Raw, OID, Label) && OID.empty()) abort();
      (void)Set.GetLibelle(Raw, OID);
      (void)Set.Correspondance(Raw, Target);
    }
  }
}

template <typename F>
void Load(F&& Read) {
  TResourceXML Set;
  try {
    Read(Set);
  } catch (const EResourceXMLError&) {
    return;
  } catch (const Vantrel::EXMLError&) {
    return;
  }
  LookUp(Set);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view Bytes(reinterpret_cast<const char*>(Data), Size);
  Load([&](TResourceXML& Set) { Set.LoadFromStream(std::string(Bytes)); });
  Load([&](TResourceXML& Set) { Set.UnzipFromStream(std::string(EntryName), Bytes); });
  return 0;
}
