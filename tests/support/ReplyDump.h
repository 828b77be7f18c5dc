// One reply reader of the client core run on an answer, by name, and its
// records written as JSON (the project's JSON writer): what
// tests/tools/reply-dump prints and what the peer tests compare.
// Readers: dossier, creation, dossiers, patients, volet, revision,
// praticiens, acces, nouvel-acces, canal, autorisation, update, documents,
// object-refs, has-member, single-ref, retrieve, filing, insi.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "Talven.Carvelin.Objects.h"
#include "TestSupport.h"
#include "Vantrel.JSON.UTF8.h"
#include "Vantrel.SHA256.h"

namespace ReplyDump {

using namespace Talven;


inline std::string Q(std::string_view Text) {
  Vantrel::TJSONBuilderT<char> J;
  J.AppendString(Text, false);
  return J.Take();
}
inline std::string Q(char C) { return Q(std::string_view(&C, C ? 1 : 0)); }
inline std::string B(bool Value) { return Value ? "true" : "false"; }
inline std::string N(int32_t Value) { return std::to_string(Value); }

inline std::string Sha256Hex(std::string_view Bytes) {
  Vantrel::TSHA256Context Context;
  Vantrel::SHA256Init(Context);
  Vantrel::SHA256Update(Context, Bytes.data(), Bytes.size());
  uint8_t Digest[Vantrel::SHA256DigestSize];
  Vantrel::SHA256Final(Context, Digest);
  return TestSupport::ToHex(std::string_view(reinterpret_cast<const char*>(Digest), sizeof Digest));
}

// {"name": value, ...} from pairs whose values are JSON already.
inline std::string Obj(std::initializer_list<std::pair<std::string_view, std::string>> Members) {
  std::string R = "{";
  for (const auto& [Name, Value] : Members) {
    if (R.size() > 1) R += ',';
    R += Q(Name) + ":" + Value;
  }
  return R + "}";
}

template <class T, class F>
inline std::string Arr(const std::vector<T>& Items, F&& Write) {
  std::string R = "[";
  for (const T& Item : Items) {
    if (R.size() > 1) R += ',';
    R += Write(Item);
  }
  return R + "]";
}

inline std::string INS(const TIdentifiantNationalDeSante& I) {
  return Obj({{"code", Q(I.Code)}, {"type", Q(I.Type)}, {"oid", Q(I.OID)}});
}

inline std::string Identite(const TIdentite& I) {
  return Obj({{"civilite", N(I.Civilite)}, {"nomUsage", Q(I.NomUsage)}, {"nomNaissance", Q(I.NomNaissance)},
              {"prenom", Q(I.Prenom)}, {"dateNaissance", Q(I.DateNaissance)}, {"sexe", Q(I.Sexe)}});
}

inline std::string Patient(const TPatientInfo& P) {
  return Obj({{"insc", INS(P.INSC)}, {"insi", INS(P.INSi)}, {"identite", Identite(P.Identite)}});
}

inline std::string Dossier(const TDossierInfo& D) {
  return Obj({{"patient", Patient(D.Patient)},
              {"statutMT", B(D.StatutMT)},
              {"autorisation", Q(D.Autorisation)},
              {"fermeture", D.Fermeture ? Obj({{"date", Q(D.Fermeture->Date)},
                                               {"code", Q(D.Fermeture->Code)},
                                               {"motif", Q(D.Fermeture->Motif)}})
                                        : "null"},
              {"accesWeb", B(D.AccesWeb)},
              {"mineur", B(D.Mineur)},
              {"ens", B(D.ENS)}});
}

inline std::string Adresse(const TAdresse& A) {
  return Obj({{"adresse", Q(A.Adresse)}, {"complement", Q(A.Complement)}, {"codePostal", Q(A.CodePostal)},
              {"ville", Q(A.Ville)}, {"pays", Q(A.Pays)}});
}

inline std::string Telecom(const TTelecom& T) {
  return Obj({{"fixe", Q(T.Fixe)}, {"mobile", Q(T.Mobile)}, {"email", Q(T.EMail)}});
}

inline std::string Volet(const TVoletAdministratif& V) {
  const TRepresentantLegal& R = V.Representant;
  return Obj({{"identite", Identite(V.Identite)},
              {"adresse", Adresse(V.Adresse)},
              {"telecom", Telecom(V.Telecom)},
              {"paysNaissance", Q(V.PaysNaissance)},
              {"representant", Obj({{"relation", Q(EnumText(R.Relation))},
                                    {"civilite", N(R.Civilite)},
                                    {"nom", Q(R.Nom)},
                                    {"prenom", Q(R.Prenom)},
                                    {"adresse", Adresse(R.Adresse)},
                                    {"telecom", Telecom(R.Telecom)}})}});
}

inline std::string Document(const Objects::TDocumentInfo& D) {
  return Obj({{"nom", Q(D.Nom)},
              {"auteur", Q(D.Auteur)},
              {"dateCreation", Q(D.DateCreation)},
              {"categorie", Q(D.Categorie)},
              {"codeCategorie", Q(D.CodeCategorie)},
              {"extension", Q(D.Extension)},
              {"commentaire", Q(D.Commentaire)},
              {"taille", N(D.Taille)},
              {"cadreExercice", Q(D.CadreExercice)},
              {"dateDebut", Q(D.DateDebut)},
              {"dateFin", Q(D.DateFin)},
              {"uniqueID", Q(D.UniqueID)},
              {"visibilite", N(D.Visibilite)},
              {"statut", Q(D.Statut)},
              {"documentPatient", B(D.DocumentPatient)},
              {"version", N(D.Version)},
              {"uuid", Q(D.uuid)},
              {"repositoryId", Q(D.RepositoryId)},
              {"legalAuthenticator", Q(D.legalAuthenticator)},
              {"creationTime", Q(D.creationTime)},
              {"nodeRepresentation", Q(D.nodeRepresentation)},
              {"currentStatus", Q(D.currentStatus)}});
}

inline std::string Strings(const std::vector<std::string>& Items) {
  return Arr(Items, [](const std::string& S) { return Q(S); });
}

inline bool ParseToday(const std::string& Text, Vantrel::TDateTime& Today) {
  int Y = 0, M = 0, D = 0;
  if (Text.size() != 10 || std::sscanf(Text.c_str(), "%4d-%2d-%2d", &Y, &M, &D) != 3) return false;
  return Vantrel::TryEncodeDate(Y, M, D, Today);
}

// The records of one reader, "null" when it failed.
inline std::string Read(TCarvelin& Root, const std::string& Reader, const std::string& Answer, bool TestCard, int& Code) {
  std::string Records = "null";
  auto Keep = [&](int Result, auto&& Write) {
    Code = Result;
    if (Result == ERR_OK) Records = Write();
  };
  if (Reader == "dossier" || Reader == "creation") {
    TDossierInfo Info;
    Keep(Reader == "dossier" ? Root.ParseDossierExiste(Answer, Info) : Root.ParseCreationDossier(Answer, Info),
         [&] { return Dossier(Info); });
  } else if (Reader == "dossiers") {
    std::vector<Objects::TDossierItem> Items;
    Keep(Root.ReadDossiers(Answer, Items), [&] {
      return Arr(Items, [](const Objects::TDossierItem& I) {
        return Obj({{"patient", Patient(I.Patient)}, {"statutMT", B(I.StatutMT)},
                    {"dateModification", Q(I.DateModification)}, {"dateDernierAcces", Q(I.DateDernierAcces)},
                    {"dateDernierDocument", Q(I.DateDernierDocument)}, {"dateOfBirth", Q(I.dateOfBirth)},
                    {"lastAccessDate", Q(I.lastAccessDate)}, {"lastUpdateDate", Q(I.lastUpdateDate)},
                    {"lastAddDate", Q(I.lastAddDate)}});
      });
    });
  } else if (Reader == "patients") {
    std::vector<TPatientItem> Items;
    Keep(Root.ReadPatients(Answer, Items), [&] {
      return Arr(Items, [](const TPatientItem& I) {
        return Obj({{"patient", Patient(I.Patient)}, {"oppositionUrgence", B(I.oppositionUrgence)}});
      });
    });
  } else if (Reader == "volet" || Reader == "revision") {
    TVoletAdministratif V;
    Keep(Reader == "volet" ? Root.ParseVoletAdministratif(Answer, V) : Root.ParseRevisionVolet(Answer, V),
         [&] { return Volet(V); });
  } else if (Reader == "praticiens") {
    std::vector<TPraticien> Items;
    Keep(Root.ParsePraticiens(Answer, Items), [&] {
      return Arr(Items, [](const TPraticien& P) {
        return Obj({{"idNational", Q(P.IdNational)}, {"typeId", Q(P.TypeId)}, {"prenom", Q(P.Prenom)},
                    {"nom", Q(P.Nom)}, {"dateAction", Q(P.DateAction)}, {"mode", Q(P.Mode)},
                    {"dateDebut", Q(P.DateDebut)}, {"specialite", Q(P.Entite.Code)},
                    {"libelle", Q(P.Entite.Nom)}, {"statutMT", B(P.StatutMT)}});
      });
    });
  } else if (Reader == "acces" || Reader == "nouvel-acces") {
    TAccesPatient A;
    Keep(Reader == "acces" ? Root.ParseAccesPatient(Answer, A) : Root.ParseNouvelAcces(Answer, A),
         [&] { return Obj({{"login", Q(A.login)}, {"password", Q(A.password)}}); });
  } else if (Reader == "canal") {
    Code = Root.xmlModifierAccessPatient(Answer);
  } else if (Reader == "autorisation") {
    Code = Root.xmlAutorisation(Answer);
  } else if (Reader == "update") {
    Code = Root.xmlUpdateDocumentSet(Answer);
  } else if (Reader == "filing") {
    Code = Root.xopProvideAndRegisterDocumentSetB(Answer);
  } else if (Reader == "documents") {
    std::vector<Objects::TDocumentInfo> List;
    Keep(Root.ParseDocumentList(Answer, List), [&] { return Arr(List, Document); });
  } else if (Reader == "object-refs" || Reader == "has-member") {
    std::vector<std::string> Ids;
    Keep(Reader == "object-refs" ? Root.ParseObjectRefs(Answer, Ids) : Root.ParseHasMemberTargets(Answer, Ids),
         [&] { return Strings(Ids); });
  } else if (Reader == "single-ref") {
    std::string Id;
    Keep(Root.ParseSingleObjectRef(Answer, Id), [&] { return Q(Id); });
  } else if (Reader == "retrieve") {
    Objects::TRetrievedDocument D;
    Keep(Root.ParseRetrieveDocumentSet(Answer, D), [&] {
      return Obj({{"repositoryUniqueId", Q(D.RepositoryUniqueId)}, {"documentUniqueId", Q(D.DocumentUniqueId)},
                  {"size", std::to_string(D.Content.size())}, {"sha256", Q(Sha256Hex(D.Content))}});
    });
  } else if (Reader == "insi") {
    Vantrel::TINSiRequest Request;
    Request.Card = TestCard ? 0x80 : 0;
    TINSiResponse R;
    Keep(Root.ReadINSiResponse(Request, Answer, R), [&] {
      return Obj({{"ins", Q(R.INS)}, {"oid", Q(R.OID)}, {"insType", Q(R.INSType)}, {"nom", Q(R.Nom)},
                  {"prenom", Q(R.Prenom)}, {"prenoms", Q(R.Prenoms)}, {"sexe", Q(R.Sexe)},
                  {"dateNaissance", Q(R.DateNaissance)}, {"lieuNaissance", Q(R.LieuNaissance)},
                  {"balise", B(!R.Balise.empty())}});
    });
  } else {
    Code = -1;
  }
  return Records;
}


// What a reader answered, as one JSON object:
//   {"code": N, "message": "...", "detail": "...", "records": ...}
// Code is -1 for an unknown reader.
inline std::string Dump(TCarvelin& Root, const std::string& Reader, const std::string& Answer, bool TestCard,
                        int& Code) {
  const std::string Records = Read(Root, Reader, Answer, TestCard, Code);
  return Obj({{"code", N(Code)},
              {"message", Q(Root.GetErrMsg(Code))},
              {"detail", Q(Root.GetErrDetail())},
              {"records", Records}});
}

}  // namespace ReplyDump
