// What the local REST server reads from a request, without the server or
// the windows: the path split into its segments, the INS segment's checks,
// the request records filled from the query string and the body (form
// encoded or multipart/form-data), and the checks of a document to file.
// Everything here is pure and may run on any connection thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Talven.Carvelin.Types.h"
#include "Vantrel.RTTI.h"

namespace Carvelin {

// ---- Request records, filled by field name ----

struct TQueryPatients {
  std::string Nom, Prenom;
  char Sexe = 0;
  Vantrel::TDate Naissance;
  bool Partiel = false;
};
VANTREL_RECORD(TQueryPatients, VANTREL_FIELD(Nom), VANTREL_FIELD(Prenom), VANTREL_FIELD(Sexe),
               VANTREL_FIELD(Naissance), VANTREL_FIELD(Partiel))

struct TQueryPatientINSi {
  std::string Nom, Prenom;
  Vantrel::TDate Naissance;
  char Sexe = 0;
  std::string Lieu;  // birthplace code
};
VANTREL_RECORD(TQueryPatientINSi, VANTREL_FIELD(Nom), VANTREL_FIELD(Prenom), VANTREL_FIELD(Naissance),
               VANTREL_FIELD(Sexe), VANTREL_FIELD(Lieu))

struct TPatientDocuments {
  Vantrel::TDateTimeValue Debut, Fin;
  bool Mode = false;  // by date of submission
};
VANTREL_RECORD(TPatientDocuments, VANTREL_FIELD(Debut), VANTREL_FIELD(Fin), VANTREL_FIELD(Mode))

struct TQueryPatientsDocs {
  Vantrel::TDateTimeValue Depuis;
};
VANTREL_RECORD(TQueryPatientsDocs, VANTREL_FIELD(Depuis))

struct TPutDocument {
  std::string Titre, Comment, LocalPath;
  Vantrel::TBytes File;
  std::string TypeDoc;
  Vantrel::TDateTimeValue DateDoc;
  std::string Cadre;
  Vantrel::TDateTimeValue Debut, Fin;
  int32_t Confidentialite = 0;
};
VANTREL_RECORD(TPutDocument, VANTREL_FIELD(Titre), VANTREL_FIELD(Comment), VANTREL_FIELD(LocalPath),
               VANTREL_FIELD(File), VANTREL_FIELD(TypeDoc), VANTREL_FIELD(DateDoc), VANTREL_FIELD(Cadre),
               VANTREL_FIELD(Debut), VANTREL_FIELD(Fin), VANTREL_FIELD(Confidentialite))

// Code is the PIN: never logged, wiped once presented.
struct TQueryCodePorteur {
  std::string rpps, Code;
  bool Force = false;
};
VANTREL_RECORD(TQueryCodePorteur, VANTREL_FIELD(rpps), VANTREL_FIELD(Code), VANTREL_FIELD(Force))

// A request that cannot be read: the server answers 400 with the message.
class ERESTRequest : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- Path and INS ----

// The path split on '/', empty parts kept: "/patients/x/" gives "",
// "patients", "x", "".
std::vector<std::string> SplitPath(std::string_view Path);

// A 15-character segment is an INS of type '?', a 16-character one the
// first 15 with the last as type; the INS must carry its key. False for
// anything else.
bool ParseINS(std::string_view Segment, std::string& INS, char& INSType);

// ---- Parameters ----

// Fills Record from the query string and, for a form-encoded or
// multipart/form-data body, from the body (later values win). Raises
// ERESTRequest ("Requête invalide") for a query or text field that is not
// UTF-8 or holds a character XML cannot carry, for a multipart body that
// does not decode, and what the value conversions raise (a malformed date,
// number or escape).
void DecodeParams(std::string_view Query, std::string_view ContentType, std::string_view Body, void* Record,
                  const Vantrel::TTypeInfo* Type);
template <class T>
void DecodeParams(std::string_view Query, std::string_view ContentType, std::string_view Body, T& Record) {
  DecodeParams(Query, ContentType, Body, &Record, Vantrel::TypeInfo<T>());
}

// ---- Filing ----

// The file type named by a route's extension: one of "pdf", "rtf", "jpg",
// "tif", "txt", "xml" exactly.
bool TypeMimeOfExtension(std::string_view Ext, Talven::TTypeMime& Mime);

// The first failed check of a document to file, in order, or "" when it
// may be filed: title, file, extension (and the file's signature matching
// it), document type, care setting, confidentiality (0 to 3).
std::string CheckPutDocument(const TPutDocument& Doc, std::string_view Ext);

// A document date as the client core takes it ("dd/mm/yyyy hh:nn:ss").
std::string DocumentDate(Vantrel::TDateTime Value);

}  // namespace Carvelin
