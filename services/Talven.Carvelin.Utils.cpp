#include "Talven.Carvelin.Utils.h"

#include "Vantrel.SysUtils.h"

namespace Talven {

const std::array<TTypeDocument, TypeDocumentCount> TypesDocument = {{
    {"SYNTH", "Synthèses|Synthèse"},  // 0
    {"34133-9", "Synthèse d'épisode de soins"},
    {"60591-5", "Synthèse du dossier médical"},
    {"68817-6", "Bilan de santé et de prévention de l'enfant"},
    {"57057-2", "Synthèse Salle de Naissance Mère"},
    {"57075-4", "Synthèse Salle de Naissance Enfant"},
    {"89235-6", "Synthèse Suites de Couches Mère"},
    {"78489-2", "Synthèse Enfant en Maternité"},
    {"57055-6", "Synthèse antepartum"},
    {"68599-0", "Synthèse psychiatrique"},
    {"83901-9", "Bilan psychologique"},  // 10
    {"18761-7", "Note de transfert (dont lettre de liaison à l'entrée en établissement de soins)"},
    {"56445-0", "Bilan médicamenteux (Officine)"},
    {"80820-4", "Formulaire de conciliation médicamenteuse (Hôpital)"},
    {"74207-2", "Dossier de liaison d'urgence"},
    {"34842-5", "Grille d'évaluation médico-social"},
    {"83836-7", "Schéma dentaire"},
    {"80565-5", "Traitements et soins|CR d'administration de médicaments"},
    {"11506-3", "CR ou fiche de suivi de soins par auxiliaire médical"},
    {"60593-1", "Dispensation médicamenteuse"},
    {"DISP_AUT", "Dispensation (autre)"},  // 20
    {"18776-5", "Plan personnalisé de soins"},
    {"80788-3", "Projet personnalisé d'accompagnement"},
    {"80771-9", "Projet d'accueil individualisé"},
    {"77604-7", "Planification thérapeutique"},
    {"PRESC-AAT", "Prescription arrêt de travail"},
    {"57833-6", "Prescription de produits de santé"},
    {"57832-8", "Prescription de soins"},
    {"55115-0", "Demande d'actes d'imagerie"},
    {"75468-9", "Renouvellement ordonnance par pharmacien correspondant"},
    {"61357-0", "Intervention pharmaceutique"},  // 30
    {"PRESC-BIO", "Prescription d'actes de biologie médicale"},
    {"PRESC-KINE", "Prescription d'actes de kinésithérapie"},
    {"PRESC-INF", "Prescription d'actes infirmiers"},
    {"PRESC-PEDI", "Prescription d'actes de pédicurie"},
    {"PRESC-ORTHOPHO", "Prescription d'actes d'orthophonie"},
    {"PRESC-ORTHOPTIE", "Prescription d'actes d'orthoptie"},
    {"57828-6", "Prescription (autre)"},
    {"83869-8", "Plan personnalisé de prévention"},
    {"PROT_ALD", "Protocole de soins ALD"},
    {"15508-5", "Comptes-rendus|CR d'accouchement"},  // 40
    {"70004-7", "CR d'acte diagnostique (autre)"},
    {"11505-5", "CR d'acte thérapeutique (autre)"},
    {"67851-6", "CR d'admission"},
    {"77436-4", "CR d'anesthésie"},
    {"BIL_AUTO", "CR de bilan d'évaluation de la perte d'autonomie"},
    {"34875-5", "Évaluation postopératoire et note de suivi"},
    {"47420-5", "CR de bilan fonctionnel (par auxiliaire médical)"},
    {"34749-2", "CR de consultation pré-anesthésique"},
    {"78513-9", "CR de consultation en ophtalmologie"},
    {"51969-4", "CR de génétique moléculaire"},  // 50
    {"15507-7", "CR de passage aux urgences"},
    {"93024-8", "CR de consultation pharmaceutique"},
    {"78601-2", "CR d'entretien pharmaceutique"},
    {"34794-8", "CR de réunion de concertation pluridisciplinaire"},
    {"75496-0", "Demande d'acte de télémédecine"},
    {"34112-3", "CR hospitalier (séjour)"},
    {"34874-8", "CR opératoire"},
    {"28653-4", "Document du secteur social / médico-social"},
    {"96349-6", "Lettre d'adressage"},
    {"11488-4", "CR ou fiche de consultation ou de visite"},  // 60
    {"88348-8", "Lettre de liaison d'entrée en structure sociale ou médico-sociale"},
    {"83981-1", "Lettre de liaison à la sortie d'une structure sociale ou médico-sociale"},
    {"11490-0", "Lettre de liaison à la sortie d'un établissement de soins"},
    {"85208-7", "CR de télémédecine"},
    {"59283-2", "CR d'examen de l'enfant"},
    {"29274-8", "Mesures de signes vitaux"},
    {"18748-4", "Imagerie médicale|CR d'imagerie médicale"},
    {"52040-3", "Document encapsulant une image d'illustration non DICOM"},
    {"60568-3", "Biologie|CR d'anatomie et de cytologie pathologiques"},
    {"11502-2", "CR d'examens biologiques"},  // 70
    {"75492-9", "Prévention|CR d'acte diagnostique à visée préventive ou de dépistage"},
    {"75482-0", "CR d'acte thérapeutique à visée préventive"},
    {"CERT_DECL", "Certificats, déclarations|Certificat, déclaration"},
    {"89601-9", "Certificat médical"},
    {"96173-0", "Attestation de dépistage"},
    {"96874-3", "COVID-19 Attestation de vaccination"},
    {"59284-0", "Documents administratifs et de gestion|Attestation de consentement"},
    {"ATTEST-DROITS-AM", "Attestation de droits à l'assurance maladie"},
    {"ATTEST-ASS-COMPL", "Attestation assurance complémentaire"},
    {"ATTEST-RESID", "Attestation de résidence"},  // 80
    {"ATTEST-HEBGT", "Attestation d'hébergement"},
    {"86531-1", "Attestation de sortie"},
    {"AUTORIS-SOINS", "Autorisation de soins et actes non usuels sanitaires"},
}};

const std::array<TCadreExercice, CadreExerciceCount> CadresExercice = {{
    {"AMBULATOIRE", "Ambulatoire"},
    {"DEPISTAGE", "Dépistage"},
    {"ETABLISSEMENT", "Etablissement de santé"},
    {"HAD", "Hospitalisation à domicile"},
    {"MAD", "Maintien à domicile"},
    {"SAMU_SMUR", "SAMU/SMUR"},
    {"SAD", "Soins à domicile"},
    {"PALLIATIF", "Soins palliatifs"},
}};

namespace {

// IHE scanned-document format codes (XDS-SD) and the national scheme.
constexpr const char* SchemeIHEFormat = "1.3.6.1.4.1.19376.1.2.3";
constexpr const char* SchemeNational = "1.2.250.1.213.1.1.4.2.282";

}  // namespace

const std::array<TTypeMimeInfo, EnumCount<TTypeMime>>& TypesMime() {
  static const std::array<TTypeMimeInfo, EnumCount<TTypeMime>> Rows = {{
      {"text/plain", "TXT",
       {"urn:ihe:iti:xds-sd:text:2008", SchemeIHEFormat, "Document à corps non structuré en texte brut"}},
      {"text/rtf", "RTF",
       {"urn:ihe:iti-fr:xds-sd:rtf:2010", SchemeIHEFormat, "Document à corps non structuré en format rtf"}},
      {"application/pdf", "PDF",
       {"urn:ihe:iti:xds-sd:pdf:2008", SchemeIHEFormat, "Document à corps non structuré en Pdf/A-1"}},
      {"image/jpeg", "JPG",
       {"urn:ihe:iti-fr:xds-sd:jpeg:2010", SchemeIHEFormat, "Document à corps non structuré en format jpeg"}},
      {"image/tiff", "TIF",
       {"urn:ihe:iti-fr:xds-sd:tiff:2010", SchemeIHEFormat, "Document à corps non structuré en format tiff"}},
      {"text/xml", "XML",
       {"urn:asipSante:modelesHorsProfils:2011", SchemeNational, "Document non référencé IHE ou CI-SIS"}},
  }};
  return Rows;
}

const TTypeMimeInfo& TypeMimeInfo(TTypeMime Type) {
  const auto Index = static_cast<size_t>(Type);
  return TypesMime()[Index < EnumCount<TTypeMime> ? Index : 0];
}

const TOIDValue& FormatSyntheseMedicale() {
  static const TOIDValue Value = {"urn:asip:ci-sis:vsm:2012", SchemeNational, "Synthèse médicale"};
  return Value;
}

const TOIDValue& FormatNoteVaccination() {
  static const TOIDValue Value = {"urn:asip:ci-sis:vac-note:2021", SchemeNational, "Note de vaccination"};
  return Value;
}

namespace {

// The extension of a file name, dot included, ASCII upper-cased; "" when the
// last path element has no dot.
std::string UpperExtension(std::string_view FileName) {
  const size_t Dot = FileName.find_last_of("./\\");
  if (Dot == std::string_view::npos || FileName[Dot] != '.') return {};
  std::string Ext(FileName.substr(Dot));
  for (char& C : Ext)
    if (C >= 'a' && C <= 'z') C = char(C - 'a' + 'A');
  return Ext;
}

}  // namespace

TTypeMime TypeMimeFromExtension(std::string_view FileName) {
  const std::string Ext = UpperExtension(FileName);
  if (Ext == ".PDF") return TTypeMime::ApplicationPDF;
  if (Ext == ".JPG" || Ext == ".JPEG") return TTypeMime::ImageJPEG;
  if (Ext == ".TIF" || Ext == ".TIFF") return TTypeMime::ImageTIFF;
  if (Ext == ".RTF") return TTypeMime::TextRTF;
  if (Ext == ".XML") return TTypeMime::CDAR2XML;
  return TTypeMime::TextPlain;
}

TTypeMime TypeMimeFromMimeType(std::string_view MimeType) {
  const auto& Rows = TypesMime();
  for (size_t I = Rows.size() - 1; I >= 1; --I)
    if (Rows[I].MimeType == MimeType) return static_cast<TTypeMime>(I);
  return TTypeMime::TextPlain;
}

std::string_view ExtensionFromMimeType(std::string_view MimeType) {
  return TypeMimeInfo(TypeMimeFromMimeType(MimeType)).ShortName;
}

int TypeDocumentIndex(std::string_view Code) {
  for (int I = TypeDocumentCount - 1; I >= 0; --I)
    if (TypesDocument[size_t(I)].Code == Code) return I;
  return -1;
}

std::string_view CaptionGroup(std::string_view Caption) {
  const size_t Bar = Caption.find('|');
  return Bar == std::string_view::npos ? std::string_view() : Caption.substr(0, Bar);
}

std::string_view CaptionLabel(std::string_view Caption) {
  const size_t Bar = Caption.find('|');
  return Bar == std::string_view::npos ? Caption : Caption.substr(Bar + 1);
}

int TypeDocumentIndexOfLabel(std::string_view Label) {
  for (int I = TypeDocumentCount - 1; I >= 0; --I) {
    const std::string_view Caption = TypesDocument[size_t(I)].Caption;
    if (Caption == Label) return I;
    if (Caption.size() > Label.size() && Caption.ends_with(Label) &&
        Caption[Caption.size() - Label.size() - 1] == '|')
      return I;
  }
  return -1;
}

namespace {

// Category labels that the service's document lists show besides the filing
// types (documents the patient or the insurer put in the record).
constexpr struct {
  std::string_view Label;
  std::string_view Code;
} PatientSideLabels[] = {
    {"Certificat, déclaration", "CERT_DECL"},
    {"Volontés et droits du patient", "EXPPAT_1"},
    {"Données de remboursement", "INSCR_RCP"},
    {"Documents ajoutés par le patient", "EXPPAT_2"},
    {"Document du patient", "EXPPAT_2"},
    {"Directives anticipées", "EXPPAT_3"},
};

}  // namespace

std::string_view TypeDocumentCode(std::string_view Label) {
  const int Index = TypeDocumentIndexOfLabel(Label);
  if (Index >= 0) return TypesDocument[size_t(Index)].Code;
  for (const auto& Row : PatientSideLabels)
    if (Row.Label == Label) return Row.Code;
  return {};
}

std::string TypeDocumentLabel(std::string_view Code) {
  const int Index = TypeDocumentIndex(Code);
  if (Index < 0) return std::string(Code);
  return std::string(CaptionLabel(TypesDocument[size_t(Index)].Caption));
}

std::string_view TypeDocumentGroup(int Index) {
  if (Index < 0 || Index >= TypeDocumentCount) return {};
  for (int I = Index; I >= 0; --I) {
    const std::string_view Group = CaptionGroup(TypesDocument[size_t(I)].Caption);
    if (!Group.empty()) return Group;
  }
  return {};
}

bool IsTypeDocumentMedical(int Index) { return Index >= 0 && Index < TypeDocumentMedicalCount; }

int CadreExerciceIndex(std::string_view Code) {
  for (int I = CadreExerciceCount - 1; I >= 1; --I)
    if (CadresExercice[size_t(I)].Code == Code) return I;
  return 0;
}

int CadreExerciceIndexOfLabel(std::string_view Label) {
  for (int I = CadreExerciceCount - 1; I >= 1; --I)
    if (CadresExercice[size_t(I)].Label == Label) return I;
  return 0;
}

std::string NomPatient(const TIdentite& Id) {
  // Without a usage name the birth name identifies the patient; an empty
  // part leaves no double blank.
  std::string Name;
  for (std::string_view Part : {CiviliteCourte(Id.Civilite), std::string_view(Id.NomUsage.empty() ? Id.NomNaissance : Id.NomUsage),
                                std::string_view(Id.Prenom)})
    if (!Part.empty()) Name += (Name.empty() ? "" : " ") + std::string(Part);
  return Name;
}

int CiviliteCode(std::string_view Civilite) {
  if (Civilite == "M") return 1;
  if (Civilite == "Mme") return 2;
  if (Civilite == "Mlle") return 3;
  return 0;
}

std::string_view CiviliteCourte(int Civilite) {
  switch (Civilite) {
    case 1: return "M";
    case 2: return "Mme";
    case 3: return "Mlle";
    default: return "";
  }
}

std::string_view CiviliteLongue(int Civilite) {
  switch (Civilite) {
    case 1: return "Monsieur";
    case 2: return "Madame";
    case 3: return "Mademoiselle";
    default: return "";
  }
}

bool FileVersionFixedInfo(const std::string& FileName, TFixedFileInfo& Info) {
  Info = {};
  Vantrel::TFileVersion V;
  if (!Vantrel::LibraryFileVersion(FileName, V)) return false;
  Info.FileVersionMS = Info.ProductVersionMS = uint32_t(V[0]) << 16 | V[1];
  Info.FileVersionLS = Info.ProductVersionLS = uint32_t(V[2]) << 16 | V[3];
  return true;
}

}  // namespace Talven
