// sim-seed-documents FIXTURES OUT: writes the CDA documents of the service
// simulator's seed with the program's own document builders.
//
// Standard input: one document per line, fields separated by TAB:
//   file kind type-code type-label title ins ins-oid civility usage-name
//   birth-name given-name birth-date(dd/mm/yyyy) sex created(yyyymmddhhnn)
//   unique-id author-id author-family author-given
// kind is "pdf", "txt" or "jpg" (the file of FIXTURES wrapped in an
// unstructured body), "synthese" (a medical summary) or "vaccination" (a
// vaccination note). Each document is written to OUT/file.
//
// Exit 0; 1 with the line and the error on stderr for a line that cannot be
// built; 2 for a usage error.
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Talven.Carvelin.CDA.h"
#include "Vantrel.XML.XDSb.Synthese.h"

namespace {

using namespace Talven;

std::vector<std::string> SplitTabs(const std::string& Line) {
  std::vector<std::string> Fields;
  std::stringstream In(Line);
  std::string Field;
  while (std::getline(In, Field, '\t')) Fields.push_back(Field);
  return Fields;
}

std::string ReadBytes(const std::filesystem::path& Path) {
  std::ifstream In(Path, std::ios::binary);
  if (!In) throw std::runtime_error("cannot read " + Path.string());
  return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

// "yyyymmddhhnn" as a local time.
TDateTime ParseStamp(const std::string& S) {
  TDateTime T = 0;
  if (S.size() != 12 ||
      !Vantrel::TryEncodeDateTime({std::stoi(S.substr(0, 4)), std::stoi(S.substr(4, 2)),
                                   std::stoi(S.substr(6, 2)), std::stoi(S.substr(8, 2)),
                                   std::stoi(S.substr(10, 2)), 0, 0},
                                  T))
    throw std::runtime_error("bad time " + S);
  return T;
}

struct TWrappedFile {
  const char* Name;
  const char* MediaType;
  TOIDValue Format;
};

const std::map<std::string, TWrappedFile> WrappedFiles = {
    {"pdf", {"compte-rendu.pdf", "application/pdf",
             {"urn:ihe:iti:xds-sd:pdf:2008", "1.3.6.1.4.1.19376.1.2.3",
              "Document à corps non structuré en Pdf/A-1"}}},
    {"txt", {"note.txt", "text/plain",
             {"urn:ihe:iti:xds-sd:text:2008", "1.3.6.1.4.1.19376.1.2.3",
              "Document à corps non structuré en texte brut"}}},
    {"jpg", {"image.jpg", "image/jpeg",
             {"urn:ihe:iti-fr:xds-sd:jpeg:2010", "1.3.6.1.4.1.19376.1.2.3",
              "Document à corps non structuré en format jpeg"}}},
};

Vantrel::TVoletSyntheseMedicale SeedSynthese() {
  using namespace Vantrel;
  TVoletSyntheseMedicale V;
  V.PA = {{0, TProblem::Diagnostic, {"I10", "Hypertension essentielle (primitive)"}}};
  V.AM = "Pneumopathie en 2015";
  V.AC = "Cholécystectomie";
  V.AL = {{TTypeAllergie::Medicament, false, true, 0, {"T88.7", "Urticaire"},
           {"G-A380", "Actif"}, {"60234100", "Pénicilline"}}};
  V.MV.Tabac = {0, TConsoPeriod::PerDay};
  V.Resume = "Surveillance tensionnelle trimestrielle";
  V.TTT = "Amlodipine 5 mg, un comprimé le matin";
  return V;
}

TNoteVaccination SeedNote(const std::string& Created) {
  TNoteVaccination N;
  N.Content = "Pas de réaction immédiate";
  N.Date = Created.substr(6, 2) + "/" + Created.substr(4, 2) + "/" + Created.substr(0, 4);
  N.Vaccin = "VACCIN GRIPPAL";
  N.Vaccination = 2;
  N.Site = {"LD", "Deltoïde gauche"};
  N.Route = {"IM", "Voie intramusculaire"};
  N.Lot = "GR2024-117";
  N.Rang = 1;
  N.CIS = {"68747507", "VACCIN GRIPPAL"};
  N.ATC = {"J07BB02", "Influenza, inactivé, virion fragmenté"};
  N.Vaccinateur = std::string(VaccinateurMoiMeme);
  return N;
}

std::string BuildDocument(const std::vector<std::string>& F, const std::filesystem::path& Fixtures) {
  if (F.size() != 18) throw std::runtime_error("18 fields expected");
  const std::string& Kind = F[1];
  TPatientInfo Patient;
  Patient.INSi = {F[5], 'T', F[6]};
  Patient.Identite = {std::stoi(F[7]), F[8], F[9], F[10], F[11], F[12].empty() ? 'U' : F[12][0]};
  TPorteur Porteur;
  Porteur.IdNational = F[15];
  Porteur.Nom = F[16];
  Porteur.Prenom = F[17];
  Porteur.Entite = {"G15_10/SM26", "Médecine générale", "1.2.250.1.213.1.1.4.5"};
  Porteur.Profession = {"10", "Médecin", "1.2.250.1.71.1.2.7"};
  TActivite Activite;
  Activite.IdNational = "10B0123456";
  Activite.RaisonSociale = "Cabinet Médical Test";
  Activite.Entite = {"SA07", "Cabinet individuel", "1.2.250.1.71.4.2.4"};

  TCDAInfo Info;
  Info.DocType = {F[2], "2.16.840.1.113883.6.1", F[3]};
  Info.DocTitle = F[4];
  Info.Patient = &Patient;
  Info.Porteur = &Porteur;
  Info.Activite = &Activite;
  Info.Practice = {"AMBULATOIRE", "1.2.250.1.213.1.1.4.9", "Ambulatoire"};
  Info.NowUTC = Info.CreateDate = Info.StartDate = Info.StopDate = ParseStamp(F[13]);
  Info.LPS_OID = "2.25.299401367217812307318290117412334085137";
  Info.PatientId = F[5];
  Info.Version = 1;

  TDOCInfo Doc;
  Doc.DocID = F[14];
  if (const auto W = WrappedFiles.find(Kind); W != WrappedFiles.end()) {
    const std::string Bytes = ReadBytes(Fixtures / W->second.Name);
    Doc.mediaType = W->second.MediaType;
    Doc.Format = &W->second.Format;
    Doc.Content = Bytes.data();
    Doc.ContentSize = Bytes.size();
    return BuildCDANonXMLBody(Doc, Info);
  }
  if (Kind == "synthese") return BuildCDASynthese(Doc, Info, Vantrel::BuildSyntheseBody(SeedSynthese()));
  if (Kind == "vaccination")
    return BuildCDANoteVaccination(Doc, Info, BuildNoteVaccinationBody(Info, SeedNote(F[13]), F[14] + ".1"), "");
  throw std::runtime_error("unknown kind " + Kind);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: sim-seed-documents FIXTURES OUT < documents.tsv\n";
    return 2;
  }
  const std::filesystem::path Fixtures = argv[1], Out = argv[2];
  std::filesystem::create_directories(Out);
  std::string Line;
  while (std::getline(std::cin, Line)) {
    if (Line.empty()) continue;
    try {
      const auto Fields = SplitTabs(Line);
      const std::string XML = BuildDocument(Fields, Fixtures);
      std::ofstream(Out / Fields[0], std::ios::binary) << XML;
    } catch (const std::exception& E) {
      std::cerr << "error: " << E.what() << "\n  in: " << Line << "\n";
      return 1;
    }
  }
  return 0;
}
