// The IHE XDS.b ProvideAndRegisterDocumentSet-b request in MTOM/XOP form
// (W3C XOP, RFC 2387 multipart/related), and the re-serialisation of a
// retrieved document entry for a metadata update.
//
// A request is one multipart body: the SOAP 1.2 envelope (root part), the
// signature document (Content-ID 1@...) and the filed document(s) (2@...,
// then 3@... for a batch's second document, and so on), each sent as binary
// and referenced from its ns5:Document by xop:Include. The ebRIM metadata
// uses fixed object identifiers: "SubmissionSet01", "document01" (or
// "document" + two digits in a batch), "Signature01", "association1"... and
// the external identifiers "ei11" to "ei13" (submission set), "ei" + (k + 1)
// + "1"/"2" (document k) and, after the documents', those of the signature
// entry ("ei31"/"ei32" for one document).
//
// Escaping: every plain text of the records (identifiers, names, titles,
// codes, addresses) is escaped where it is inserted; parameters named
// ...Markup and the documents are inserted as given.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Vantrel.DateTime.h"
#include "Vantrel.XML.Tree.h"
#include "Vantrel.XML.XDSb.XAdES.h"
#include "Vantrel.XML.XDSb.h"

namespace Vantrel {

inline constexpr std::string_view MTOMBoundary = "=_carvelin_boundary_";
// A batch names its documents with two digits.
inline constexpr int MaxLotDocuments = 99;

// The HTTP Content-Type of a request: multipart/related of XOP with the
// boundary quoted (it starts with '=') and the root part's Content-ID.
std::string ProvideAndRegisterContentType();
// The same for any boundary: the parameters type, boundary, start and
// start-info, each value quoted, in that order.
std::string MTOMContentType(std::string_view Boundary);

// The MIME part of document DocumentNumber (2 or more) of a batch, to be
// appended right after the previous document's bytes: CRLF, the delimiter,
// the part headers with Content-ID (DocumentNumber + 1) + "@...", the empty
// line and the bytes. std::invalid_argument outside 2 to MaxLotDocuments.
std::string MTOMDocumentPart(int DocumentNumber, std::string_view Document);

namespace detail {
// The values of a submission, read from the records once.
struct TSubmissionValues {
  std::string CX, XCN, XON, Specialty;  // HL7 v2 values, ready for XML
  std::string FacilityCode, FacilityName;
  std::string NomUsage, NomNaissance, Prenom, DateNaissance;
  char Sexe = 0;
  TDateTime NowUTC = 0, CreateDate = 0, StartDate = 0, StopDate = 0;
  std::string LPS_OID, PatientId, DocTitle;
  TOIDValue Classe, Practice, DocType, Format;
  uint32_t Confidentialite = 0;
  std::string DocID, SubId, SignId, ReplaceUuid;
  TLotInfo Lot;
};

template <class TInfo>
TSubmissionValues SubmissionValues(const TInfo& Info) {
  const auto& C = Info.CDA;
  TSubmissionValues V;
  if (C.Patient) {
    V.CX = PatientIdCX(*C.Patient);
    const auto& I = C.Patient->Identite;
    V.NomUsage = I.NomUsage;
    V.NomNaissance = I.NomNaissance;
    V.Prenom = I.Prenom;
    V.DateNaissance = I.DateNaissance;
    V.Sexe = I.Sexe;
  }
  if (C.Porteur) {
    V.XCN = AuthorPersonXCN(*C.Porteur);
    V.Specialty = AuthorSpecialtyValue(*C.Porteur);
  }
  if (C.Activite) {
    V.XON = AuthorInstitutionXON(*C.Activite);
    V.FacilityCode = C.Activite->Entite.Code;
    V.FacilityName = C.Activite->Entite.Nom;
  }
  V.NowUTC = C.NowUTC;
  V.CreateDate = C.CreateDate;
  V.StartDate = C.StartDate;
  V.StopDate = C.StopDate;
  V.LPS_OID = C.LPS_OID;
  V.PatientId = C.PatientId;
  V.DocTitle = C.DocTitle;
  V.Classe = C.Classe;
  V.Practice = C.Practice;
  V.DocType = C.DocType;
  if (Info.DOC.Format) V.Format = *Info.DOC.Format;
  V.Confidentialite = uint32_t(C.Confidentialite);
  V.DocID = Info.DOC.DocID;
  V.SubId = Info.SubId;
  V.SignId = Info.SignId;
  V.ReplaceUuid = Info.ReplaceUuid;
  V.Lot = Info.Lot;
  return V;
}

std::string DocumentEntry(const TSubmissionValues& V, int DocumentNumber);
std::string ProvideAndRegisterRequest(const TSubmissionValues& V,
                                      std::string_view SecurityHeaderMarkup,
                                      std::string_view Document, std::string_view Destination,
                                      std::string_view SignatureDocument);
std::string ProvideAndRegisterLotRequest(const TSubmissionValues& V,
                                         std::string_view SecurityHeaderMarkup,
                                         std::string_view DocumentParts, int DocumentCount,
                                         std::string_view Destination,
                                         std::string_view DocumentEntriesMarkup,
                                         std::string_view SignatureDocument);
}  // namespace detail

// The ns2:ExtrinsicObject of document DocumentNumber (1 for a single
// filing: "document01", "ei21", "ei22"); std::invalid_argument outside 1 to
// MaxLotDocuments.
template <class TCDAInfo, class TDOCInfo>
std::string XDSbDocumentEntry(const TXDSbInfo<TCDAInfo, TDOCInfo>& Info, int DocumentNumber) {
  return detail::DocumentEntry(detail::SubmissionValues(Info), DocumentNumber);
}

// The whole multipart request of one document. SecurityHeaderMarkup: the
// wsse:Security header; Destination: the repository's address.
template <class TCDAInfo, class TDOCInfo>
std::string ProvideAndRegisterRequest(const TXDSbInfo<TCDAInfo, TDOCInfo>& Info,
                                      std::string_view SecurityHeaderMarkup,
                                      std::string_view Document, std::string_view Destination,
                                      std::string_view SignatureDocument) {
  return detail::ProvideAndRegisterRequest(detail::SubmissionValues(Info), SecurityHeaderMarkup,
                                           Document, Destination, SignatureDocument);
}

// The request of a batch of DocumentCount documents (1 to MaxLotDocuments,
// else std::invalid_argument). DocumentParts: the first document's bytes
// followed by MTOMDocumentPart of each further one; DocumentEntriesMarkup:
// their XDSbDocumentEntry texts in order; Info: the batch's common values.
template <class TCDAInfo, class TDOCInfo>
std::string ProvideAndRegisterLotRequest(const TXDSbInfo<TCDAInfo, TDOCInfo>& Info,
                                         std::string_view SecurityHeaderMarkup,
                                         std::string_view DocumentParts, int DocumentCount,
                                         std::string_view Destination,
                                         std::string_view DocumentEntriesMarkup,
                                         std::string_view SignatureDocument) {
  return detail::ProvideAndRegisterLotRequest(detail::SubmissionValues(Info),
                                              SecurityHeaderMarkup, DocumentParts, DocumentCount,
                                              Destination, DocumentEntriesMarkup,
                                              SignatureDocument);
}

// The body of a metadata update (IHE ITI-57): ns5:SubmitObjectsRequest /
// ns2:RegistryObjectList holding the submission set "SubmissionSet01" (time
// NowUTC, name Lot.Name, author XCN and XON, patient CX, source LPS_OID,
// unique id SubId; no description), then ObjectsMarkup.
std::string UpdateDocumentSetBody(const detail::TSubmissionValues& V, std::string_view ObjectsMarkup);

// A retrieved ExtrinsicObject written back as "document01" for an update
// of its metadata: VersionInfo carries the next version, the confidentiality
// classifications are replaced once by those of VisibilityBits, everything
// else is copied with the prefix "ns2:", attributes under their names as
// written, and the source's escaping (a '&' that starts no reference, '<',
// '>' and '"' escaped, so the copy is well-formed).
// std::runtime_error ("'x' is not a valid integer value") when the entry
// has no VersionInfo or its versionName is not a decimal number;
// std::runtime_error ("Entrée du registre non réécrite : ...") when an
// element or attribute name is no qualified XML name, or an attribute is
// repeated.
void UpdatedDocumentEntry(PXMLNode Entry, uint32_t VisibilityBits, std::string& EntryText,
                          std::string& OldVersionName, std::string& EntryId);

}  // namespace Vantrel
