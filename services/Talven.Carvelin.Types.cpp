#include "Talven.Carvelin.Types.h"

namespace Talven {

// Out of line so that each interface's type information lives in one object file.
IVaspoLOG::~IVaspoLOG() = default;
ICarvelin::~ICarvelin() = default;
IVaspoCNX::~IVaspoCNX() = default;
IVaspoCPS::~IVaspoCPS() = default;
IVaspoCRT::~IVaspoCRT() = default;
IVaspoCSV::~IVaspoCSV() = default;
IDossierMedical::~IDossierMedical() = default;
IDossierList::~IDossierList() = default;
IPatientList::~IPatientList() = default;
IDocumentList::~IDocumentList() = default;
IDocument::~IDocument() = default;
ILotDocuments::~ILotDocuments() = default;
IAppVitale::~IAppVitale() = default;

namespace {

struct TINSSystem {
  std::string_view OID;
  char Letter;
};

// Identifier systems of the national health identifiers (INS-A, INS-C, NIR,
// NIA, NIR and NIA of test, demonstration).
constexpr TINSSystem INSSystems[] = {
    {"1.2.250.1.213.1.4.1", 'A'},  {"1.2.250.1.213.1.4.2", 'C'},  {"1.2.250.1.213.1.4.8", 'R'},
    {"1.2.250.1.213.1.4.9", 'I'},  {"1.2.250.1.213.1.4.10", 'T'}, {"1.2.250.1.213.1.4.11", 'D'},
};

}  // namespace

char INSTypeLetter(std::string_view OID) {
  for (const auto& System : INSSystems)
    if (System.OID == OID) return System.Letter;
  return '?';
}

}  // namespace Talven
