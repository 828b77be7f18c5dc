// Sample records for the CDA document tests: every text that comes from a
// card, the user, the host program or a coding service can be made hostile
// (markup characters, quotes, apostrophe, accents, an emoji).
#pragma once

#include <string>
#include <string_view>

#include "Talven.Carvelin.CDA.h"
#include "Talven.Carvelin.Types.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.XML.XDSb.Synthese.h"

namespace CDASamples {

using namespace Talven;

// A free text: blanks allowed.
inline std::string HostileText(std::string_view Tag) {
  return std::string(Tag) + R"( & <b>x</b> "q" l'été 😀)";
}
// A code or identifier: HL7 codes are tokens without blanks.
inline std::string HostileCode(std::string_view Tag) { return std::string(Tag) + R"(&<b>"é😀)"; }

inline Vantrel::TDateTime Date(int Y, int M, int D, int H = 0, int N = 0) {
  Vantrel::TDateTime T = 0;
  Vantrel::TryEncodeDateTime({Y, M, D, H, N, 0, 0}, T);
  return T;
}

// The records behind one TCDAInfo, which points into them: never copied.
struct TSample {
  TPatientInfo Patient;
  TPorteur Porteur;
  TActivite Activite;
  TMedecinTraitant Medecin;
  TOIDValue Format{"urn:ihe:iti:xds-sd:pdf:2008", "1.3.6.1.4.1.19376.1.2.3", "PDF"};
  TCDAInfo Info;
  TDOCInfo Doc;

  explicit TSample(bool Hostile) {
    const auto T = [&](std::string_view Tag, std::string_view Plain) {
      return Hostile ? HostileText(Tag) : std::string(Plain);
    };
    const auto C = [&](std::string_view Tag, std::string_view Plain) {
      return Hostile ? HostileCode(Tag) : std::string(Plain);
    };
    Patient.INSi = {"1840575123456", 'R', "1.2.250.1.213.1.4.8"};
    Patient.INSC = {"0123456789012345678901", 'C', "1.2.250.1.213.1.4.2"};
    Patient.Identite = {2, T("usage", "MARTIN"), T("naissance", "DURAND"), T("prenom", "Zoé"),
                        "07/05/1984", 'F'};
    Porteur.TypeCarte = 0;
    Porteur.IdNational = C("idnat", "810001234567");
    Porteur.Nom = T("nom", "DOC");
    Porteur.Prenom = T("prenom-ps", "Jean");
    Porteur.Entite = {C("entite", "G15_10/SM26"), T("specialite", "Médecine générale"),
                      "1.2.250.1.213.1.1.4.5"};
    Porteur.Profession = {"10", T("profession", "Médecin"), "1.2.250.1.71.1.2.7"};
    Porteur.Specialite = {"SM26", T("specialite-carte", "Qualifié en médecine générale"),
                          "1.2.250.1.71.4.2.5"};
    Activite.IdNational = C("structure", "10B0123456");
    Activite.RaisonSociale = T("cabinet", "Cabinet du Parc");
    Activite.Entite = {C("cadre", "SA07"), T("cadre-nom", "Cabinet individuel"), "1.2.250.1.71.4.2.4"};
    Medecin = {T("mt-nom", "TRAITANT"), T("mt-prenom", "Anne"), "10003456789", "01 02 03 04 05",
               "anne.traitant@exemple.fr", "anne.traitant@medecin.mssante.fr"};

    Info.DocType = {"11488-4", "2.16.840.1.113883.6.1", T("type", "CR de consultation")};
    Info.DocTitle = T("titre", "Consultation du 3 février");
    Info.Patient = &Patient;
    Info.Porteur = &Porteur;
    Info.Activite = &Activite;
    Info.Practice = {"AMBULATOIRE", "1.2.250.1.213.1.1.4.9", "Ambulatoire"};
    Info.NowUTC = Date(2025, 2, 3, 9, 30);
    Info.CreateDate = Date(2025, 2, 3, 10, 15);
    Info.StartDate = Date(2025, 2, 1);
    Info.StopDate = Date(2025, 2, 3);
    Info.LPS_OID = "2.25.123456789012345678901234567890";
    Info.PatientId = C("patient-id", "P-1234");
    Info.Version = 1;
    Info.MedecinTraitant = &Medecin;

    Doc.mediaType = "application/pdf";
    Doc.Format = &Format;
    Doc.DocID = "2.25.98765432109876543210";
  }
  TSample(const TSample&) = delete;
  TSample& operator=(const TSample&) = delete;
};

// A summary with every section and every kind of row.
inline Vantrel::TVoletSyntheseMedicale FullSynthese(bool Hostile) {
  using namespace Vantrel;
  const auto T = [&](std::string_view Tag, std::string_view Plain) {
    return Hostile ? HostileText(Tag) : std::string(Plain);
  };
  const auto C = [&](std::string_view Tag, std::string_view Plain) {
    return Hostile ? HostileCode(Tag) : std::string(Plain);
  };
  TVoletSyntheseMedicale V;
  V.PA = {{Date(2019, 3, 14), TProblem::Diagnostic, {C("pa-code", "E11"), T("pa-nom", "Diabète de type 2")}},
          {0, TProblem::Symptome, {C("pa-code2", "R51"), T("pa-nom2", "Céphalée")}}};
  V.AM = T("am", "Appendicite à 12 ans");
  V.AC = T("ac", "Appendicectomie");
  V.AL = {{TTypeAllergie::Medicament, false, true, Date(2020, 6, 1),
           {C("al-cim", "T88.7"), T("al-manif", "Urticaire")},
           {C("al-statut", "G-A380"), T("al-statut-nom", "Actif")},
           {C("al-agent", "60234100"), T("al-agent-nom", "Amoxicilline")}},
          {TTypeAllergie::Aucune, false, false, 0, {}, {}, {}},
          {TTypeAllergie::Aliment, true, false, 0, {"K52.2", "Gastro-entérite allergique"}, {},
           {"F-00280", T("al-agent-nom2", "Arachide")}}};
  V.MV.Exercice = 3;
  V.MV.Sedentarite = TSedentarite::sePeuActif;
  V.MV.Tabac = {10, TConsoPeriod::PerDay};
  V.MV.Alcool = {2, TConsoPeriod::PerWeek};
  V.FM = T("fm", "Veuvage récent");
  V.RP = T("rp", "Exposition au bruit");
  V.AF = {{Date(2001, 1, 1), TProblem::Diagnostic, TLienFamilial::lfMere, {C("af-code", "C50"), T("af-nom", "Cancer du sein")}},
          {0, TProblem::Probleme, TLienFamilial::lfTante, {"I21", T("af-nom2", "Infarctus")}}};
  V.Resume = T("pv", "Risque de chute");
  V.TTT = T("tl", "Metformine 1000 mg");
  return V;
}

inline TNoteVaccination SampleNote(bool Hostile, std::string_view Vaccinateur) {
  const auto T = [&](std::string_view Tag, std::string_view Plain) {
    return Hostile ? HostileText(Tag) : std::string(Plain);
  };
  const auto C = [&](std::string_view Tag, std::string_view Plain) {
    return Hostile ? HostileCode(Tag) : std::string(Plain);
  };
  TNoteVaccination N;
  N.Content = T("commentaire", "Bien toléré");
  N.Date = "15/01/2025 10:30";
  N.Vaccin = T("vaccin", "VACCIN GRIPPAL");
  N.Vaccination = 2;
  N.Site = {C("site", "LD"), T("site-nom", "Deltoïde gauche")};
  N.Route = {C("route", "IM"), T("route-nom", "Voie intramusculaire")};
  N.Lot = T("lot", "AB1234");
  N.Rang = 2;
  N.CIS = {C("cis", "68747507"), T("cis-nom", "VACCIN GRIPPAL")};
  N.ATC = {C("atc", "J07BB02"), T("atc-nom", "Influenza")};
  N.Vaccinateur = std::string(Vaccinateur);
  return N;
}

}  // namespace CDASamples
