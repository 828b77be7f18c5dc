// dmp-cli [--hosts FILE] [--module FILE] [--engine own|system] COMMAND...
// Drives the client core's professional session, as the program does, with
// the commands run in order in one process. Each command prints one JSON
// object a line: {"command", "code", "message", "detail", "records"}.
//   card                      opens the card of slot 0: card, holder, DN, environment
//   login PIN                 PIN login (the PIN is never printed)
//   pin-count                 PIN tries left
//   activities                the activities with their labels and billing numbers
//   select N                  chooses activity N (0-based)
//   server HOST               SetServer
//   exists INS TYPE           record existence (TYPE: R, T, D, I, N...)
//   records SINCE LASTAUTORIZATION|LASTDOC   the professional's records (kept)
//   patients [--nom N] [--prenom P] [--naissance YYYYMMDD] [--sexe M|F|U] [--partiel]
//                             patient search (kept)
//   open N                    opens record N of the last list kept (records,
//                             patients or appvitale)
//   record INS TYPE           opens a record; the commands below act on the
//                             record opened last, and print its state
//   info | panel | set-panel FILE.json | authorize | emergency REASON | revoke
//   close CODE REASON | web-access CHANNEL | renew-access
//   channel add|change|remove CHANNEL | practitioners active|forbidden|all
//   secret on|off
// set-panel reads a flat JSON object of texts: civilite (0-3), nomUsage,
// nomNaissance, prenom, dateNaissance (dd/mm/yyyy), sexe, adresse,
// complement, codePostal, ville, pays, fixe, mobile, email, paysNaissance.
// The patient's web-access password is never printed.
//   docs INS [--flags LIST] [--type CODE] [--after D] [--before D]
//        [--submissions|--submissions2] [--sort N] [--filter CODE]
//                             the record's documents (list kept; LIST: comma-
//                             separated approved,archived,hidden-ps,
//                             hidden-patient,hidden-legal,obsolete)
//   docs2 INS CODE1 CODE2     approved documents of either type (list kept)
//   get INS N --out FILE      document N of the kept list: FILE (as served),
//                             FILE.html, FILE.content and FILE.<image name>
//   get-uid INS UID | uuid INS UID | delete-uid INS UID
//   visibility INS N BITS | archive INS N | unarchive INS N | delete INS N
//   status-uuid UUID OLD NEW  (Approved, Archived, Deleted, Deprecated) on
//                             the record opened last
//   file INS FILE --type CODE --cadre CODE [--title T] [--comment C] [--date D]
//        [--start D] [--end D] [--visibility N] [--replace UID [--uuid U] [--version V]]
//                             files FILE (its type from its extension; .xml is
//                             a CDA document), as a new version of UID with
//                             --replace
//   file-cda INS FILE         files a CDA document: type, title and practice
//                             setting read from it
//   file-summary INS SECTIONS.xml   files a medical summary of these sections
//   file-note INS NOTE.json   files a vaccination note (a flat JSON object of
//                             texts: id, date, vaccin, vaccination, lot, rang,
//                             vaccinateur, and code/libelle pairs siteCode,
//                             siteLibelle, routeCode, routeLibelle, cisCode,
//                             cisLibelle, cipCode, cipLibelle, atcCode, atcLibelle)
//   batch INS FILE...         files the FILEs as one submission set
// The filing commands take the INS as the practice's patient identifier and,
// where not given, the practice setting "AMBULATOIRE" and the file name as
// title; their records are the unique identifiers filed (a batch's
// submission set first), none on failure.
//   insi NOM PRENOMS SEXE NAISSANCE [LIEU]
//   sign-hash HEX             SignHash of a digest; the Base64 signature
//   vitale [--lib FILE] read | verify | select N | address | insi
//                             the Vitale card through the reader library
//                             (FILE, else the one loaded or the default):
//                             reads it (kept), re-reads it, selects
//                             beneficiary N, its address, its INS through the
//                             identity teleservice
//   appvitale [QR | --restore] [--close]
//                             reads the mobile Vitale application (no QR: the
//                             last context again); its environment letter and
//                             identities (kept)
//   appvitale-close           closes the context of the last reading
//   appvitale-open N          opens the record of identity N of the reading kept
// --hosts names the hosts configuration (as CARVELIN_HOSTS), --module the
// PKCS#11 module. Exit status 0 when every command answered 0, 1 otherwise,
// 2 for bad arguments.
#include <cstdio>
#include <functional>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "Talven.Carvelin.Objects.h"
#include "Talven.Carvelin.Utils.h"
#include "TestSupport.h"
#include "Vantrel.JSON.UTF8.h"
#include "Vantrel.XML.Tree.h"

using namespace Talven;

namespace {

std::string Q(std::string_view Text) {
  Vantrel::TJSONBuilderT<char> J;
  J.AppendString(Text, false);
  return J.Take();
}

// {"name": value, ...} from pairs whose values are JSON already.
std::string Obj(std::initializer_list<std::pair<std::string_view, std::string>> Members) {
  std::string R = "{";
  for (const auto& [Name, Value] : Members) {
    if (R.size() > 1) R += ',';
    R += Q(Name) + ":" + Value;
  }
  return R + "}";
}

template <class T, class F>
std::string Arr(const std::vector<T>& Items, F&& Write) {
  std::string R = "[";
  for (const T& Item : Items) {
    if (R.size() > 1) R += ',';
    R += Write(Item);
  }
  return R + "]";
}

std::string B(bool Value) { return Value ? "true" : "false"; }
std::string N(long Value) { return std::to_string(Value); }
std::string Entite(const TEntite& E) { return Obj({{"code", Q(E.Code)}, {"nom", Q(E.Nom)}, {"oid", Q(E.OID)}}); }
std::string Role(const TRole& R) { return Obj({{"code", Q(R.Code)}, {"nom", Q(R.Nom)}, {"oid", Q(R.OID)}}); }

std::string Patient(const TPatientInfo& P) {
  const TIdentite& I = P.Identite;
  return Obj({{"ins", Q(P.INSi.Code)}, {"type", Q(std::string_view(&P.INSi.Type, P.INSi.Type ? 1 : 0))},
              {"oid", Q(P.INSi.OID)}, {"nomNaissance", Q(I.NomNaissance)}, {"nomUsage", Q(I.NomUsage)},
              {"prenom", Q(I.Prenom)}, {"dateNaissance", Q(I.DateNaissance)},
              {"sexe", Q(std::string_view(&I.Sexe, I.Sexe ? 1 : 0))}});
}

std::string Volet(const TVoletAdministratif& V) {
  const TIdentite& I = V.Identite;
  return Obj({{"civilite", N(I.Civilite)}, {"nomUsage", Q(I.NomUsage)}, {"nomNaissance", Q(I.NomNaissance)},
              {"prenom", Q(I.Prenom)}, {"dateNaissance", Q(I.DateNaissance)},
              {"sexe", Q(std::string_view(&I.Sexe, I.Sexe ? 1 : 0))}, {"adresse", Q(V.Adresse.Adresse)},
              {"complement", Q(V.Adresse.Complement)}, {"codePostal", Q(V.Adresse.CodePostal)},
              {"ville", Q(V.Adresse.Ville)}, {"pays", Q(V.Adresse.Pays)}, {"fixe", Q(V.Telecom.Fixe)},
              {"mobile", Q(V.Telecom.Mobile)}, {"email", Q(V.Telecom.EMail)}, {"paysNaissance", Q(V.PaysNaissance)}});
}

// The record's state; the web access shows its login only.
std::string Dossier(const TDossierMedical& D) {
  const TDossierInfo& I = D.FInfo;
  std::string Fermeture = "null";
  if (I.Fermeture)
    Fermeture = Obj({{"date", Q(I.Fermeture->Date)}, {"code", Q(I.Fermeture->Code)}, {"motif", Q(I.Fermeture->Motif)}});
  return Obj({{"patient", Patient(I.Patient)}, {"autorisation", Q(I.Autorisation)}, {"statutMT", B(I.StatutMT)},
              {"fermeture", Fermeture}, {"accesWeb", B(I.AccesWeb)}, {"mineur", B(I.Mineur)},
              {"secret", N(I.Secret)}, {"ens", B(I.ENS)}, {"brisDeGlace", Q(D.FBrisDeGlace)},
              {"login", Q(D.FAcces.login)}});
}

std::string Praticien(const TPraticien& P) {
  return Obj({{"idNational", Q(P.IdNational)}, {"typeId", Q(P.TypeId)}, {"prenom", Q(P.Prenom)}, {"nom", Q(P.Nom)},
              {"dateAction", Q(P.DateAction)}, {"mode", Q(P.Mode)}, {"dateDebut", Q(P.DateDebut)},
              {"specialite", Entite(P.Entite)}, {"statutMT", B(P.StatutMT)}});
}

// A flat JSON object of texts; nothing for a file it cannot read.
std::optional<std::map<std::string, std::string>> ReadFlatJSON(const std::string& File) {
  std::ifstream In(File, std::ios::binary);
  if (!In) return std::nullopt;
  std::stringstream Text;
  Text << In.rdbuf();
  std::map<std::string, std::string> Values;
  try {
    Vantrel::TJSONParserT<char> P(Text.str());
    P.Blanks();
    P.Drop('{');
    P.Blanks();
    if (!P.Skip('}'))
      do {
        P.Blanks();
        std::string Key = P.GetString();
        P.Blanks();
        P.Drop(':');
        P.Blanks();
        Values[Key] = P.GetString();
        P.Blanks();
      } while (P.Skip(','));
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return Values;
}

TVoletAdministratif VoletFrom(std::map<std::string, std::string> V) {
  TVoletAdministratif R;
  R.Identite = {std::atoi(V["civilite"].c_str()), V["nomUsage"], V["nomNaissance"], V["prenom"],
                V["dateNaissance"], V["sexe"].empty() ? ' ' : V["sexe"][0]};
  R.Adresse = {V["adresse"], V["complement"], V["codePostal"], V["ville"], V["pays"]};
  R.Telecom = {V["fixe"], V["mobile"], V["email"]};
  R.PaysNaissance = V["paysNaissance"];
  return R;
}

std::string Card(const TVaspoCPS& S) {
  const TCPSInfo& I = S.Info;
  const TPorteur& P = I.Porteur;
  return Obj({{"carte", Obj({{"emetteur", Q(I.Carte.Emetteur)}, {"idCarte", Q(I.Carte.IdCarte)},
                             {"categorie", N(I.Carte.Categorie)}, {"debutValidite", Q(I.Carte.DebutValidite)},
                             {"finValidite", Q(I.Carte.FinValidite)}})},
              {"porteur", Obj({{"typeCarte", N(P.TypeCarte)}, {"idNational", Q(P.IdNational)},
                               {"civilite", Q(P.Civilite.Nom)}, {"nom", Q(P.Nom)}, {"prenom", Q(P.Prenom)},
                               {"nomNaissance", Q(P.NomNaissance)}, {"entite", Entite(P.Entite)},
                               {"profession", Role(P.Profession)}, {"specialite", Role(P.Specialite)}})},
              {"cn", Q(I.CN)}, {"dn", Q(I.DN)}, {"org", Q(I.Org)}, {"anonym", B(I.Anonym)},
              {"dmpServer", Q(I.DMP_Server)}, {"accesWeb", Q(I.AccesWeb)},
              {"processingCode", Q(I.ProcessingCode)}, {"lpsOid", Q(I.LPS_OID)}});
}

std::string Activite(const TActivite& A) {
  return Obj({{"numero", N(A.Numero)}, {"statut", N(A.Statut)}, {"entite", Entite(A.Entite)},
              {"idNational", Q(A.IdNational)}, {"raisonSociale", Q(A.RaisonSociale)},
              {"pharmacien", Entite(A.Pharmacien)}, {"numFacturation", Q(A.NumFacturation)}});
}

std::string AppVitaleRecords(IAppVitale& AV) {
  std::vector<TIdentiteAMO> Read;
  for (int I = 0; I < AV.GetCount(); ++I) Read.push_back(*AV.GetItem(I));
  const char Type = AV.GetEnvType();
  return Obj({{"typeEnv", Q(std::string_view(&Type, 1))}, {"identites", Arr(Read, [](const TIdentiteAMO& I) {
                return Obj({{"nomFamille", Q(I.NomFamille)}, {"nomUsage", Q(I.NomUsage)}, {"prenom", Q(I.Prenom)},
                            {"qualite", N(I.Qualite)}, {"dateNaissance", Q(I.DateNaissance)}, {"rang", N(I.Rang)},
                            {"nirCertifie", Q(I.NIRCertifie)}, {"nirAssure", Q(I.NIRAssure)}});
              })}});
}

std::string DocumentEntry(const TDocumentInfo& I) {
  const auto& E = static_cast<const Objects::TDocumentInfo&>(I);
  return Obj({{"nom", Q(E.Nom)},           {"uniqueId", Q(E.UniqueID)},     {"uuid", Q(E.uuid)},
              {"statut", Q(E.Statut)},     {"visibilite", N(E.Visibilite)}, {"version", N(E.Version)},
              {"categorie", Q(E.CodeCategorie)}, {"extension", Q(E.Extension)}, {"taille", N(E.Taille)},
              {"dateCreation", Q(E.DateCreation)}, {"patient", B(E.DocumentPatient)}});
}

std::string DocumentList(IDocumentList& List) {
  std::vector<std::string> Items;
  for (int I = 0; I < List.Count(); ++I) Items.push_back(DocumentEntry(*List.Info(I)));
  return Obj({{"sortIndex", N(List.GetSortIndex())}, {"documents", Arr(Items, [](const std::string& E) { return E; })}});
}

std::optional<TQueryFlags> FlagsFrom(const std::string& Text) {
  static const std::map<std::string, TQueryFlag> Names = {
      {"approved", TQueryFlag::Aprouve},           {"archived", TQueryFlag::Archive},
      {"hidden-ps", TQueryFlag::MasquePS},         {"hidden-patient", TQueryFlag::InvisiblePatient},
      {"hidden-legal", TQueryFlag::Invisible_RepresentantLegal}, {"obsolete", TQueryFlag::Obsolete}};
  TQueryFlags Flags;
  std::stringstream Words(Text);
  for (std::string W; std::getline(Words, W, ',');) {
    if (!Names.count(W)) return std::nullopt;
    Flags.Include(Names.at(W));
  }
  return Flags;
}

bool WriteFile(const std::string& Name, std::string_view Bytes) {
  std::ofstream F(Name, std::ios::binary);
  F.write(Bytes.data(), std::streamsize(Bytes.size()));
  return bool(F);
}

// Everything a document hands out, written beside Out.
std::string SaveDocument(Objects::TDocument& Doc, const std::string& Out) {
  Doc.SaveToFile(Out);
  std::string_view Html, Content, Image;
  Doc.GetDescription(Html);
  Doc.GetDocument(Content);
  WriteFile(Out + ".html", Html);
  WriteFile(Out + ".content", Content);
  std::vector<std::string> Images;
  for (const TMedia& M : Doc.Document.MediaList.Items())
    if (Doc.GetImage(M.FName, Image) == ERR_OK && WriteFile(Out + "." + M.FName, Image)) Images.push_back(M.FName);
  return Obj({{"info", DocumentEntry(*Doc.GetInfo())}, {"mimeType", Q(Doc.MimeType())},
              {"utf8", B(Doc.IsUTF8())}, {"images", Arr(Images, Q)}});
}

std::string INSiAnswer(const TINSiResponse& A) {
  return Obj({{"ins", Q(A.INS)}, {"oid", Q(A.OID)}, {"nom", Q(A.Nom)}, {"prenom", Q(A.Prenom)},
              {"prenoms", Q(A.Prenoms)}, {"sexe", Q(A.Sexe)}, {"dateNaissance", Q(A.DateNaissance)},
              {"lieuNaissance", Q(A.LieuNaissance)}});
}

int Usage() {
  std::cerr << "usage: dmp-cli [--hosts FILE] [--module FILE] [--engine own|system] COMMAND...\n";
  return 2;
}

class TDriver {
 public:
  TDriver(std::string Module, Vantrel::TTLSEngine Engine) : Root(TCarvelin::Create()), FModule(std::move(Module)) {
    Root->SetTLSEngine(Engine);
  }

  // Reads the arguments one by one from At, moving At past each; false
  // when none is left.
  static auto Reader(const std::vector<std::string>& Args, size_t& At) {
    return [&Args, &At](std::string& Value) {
      if (At >= Args.size()) return false;
      Value = Args[At++];
      return true;
    };
  }

  // Runs the command at Args[At] and moves At past its arguments; false for
  // a usage error.
  bool Run(const std::vector<std::string>& Args, size_t& At) {
    const std::string Command = Args[At++];
    std::string Shown = Command;
    Root->FError.Clear();
    auto Next = Reader(Args, At);
    std::string Records = "null";
    int Code = ERR_OK;
    auto Session = [&]() -> TVaspoCPS* { return dynamic_cast<TVaspoCPS*>(Root->VaspoCNX); };
    auto NeedSession = [&] {
      if (!Session()) Code = ERR_SESSION;
      return Session() != nullptr;
    };
    if (Command == "card") {
      if (!FModule.empty()) Code = Root->SetCryptoLib(FModule);
      if (Code == ERR_OK) Code = Root->GetCPS(0, FCPS);
      if (Code == ERR_OK) Records = Card(*Session());
    } else if (Command == "login") {
      std::string Pin;
      if (!Next(Pin)) return false;
      if (NeedSession()) Code = Session()->SetCode(Pin);
    } else if (Command == "pin-count") {
      if (NeedSession()) Records = N(Session()->PinCount());
    } else if (Command == "activities") {
      int Count = 0;
      if (NeedSession()) Code = Session()->GetActivites(Count);
      if (Code == ERR_OK) {
        std::vector<TActivite> Read;
        for (int I = 0; I < Count; ++I) Read.push_back(*Session()->GetActivite(I));
        Records = Obj({{"activites", Arr(Read, Activite)}, {"porteur", Entite(Session()->Info.Porteur.Entite)}});
      }
    } else if (Command == "select") {
      std::string Index;
      if (!Next(Index)) return false;
      if (NeedSession()) Code = Session()->SelectActivite(std::atoi(Index.c_str()));
    } else if (Command == "server") {
      std::string Host;
      if (!Next(Host)) return false;
      if (NeedSession()) Session()->SetServer(Host);
    } else if (Command == "exists") {
      std::string INS, Type;
      if (!Next(INS) || !Next(Type) || Type.size() != 1) return false;
      TDossierInfo Dossier;
      if (NeedSession()) Code = Session()->TestExistenceDossier(INS, Type[0], Dossier);
      if (Code == ERR_OK)
        Records = Obj({{"patient", Patient(Dossier.Patient)}, {"autorisation", Q(Dossier.Autorisation)},
                       {"statutMT", B(Dossier.StatutMT)}, {"ferme", B(Dossier.Fermeture.has_value())},
                       {"accesWeb", B(Dossier.AccesWeb)}, {"ens", B(Dossier.ENS)}});
    } else if (Command == "records") {
      std::string Since, Mode;
      if (!Next(Since) || !Next(Mode) || (Mode != "LASTAUTORIZATION" && Mode != "LASTDOC")) return false;
      std::shared_ptr<IDossierList> List;
      if (NeedSession())
        Code = Session()->GetDossiers(
            Since, Mode == "LASTDOC" ? TDateMode::DateDernierDocument : TDateMode::DateAutorisation, List);
      if (Code == ERR_OK) {
        FOpen = [List](int Index, std::shared_ptr<IDossierMedical>& D) { return List->GetDossier(Index, D); };
        Records = Arr(dynamic_cast<TDossierList&>(*List).FItems, [](const Objects::TDossierItem& I) {
          return Obj({{"patient", Patient(I.Patient)}, {"statutMT", B(I.StatutMT)},
                      {"dateDernierDocument", Q(I.DateDernierDocument)}});
        });
      }
    } else if (Command == "patients") {
      TRecherchePatients Criteres;
      for (std::string Option; At < Args.size() && Args[At].rfind("--", 0) == 0;) {
        Option = Args[At++];
        std::string Value;
        if (Option == "--partiel") Criteres.NomPartiel = true;
        else if (Option == "--nom" && Next(Value)) Criteres.Nom = Value;
        else if (Option == "--prenom" && Next(Value)) Criteres.Prenom = Value;
        else if (Option == "--naissance" && Next(Value)) Criteres.Naissance = Value;
        else if (Option == "--sexe" && Next(Value) && EnumFromText<TSexe>(Value) && !Value.empty())
          Criteres.Sexe = *EnumFromText<TSexe>(Value);
        else return false;
      }
      std::shared_ptr<IPatientList> List;
      if (NeedSession()) Code = Session()->GetPatients(Criteres, List);
      if (Code == ERR_OK) {
        FOpen = [List](int Index, std::shared_ptr<IDossierMedical>& D) { return List->GetDossier(Index, D); };
        Records = Arr(dynamic_cast<TPatientList&>(*List).FItems, [](const TPatientItem& I) {
          return Obj({{"patient", Patient(I.Patient)}, {"oppositionUrgence", B(I.oppositionUrgence)}});
        });
      }
    } else if (Command == "vitale") {
      std::string Sub, Lib, Index;
      if (At < Args.size() && Args[At] == "--lib" && (++At, !Next(Lib))) return false;
      if (!Next(Sub) || (Sub == "select" && !Next(Index))) return false;
      Shown += " " + Sub;
      if (!Lib.empty()) Code = Root->SetApiLecture(Lib);
      if (Code == ERR_OK && !Vitale(Sub, Index, Code, Records)) return false;
    } else if (Command == "insi") {
      TINSiTraits Traits;
      std::string Sexe;
      if (!Next(Traits.Nom) || !Next(Traits.Prenom) || !Next(Sexe) || Sexe.size() != 1 || !Next(Traits.Naissance))
        return false;
      Traits.Sexe = Sexe[0];
      if (At < Args.size() && Args[At].rfind("--", 0) != 0 && !IsCommand(Args[At])) Traits.CodeINSEE = Args[At++];
      const TINSiResponse* Answer = nullptr;
      if (NeedSession()) Code = Session()->rechercherInsAvecTraitsIdentite(Traits, Answer);
      if (Code == ERR_OK) Records = INSiAnswer(*Answer);
    } else if (Command == "appvitale") {
      std::string QR;
      if (At < Args.size() && Args[At] == "--restore") ++At;
      else if (At < Args.size() && Args[At].rfind("--", 0) != 0 && !IsCommand(Args[At])) QR = Args[At++];
      const bool Close = At < Args.size() && Args[At] == "--close";
      if (Close) ++At;
      std::shared_ptr<IAppVitale> Read;
      if (NeedSession()) Code = Session()->GetAppVitale(QR, Read, Close);
      if (Code == ERR_OK) {
        FOpen = [Read](int Index, std::shared_ptr<IDossierMedical>& D) { return Read->GetDossier(Index, D); };
        Records = AppVitaleRecords(*Read);
      }
    } else if (Command == "appvitale-close") {
      if (NeedSession()) Code = Session()->CloseAppVitale();
    } else if (Command == "open" || Command == "record" || Command == "appvitale-open") {
      std::string First, Type;
      if (!Next(First) || (Command == "record" && (!Next(Type) || Type.size() != 1))) return false;
      std::shared_ptr<IDossierMedical> Opened;
      if (Command == "record" && NeedSession()) Code = Session()->DossierExiste(First, Type[0], Opened);
      if (Command != "record") Code = FOpen ? FOpen(std::atoi(First.c_str()), Opened) : ERR_SESSION;
      if (Code == ERR_OK) FRecord = std::dynamic_pointer_cast<TDossierMedical>(Opened);
      if (Code == ERR_OK) Records = Dossier(*FRecord);
    } else if (IsRecordCommand(Command)) {
      if (!FRecord) return false;
      TDossierMedical& D = *FRecord;
      std::string Value, Other;
      std::string Extra;
      if (Command == "info") {
      } else if (Command == "panel") {
        const TVoletAdministratif* V = nullptr;
        Code = D.GetVoletAdministratif(V);
        if (Code == ERR_OK) Extra = Volet(*V);
      } else if (Command == "set-panel") {
        if (!Next(Value)) return false;
        const auto Values = ReadFlatJSON(Value);
        if (!Values) return false;
        Code = D.SetVoletAdministratif(VoletFrom(*Values));
        if (Code == ERR_OK) Extra = Volet(D.FVolet);
      } else if (Command == "authorize") {
        Code = D.OuvrirAcces({});
      } else if (Command == "emergency") {
        if (!Next(Value)) return false;
        Code = D.OuvrirAcces(Value);
      } else if (Command == "revoke") {
        Code = D.FermerAcces();
      } else if (Command == "close") {
        if (!Next(Value) || !Next(Other)) return false;
        Code = D.FermerDossier(Value, Other);
      } else if (Command == "web-access" || Command == "renew-access") {
        const TAccesPatient* Acces = nullptr;
        if (Command == "web-access" && !Next(Value)) return false;
        Code = Command == "web-access" ? D.CreerAccesPatient(Value, Acces) : D.NouvelAccesPatient(Acces);
      } else if (Command == "channel") {
        static const std::map<std::string, TActionCanal> Actions = {
            {"add", TActionCanal::Ajout}, {"change", TActionCanal::Modification}, {"remove", TActionCanal::Suppression}};
        if (!Next(Other) || !Actions.count(Other) || !Next(Value)) return false;
        Code = D.ModifierCanal(Value, Actions.at(Other));
      } else if (Command == "practitioners") {
        static const std::map<std::string, TModePraticien> Modes = {
            {"active", TModePraticien::Active}, {"forbidden", TModePraticien::Interdite}, {"all", TModePraticien::Toute}};
        if (!Next(Value) || !Modes.count(Value)) return false;
        std::span<const TPraticien> Praticiens;
        Code = D.GetPraticiens(Modes.at(Value), Praticiens);
        if (Code == ERR_OK) Extra = Arr(std::vector<TPraticien>(Praticiens.begin(), Praticiens.end()), Praticien);
      } else if (Command == "secret") {
        if (!Next(Value) || (Value != "on" && Value != "off")) return false;
        Code = D.SetAccesSecret(Value == "on");
      }
      Records = Extra.empty() ? Dossier(D) : Obj({{"dossier", Dossier(D)}, {"result", Extra}});
    } else if (IsDocumentCommand(Command) || IsFilingCommand(Command)) {
      std::string INS;
      if (Command != "status-uuid" && !Next(INS)) return false;
      if (!INS.empty() && NeedSession() && (!FRecord || FRecord->FInfo.Patient.INSi.Code != INS)) {
        std::shared_ptr<IDossierMedical> Opened;
        Code = Session()->DossierExiste(INS, 'T', Opened);
        FRecord = std::dynamic_pointer_cast<TDossierMedical>(Opened);
      }
      if (Code == ERR_OK && !FRecord) Code = ERR_SESSION;
      if (Code == ERR_OK &&
          !(IsFilingCommand(Command) ? Filing(*FRecord, Command, INS, Args, At, Code, Records)
                                     : Documents(*FRecord, Command, Args, At, Code, Records)))
        return false;
    } else if (Command == "sign-hash") {
      std::string Hex;
      if (!Next(Hex)) return false;
      const std::optional<std::string> Digest = TestSupport::FromHex(Hex);
      if (!Digest) return false;
      std::string_view Signature;
      if (NeedSession()) Code = Session()->SignHash(*Digest, Signature);
      if (Code == ERR_OK) Records = Q(Signature);
    } else {
      return false;
    }
    std::cout << Obj({{"command", Q(Shown)}, {"code", N(Code)}, {"message", Q(Root->GetErrMsg(Code))},
                      {"detail", Q(Root->GetErrDetail())}, {"records", Records}})
              << std::endl;
    Failed = Failed || Code != ERR_OK;
    return true;
  }

  static bool IsCommand(const std::string& Word) {
    for (const char* C : {"card", "login", "pin-count", "activities", "select", "server", "exists", "records",
                          "patients", "insi", "sign-hash", "open", "record", "vitale", "appvitale", "appvitale-close",
                          "appvitale-open"})
      if (Word == C) return true;
    return IsRecordCommand(Word) || IsDocumentCommand(Word) || IsFilingCommand(Word);
  }
  static bool IsDocumentCommand(const std::string& Word) {
    for (const char* C : {"docs", "docs2", "get", "get-uid", "uuid", "visibility", "archive", "unarchive", "delete",
                          "delete-uid", "status-uuid"})
      if (Word == C) return true;
    return false;
  }

  static bool IsFilingCommand(const std::string& Word) {
    for (const char* C : {"file", "file-cda", "file-summary", "file-note", "batch"})
      if (Word == C) return true;
    return false;
  }

  // The filing commands on D (the record opened for INS).
  bool Filing(TDossierMedical& D, const std::string& Command, const std::string& INS,
              const std::vector<std::string>& Args, size_t& At, int& Code, std::string& Records) {
    auto Next = Reader(Args, At);
    std::string File;
    if (!Next(File)) return false;
    std::vector<std::string> Filed;
    if (Command == "batch") {
      std::vector<std::string> Files = {File};
      while (At < Args.size() && !IsCommand(Args[At])) Files.push_back(Args[At++]);
      std::shared_ptr<ILotDocuments> Lot;
      Code = D.CreerLotDocuments(Lot);
      for (size_t I = 0; Code == ERR_OK && I < Files.size(); ++I)
        Code = Lot->AddDocument(FileProps(INS, Files[I], "11488-4"));
      if (Code == ERR_OK) Code = Lot->Submit();
      for (size_t I = 0; Code == ERR_OK && I <= Files.size(); ++I) Filed.push_back(Lot->GetUniqueID(int(I)));
      Records = Arr(Filed, Q);
      return true;
    }
    std::string UniqueId;
    if (Command == "file") {
      TProprietesDocument Props = FileProps(INS, File, {});
      Props.CadreExercice.clear();
      while (At < Args.size() && Args[At].rfind("--", 0) == 0) {
        const std::string Option = Args[At++];
        std::string Value;
        if (!Next(Value)) return false;
        if (Option == "--type") Props.TypeDocument = Value;
        else if (Option == "--cadre") Props.CadreExercice = Value;
        else if (Option == "--title") Props.Titre = Value;
        else if (Option == "--comment") Props.Commentaire = Value;
        else if (Option == "--date") Props.DateDocument = Value;
        else if (Option == "--start") Props.DateDebut = Value;
        else if (Option == "--end") Props.DateFin = Value;
        else if (Option == "--visibility") Props.Visibilite = TVisibilitesDocument::FromBits(std::atoi(Value.c_str()));
        else if (Option == "--replace") Props.Remplacer.UniqueID = Value;
        else if (Option == "--uuid") Props.Remplacer.UUID = Value;
        else if (Option == "--version") Props.Remplacer.Version = std::atoi(Value.c_str());
        else return false;
      }
      if (Props.TypeDocument.empty() || Props.CadreExercice.empty()) return false;
      Code = D.AddDocument(Props, UniqueId);
    } else if (Command == "file-cda") {
      TProprietesDocument Props = FileProps(INS, File, {});
      CDAProps(Props);
      Code = D.AddCDAR2(Props, UniqueId);
    } else if (Command == "file-summary") {
      Code = D.AddSynthese(FileProps(INS, {}, "60591-5", "Synthèse médicale"), TestSupport::ReadFile(File), UniqueId);
    } else {
      const auto Values = ReadFlatJSON(File);
      if (!Values) return false;
      Code = D.AddNoteVaccination(FileProps(INS, {}, "87273-9", "Note de vaccination"), NoteFrom(*Values), UniqueId);
    }
    if (Code == ERR_OK) Filed.push_back(UniqueId);
    Records = Arr(Filed, Q);
    return true;
  }

  // What a filing command files: File's bytes (none for "") typed by its
  // extension, titled after it unless Title is given.
  static TProprietesDocument FileProps(const std::string& INS, const std::string& File, std::string TypeDocument,
                                       std::string Title = {}) {
    TProprietesDocument P;
    if (!File.empty()) P.Document = {TestSupport::ReadFile(File), TypeMimeFromExtension(File)};
    P.Titre = Title.empty() ? std::filesystem::path(File).filename().string() : std::move(Title);
    P.PatientId = INS;
    P.TypeDocument = std::move(TypeDocument);
    P.CadreExercice = "AMBULATOIRE";
    return P;
  }

  // A CDA document's type, title and practice setting (its organisation's
  // industry class), as the filing of that document states them.
  static void CDAProps(TProprietesDocument& Props) {
    Vantrel::TXMLTree Tree;
    try {
      Tree.BuildFrom(Props.Document.Contenu);
    } catch (const Vantrel::EXMLError&) {
      return;  // the filing tells why
    }
    const Vantrel::PXMLNode Document = Tree.Root().Search("ClinicalDocument");
    if (!Document) return;
    auto CodeOf = [](Vantrel::PXMLNode Node) { return Vantrel::AttributeValueOf(Node, "code"); };
    Props.TypeDocument = CodeOf(Document->GetChild("code"));
    if (const std::string Practice = CodeOf(Document->Search("standardIndustryClassCode")); !Practice.empty())
      Props.CadreExercice = Practice;
    if (const Vantrel::PXMLNode Title = Document->GetChild("title")) Props.Titre = Title->Value();
  }

  static TNoteVaccination NoteFrom(std::map<std::string, std::string> V) {
    TNoteVaccination N;
    N.ID = V["id"];
    N.Date = V["date"];
    N.Vaccin = V["vaccin"];
    N.Vaccination = std::atoi(V["vaccination"].c_str());
    N.Site = {V["siteCode"], V["siteLibelle"]};
    N.Route = {V["routeCode"], V["routeLibelle"]};
    N.Lot = V["lot"];
    N.Rang = std::atoi(V["rang"].c_str());
    N.CIS = {V["cisCode"], V["cisLibelle"]};
    N.CIP = {V["cipCode"], V["cipLibelle"]};
    N.ATC = {V["atcCode"], V["atcLibelle"]};
    N.Vaccinateur = V["vaccinateur"];
    return N;
  }

  // The document commands on D (the record opened) and the kept list.
  bool Documents(TDossierMedical& D, const std::string& Command, const std::vector<std::string>& Args, size_t& At,
                 int& Code, std::string& Records) {
    auto Next = Reader(Args, At);
    std::string Value, Other, Third;
    auto Listed = [&](int Result, const std::shared_ptr<IDocumentList>& List) {
      Code = Result;
      if (Code == ERR_OK) {
        FList = List;
        Records = DocumentList(*List);
      }
    };
    auto Retrieved = [&](const std::string& Index, std::shared_ptr<IDocument>& Doc) {
      Code = FList ? FList->GetDocument(std::atoi(Index.c_str()), Doc) : ERR_INDEX;
      return Code == ERR_OK;
    };
    static const std::map<std::string, TDocumentStatus> Statuses = {
        {"Approved", TDocumentStatus::dsApproved}, {"Archived", TDocumentStatus::dsArchived},
        {"Deleted", TDocumentStatus::dsDeleted}, {"Deprecated", TDocumentStatus::dsDeprecated}};
    std::shared_ptr<IDocument> Doc;
    if (Command == "docs") {
      TQueryDocuments Query;
      int Kind = 0, Sort = 0;
      std::optional<std::string> Filter;
      while (At < Args.size() && Args[At].rfind("--", 0) == 0) {
        const std::string Option = Args[At++];
        if (Option == "--submissions") Kind = 1;
        else if (Option == "--submissions2") Kind = 2;
        else if (!Next(Value)) return false;
        else if (Option == "--flags") {
          const auto Flags = FlagsFrom(Value);
          if (!Flags) return false;
          Query.Flags = *Flags;
        } else if (Option == "--type") Query.TypeDoc = Value;
        else if (Option == "--after") Query.After = Value;
        else if (Option == "--before") Query.Before = Value;
        else if (Option == "--sort") Sort = std::atoi(Value.c_str());
        else if (Option == "--filter") Filter = Value;
        else return false;
      }
      std::shared_ptr<IDocumentList> List;
      Listed(Kind == 0   ? D.QueryDocuments(Query, List)
             : Kind == 1 ? D.QuerySubmissions(Query, List)
                         : D.QuerySubmissions2(Query, List),
             List);
      if (Code == ERR_OK && Filter) Code = List->Filter(*Filter);
      if (Code == ERR_OK && Sort) List->SetSortIndex(Sort);
      if (List) Records = DocumentList(*List);
    } else if (Command == "docs2") {
      if (!Next(Value) || !Next(Other)) return false;
      std::shared_ptr<IDocumentList> List;
      Listed(D.Query2Documents(Value, Other, List), List);
    } else if (Command == "get") {
      std::string Option, Out;
      if (!Next(Value) || !Next(Option) || Option != "--out" || !Next(Out)) return false;
      if (Retrieved(Value, Doc)) Records = SaveDocument(static_cast<Objects::TDocument&>(*Doc), Out);
    } else if (Command == "get-uid") {
      if (!Next(Value)) return false;
      Code = D.GetDocument(Value, Doc);
      if (Code == ERR_OK) Records = DocumentEntry(*Doc->GetInfo());
    } else if (Command == "uuid") {
      if (!Next(Value)) return false;
      Code = D.GetDocumentUUID(Value, Other);
      if (Code == ERR_OK) Records = Q(Other);
    } else if (Command == "delete-uid") {
      if (!Next(Value)) return false;
      Code = D.SupprimerDocument(Value);
    } else if (Command == "delete") {
      if (!Next(Value)) return false;
      Code = FList ? FList->DeleteDocument(std::atoi(Value.c_str())) : ERR_INDEX;
    } else if (Command == "visibility") {
      if (!Next(Value) || !Next(Other)) return false;
      if (Retrieved(Value, Doc)) Code = Doc->SetVisibilite(std::atoi(Other.c_str()));
    } else if (Command == "archive" || Command == "unarchive") {
      if (!Next(Value)) return false;
      if (Retrieved(Value, Doc)) Code = Doc->SetArchive(Command == "archive");
      if (Code == ERR_OK) Records = DocumentEntry(*Doc->GetInfo());
    } else if (Command == "status-uuid") {
      if (!Next(Value) || !Next(Other) || !Next(Third) || !Statuses.count(Other) || !Statuses.count(Third))
        return false;
      Code = D.ChangeDocumentStatusUUID(Value, Statuses.at(Other), Statuses.at(Third));
    }
    return true;
  }
  static bool IsRecordCommand(const std::string& Word) {
    for (const char* C : {"info", "panel", "set-panel", "authorize", "emergency", "revoke", "close", "web-access",
                          "renew-access", "channel", "practitioners", "secret"})
      if (Word == C) return true;
    return false;
  }

  std::shared_ptr<TCarvelin> Root;
  bool Failed = false;

 private:
  // The vitale sub-commands; false for an unknown one.
  bool Vitale(const std::string& Sub, const std::string& Index, int& Code, std::string& Records) {
    if (Sub == "read") {
      Code = Root->GetCSV(FCSV);
    } else if (Sub != "verify" && Sub != "select" && Sub != "address" && Sub != "insi") {
      return false;
    } else if (!FCSV) {
      Code = ERR_VITALE_ABSENTE;
    } else if (Sub == "verify") {
      Code = FCSV->Verify();
      FCSV = Root->VaspoCSV;
    } else if (Sub == "select") {
      Code = FCSV->SelectionBeneficiaire(std::atoi(Index.c_str()));
    } else if (Sub == "address") {
      const TAdresse* A = FCSV->GetAdresse();
      Code = A ? ERR_OK : ERR_INDEX;
      if (A)
        Records = Obj({{"adresse", Q(A->Adresse)}, {"complement", Q(A->Complement)},
                       {"codePostal", Q(A->CodePostal)}, {"ville", Q(A->Ville)}});
      return true;
    } else {
      const TINSiResponse* Answer = nullptr;
      Code = FCSV->rechercherInsAvecCarteVitale(Answer);
      if (Code == ERR_OK) Records = INSiAnswer(*Answer);
      return true;
    }
    if (Code == ERR_OK && FCSV) Records = VitaleCard(*FCSV);
    return true;
  }

  static std::string VitaleCard(IVaspoCSV& CSV) {
    std::vector<TBeneficiaire> Beneficiaires;
    for (int I = 0; I < CSV.GetBeneficiaires(); ++I) Beneficiaires.push_back(*CSV.GetBeneficiaire(I));
    return Obj({{"type", N(CSV.GetCardType())}, {"selection", N(CSV.SelectedBeneficiaire())},
                {"beneficiaires", Arr(Beneficiaires, [](const TBeneficiaire& B) {
                   return Obj({{"nomUsage", Q(B.NomUsage)}, {"nomNaissance", Q(B.NomNaissance)},
                               {"prenom", Q(B.Prenom)}, {"dateNaissance", Q(B.DateNaissance)}, {"nir", Q(B.Nir)},
                               {"rangDeNaissance", N(B.RangDeNaissance)}, {"qualite", N(B.Qualite)}});
                 })}});
  }

  std::shared_ptr<IVaspoCSV> FCSV;
  std::string FModule;
  std::shared_ptr<IVaspoCPS> FCPS;
  // Opens an item of the list kept last.
  std::function<int(int, std::shared_ptr<IDossierMedical>&)> FOpen;
  std::shared_ptr<TDossierMedical> FRecord;
  std::shared_ptr<IDocumentList> FList;
};

}  // namespace

int main(int argc, char** argv) {
  std::string Module;
  Vantrel::TTLSEngine Engine = Vantrel::TTLSEngine::TinyTLS;
  std::vector<std::string> Args;
  for (int I = 1; I < argc; ++I) {
    const std::string A = argv[I];
    if (A == "--hosts" && I + 1 < argc) {
      setenv("CARVELIN_HOSTS", argv[++I], 1);
    } else if (A == "--module" && I + 1 < argc) {
      Module = argv[++I];
    } else if (A == "--engine" && I + 1 < argc) {
      const std::string Name = argv[++I];
      if (Name != "own" && Name != "system") return Usage();
      Engine = Name == "own" ? Vantrel::TTLSEngine::TinyTLS : Vantrel::TTLSEngine::SChannel;
    } else {
      Args.push_back(A);
    }
  }
  if (Args.empty()) return Usage();
  try {
    TDriver Driver(Module, Engine);
    for (size_t At = 0; At < Args.size();)
      if (!Driver.Run(Args, At)) return Usage();
    return Driver.Failed ? 1 : 0;
  } catch (const std::exception& E) {
    std::cerr << "dmp-cli: " << E.what() << "\n";
    return 1;
  }
}
