// The records of the local database and the payloads exchanged with host
// applications. Each is declared once with its type descriptor, which drives
// both its JSON form (Vantrel.JSON.UTF8 and Vantrel.JSON: one member per
// field, named like it, in field order; an empty string is null and a zero
// date-time member is left out) and its table columns (Vantrel.SQLite).
// The field order below is therefore part of the stored and wire formats.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Vantrel.RTTI.h"
#include "Vantrel.SysUtils.h"

namespace Carvelin {

using Vantrel::TDate;
using Vantrel::TDateTimeValue;

// A practitioner known to the workstation (table Praticiens).
struct TVaspoPraticien {
  int64_t rowid = 0;  // 0 while not stored
  std::string IdNational;
  std::string Nom, Prenom;
  std::string idStruct;       // structure of the chosen activity
  std::string codeStruct;     // care-facility type code of that activity
  std::string RaisonSociale;  // structure name
  std::string Profession, Specialite;
  std::string Pharmacien;  // pharmacist section code of the activity
  std::string LPS_OID;     // the installation's instance OID
  std::string UID;         // own GUID text on this workstation, given at the first save
  std::string Favoris;     // JSON of TVaspoFavoris
  std::string numFacturation;
  TDateTimeValue crt, upd;

  void Clear() { *this = TVaspoPraticien(); }
};
VANTREL_RECORD(TVaspoPraticien, VANTREL_FIELD(rowid), VANTREL_FIELD(IdNational), VANTREL_FIELD(Nom),
               VANTREL_FIELD(Prenom), VANTREL_FIELD(idStruct), VANTREL_FIELD(codeStruct),
               VANTREL_FIELD(RaisonSociale), VANTREL_FIELD(Profession), VANTREL_FIELD(Specialite),
               VANTREL_FIELD(Pharmacien), VANTREL_FIELD(LPS_OID), VANTREL_FIELD(UID), VANTREL_FIELD(Favoris),
               VANTREL_FIELD(numFacturation), VANTREL_FIELD(crt), VANTREL_FIELD(upd))

// A patient opened on the workstation (table Patients).
struct TVaspoPatient {
  int64_t rowid = 0;  // 0 while not stored
  std::string Nom, Prenom;
  TDate Naissance;
  std::string Nir;
  int32_t Rang = 0;  // birth rank
  std::string Nir2;
  std::string INSC;  // the older health identifier (INS-C)
  std::string INSN;  // the INS
  std::string INSi;  // identity block answered by the identity teleservice
  TDateTimeValue INSiDate;
  int32_t INSiStatus = 0;
  int32_t Praticien = 0;  // rowid of the practitioner who created it
  int32_t Status = 0;
  TDateTimeValue LastDate;  // last date taken into account for new documents
  TDateTimeValue crt, upd;

  void Clear() { *this = TVaspoPatient(); }
  // INSN when known, else INSC.
  const std::string& INS() const { return INSN.empty() ? INSC : INSN; }
  // Text names this patient: its INS-C or INS, the INS stored with or
  // without its type letter ("…T").
  bool HasINS(const std::string& Text) const {
    return !Text.empty() && (Text == INSC || Text == INSN || Vantrel::SameNIR(Text, INS()));
  }
  bool INSiQualified() const { return INSiStatus > 2; }
};
VANTREL_RECORD(TVaspoPatient, VANTREL_FIELD(rowid), VANTREL_FIELD(Nom), VANTREL_FIELD(Prenom),
               VANTREL_FIELD(Naissance), VANTREL_FIELD(Nir), VANTREL_FIELD(Rang), VANTREL_FIELD(Nir2),
               VANTREL_FIELD(INSC), VANTREL_FIELD(INSN), VANTREL_FIELD(INSi), VANTREL_FIELD(INSiDate),
               VANTREL_FIELD(INSiStatus), VANTREL_FIELD(Praticien), VANTREL_FIELD(Status),
               VANTREL_FIELD(LastDate), VANTREL_FIELD(crt), VANTREL_FIELD(upd))

// A document filed from the workstation (table Documents). A vaccination
// note has TypeDoc "87273-9" and its JSON in titre.
struct TVaspoDocument {
  int64_t rowid = 0;
  int32_t Patient = 0;    // the patient's rowid
  int32_t Praticien = 0;  // the practitioner's rowid
  std::string uniqueId, titre, TypeDoc;
  TDateTimeValue date;
  int32_t etat = 0;  // 0 live, 1 deleted
};
VANTREL_RECORD(TVaspoDocument, VANTREL_FIELD(rowid), VANTREL_FIELD(Patient), VANTREL_FIELD(Praticien),
               VANTREL_FIELD(uniqueId), VANTREL_FIELD(titre), VANTREL_FIELD(TypeDoc), VANTREL_FIELD(date),
               VANTREL_FIELD(etat))

// The practitioner's favourite document categories.
struct TVaspoFavoris {
  std::vector<std::string> Favoris;
};
VANTREL_RECORD(TVaspoFavoris, VANTREL_FIELD(Favoris))

// ---- Host-interface payloads ----

struct TQueryPatient {
  TDate Naissance;
  std::string NIR, INS;
  bool Search = false;
  bool Open = false;
};
VANTREL_RECORD(TQueryPatient, VANTREL_FIELD(Naissance), VANTREL_FIELD(NIR), VANTREL_FIELD(INS),
               VANTREL_FIELD(Search), VANTREL_FIELD(Open))

struct TSendFileToDMP {
  std::string INS, LocalId, Title, FileName, MimeType, ReplaceId, Category;
  TDateTimeValue Date;
};
VANTREL_RECORD(TSendFileToDMP, VANTREL_FIELD(INS), VANTREL_FIELD(LocalId), VANTREL_FIELD(Title),
               VANTREL_FIELD(FileName), VANTREL_FIELD(MimeType), VANTREL_FIELD(ReplaceId),
               VANTREL_FIELD(Category), VANTREL_FIELD(Date))

struct TSendFileToDMPReply {
  int32_t ErrNo = 0;
  std::string Error, LocalId, Server, UniqueId;
};
VANTREL_RECORD(TSendFileToDMPReply, VANTREL_FIELD(ErrNo), VANTREL_FIELD(Error), VANTREL_FIELD(LocalId),
               VANTREL_FIELD(Server), VANTREL_FIELD(UniqueId))

struct TChangeCategory {
  std::string INS, Nom, Prenom, Categorie;
};
VANTREL_RECORD(TChangeCategory, VANTREL_FIELD(INS), VANTREL_FIELD(Nom), VANTREL_FIELD(Prenom),
               VANTREL_FIELD(Categorie))

struct TRecvFileFromDMP {
  std::string INS, FileName, TypeMime, Title;
  TDateTimeValue Date;
  std::string Categorie, UniqueID, TypeDoc;
  int32_t Error = 0;
};
VANTREL_RECORD(TRecvFileFromDMP, VANTREL_FIELD(INS), VANTREL_FIELD(FileName), VANTREL_FIELD(TypeMime),
               VANTREL_FIELD(Title), VANTREL_FIELD(Date), VANTREL_FIELD(Categorie), VANTREL_FIELD(UniqueID),
               VANTREL_FIELD(TypeDoc), VANTREL_FIELD(Error))

// ---- Statistics items (owned by the list that receives them) ----

class TStatistique : public Vantrel::TObject {
 public:
  VANTREL_OBJECT;
  std::string Praticien;
  int32_t Count = 0;
};
VANTREL_CLASS(TStatistique, Vantrel::TObject, VANTREL_FIELD(Praticien), VANTREL_FIELD(Count))

class TStatistique2 : public Vantrel::TObject {
 public:
  VANTREL_OBJECT;
  std::string Praticien, Patient;
  TDateTimeValue DateDMP;
  std::string INSNIR;
};
VANTREL_CLASS(TStatistique2, Vantrel::TObject, VANTREL_FIELD(Praticien), VANTREL_FIELD(Patient),
              VANTREL_FIELD(DateDMP), VANTREL_FIELD(INSNIR))

// ---- A host command carried to the main window's thread ----

class TSubmitData;
// Posts Message to a window with wParam = From and the object as lParam;
// the receiving window takes the object and frees it.
using TPostSubmitData = std::function<void(uintptr_t From, uint32_t Message, std::unique_ptr<TSubmitData> Data)>;

class TSubmitData : public Vantrel::TObject {
 public:
  VANTREL_OBJECT;
  int32_t Tag = 0;
  std::string Msg;

  // Creates the object and posts it through ASender. The pointer returned
  // only identifies the object: the receiver owns and frees it.
  static const TSubmitData* Create(const TPostSubmitData& ASender, uintptr_t AFrom, uint32_t AMessage, int32_t ATag,
                                   std::string AMsg);
};
VANTREL_CLASS(TSubmitData, Vantrel::TObject, VANTREL_FIELD(Tag), VANTREL_FIELD(Msg))

}  // namespace Carvelin
