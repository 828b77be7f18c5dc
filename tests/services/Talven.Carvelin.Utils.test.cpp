#include "Talven.Carvelin.Utils.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "TestSupport.h"

using namespace Talven;

TEST(Utils, document_table_opens_its_groups_where_the_lists_expect) {
  struct {
    int Index;
    std::string_view Group;
  } const Openers[] = {
      {0, "Synthèses"},   {17, "Traitements et soins"}, {40, "Comptes-rendus"},
      {67, "Imagerie médicale"}, {69, "Biologie"},      {71, "Prévention"},
      {73, "Certificats, déclarations"}, {77, "Documents administratifs et de gestion"},
  };
  std::vector<int> Found;
  for (int I = 0; I < TypeDocumentCount; ++I)
    if (!CaptionGroup(TypesDocument[size_t(I)].Caption).empty()) Found.push_back(I);
  ASSERT_EQ(Found.size(), std::size(Openers));
  for (size_t K = 0; K < Found.size(); ++K) {
    EXPECT_EQ(Found[K], Openers[K].Index);
    EXPECT_EQ(CaptionGroup(TypesDocument[size_t(Found[K])].Caption), Openers[K].Group);
  }
  // Every row belongs to the last group opened at or above it.
  for (size_t K = 0; K < std::size(Openers); ++K) {
    const int End = K + 1 < std::size(Openers) ? Openers[K + 1].Index : TypeDocumentCount;
    for (int I = Openers[K].Index; I < End; ++I) EXPECT_EQ(TypeDocumentGroup(I), Openers[K].Group) << I;
  }
  EXPECT_EQ(TypeDocumentGroup(-1), "");
  EXPECT_EQ(TypeDocumentGroup(TypeDocumentCount), "");
}

TEST(Utils, every_row_is_found_again_by_its_code_and_its_label) {
  std::set<std::string_view> Codes;
  for (int I = 0; I < TypeDocumentCount; ++I) {
    const auto& Row = TypesDocument[size_t(I)];
    SCOPED_TRACE(Row.Code);
    EXPECT_TRUE(Codes.insert(Row.Code).second) << "duplicate code";
    EXPECT_EQ(TypeDocumentIndex(Row.Code), I);
    const std::string Label = TypeDocumentLabel(Row.Code);
    EXPECT_EQ(Label.find('|'), std::string::npos);
    EXPECT_EQ(TypeDocumentIndexOfLabel(Label), I);
    EXPECT_EQ(TypeDocumentCode(Label), Row.Code);
  }
}

TEST(Utils, document_type_lookups) {
  struct {
    std::string_view Code;
    int Index;
    std::string_view Label;
  } const Cases[] = {
      {"SYNTH", 0, "Synthèse"},
      {"15508-5", 40, "CR d'accouchement"},
      {"75482-0", 72, "CR d'acte thérapeutique à visée préventive"},
      {"CERT_DECL", 73, "Certificat, déclaration"},
      {"AUTORIS-SOINS", 83, "Autorisation de soins et actes non usuels sanitaires"},
      {"PRESC-ORTHOPTIE", 36, "Prescription d'actes d'orthoptie"},
      // Unknown codes come back unchanged as their own label.
      {"synth", -1, "synth"},
      {"15508-5 ", -1, "15508-5 "},
      {"EXPPAT_2", -1, "EXPPAT_2"},
      {"", -1, ""},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Code);
    EXPECT_EQ(TypeDocumentIndex(C.Code), C.Index);
    EXPECT_EQ(TypeDocumentLabel(C.Code), C.Label);
  }
}

TEST(Utils, label_lookup_matches_whole_captions_or_the_part_after_the_bar) {
  struct {
    std::string_view Label;
    int Index;
  } const Cases[] = {
      {"Synthèse", 0},
      {"Synthèses", -1},  // a group name alone is no label
      {"Synthèses|Synthèse", 0},
      {"CR d'administration de médicaments", 17},
      {"soins|CR d'administration de médicaments", -1},
      {"médicaments", -1},
      {"|Synthèse", -1},
      {"synthèse", -1},
      {"Attestation de sortie", 82},
      {"", -1},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Label);
    EXPECT_EQ(TypeDocumentIndexOfLabel(C.Label), C.Index);
  }
}

TEST(Utils, document_code_of_a_label_includes_the_patient_side_categories) {
  struct {
    std::string_view Label;
    std::string_view Code;
  } const Cases[] = {
      {"CR d'accouchement", "15508-5"},
      {"Certificat, déclaration", "CERT_DECL"},
      {"Volontés et droits du patient", "EXPPAT_1"},
      {"Données de remboursement", "INSCR_RCP"},
      {"Documents ajoutés par le patient", "EXPPAT_2"},
      {"Document du patient", "EXPPAT_2"},
      {"Directives anticipées", "EXPPAT_3"},
      {"document du patient", ""},
      {"Inconnu", ""},
      {"", ""},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Label);
    EXPECT_EQ(TypeDocumentCode(C.Label), C.Code);
  }
}

TEST(Utils, medical_rows_stop_before_the_certificates) {
  for (int I : {0, 40, 72}) EXPECT_TRUE(IsTypeDocumentMedical(I)) << I;
  for (int I : {73, 83, 84, -1, -73}) EXPECT_FALSE(IsTypeDocumentMedical(I)) << I;
  EXPECT_FALSE(IsTypeDocumentMedical(TypeDocumentIndex("inconnu")));
}

TEST(Utils, care_settings_by_code_and_label_default_to_ambulatory) {
  struct {
    std::string_view Code;
    std::string_view Label;
    int Index;
  } const Rows[] = {
      {"AMBULATOIRE", "Ambulatoire", 0},  {"DEPISTAGE", "Dépistage", 1},
      {"ETABLISSEMENT", "Etablissement de santé", 2}, {"HAD", "Hospitalisation à domicile", 3},
      {"MAD", "Maintien à domicile", 4},  {"SAMU_SMUR", "SAMU/SMUR", 5},
      {"SAD", "Soins à domicile", 6},     {"PALLIATIF", "Soins palliatifs", 7},
  };
  for (const auto& R : Rows) {
    SCOPED_TRACE(R.Code);
    EXPECT_EQ(CadresExercice[size_t(R.Index)].Code, R.Code);
    EXPECT_EQ(CadreExerciceIndex(R.Code), R.Index);
    EXPECT_EQ(CadreExerciceIndexOfLabel(R.Label), R.Index);
  }
  for (std::string_view Unknown : {"ambulatoire", "had", "", "ESSMS", "Hospitalisation a domicile"}) {
    EXPECT_EQ(CadreExerciceIndex(Unknown), 0) << Unknown;
    EXPECT_EQ(CadreExerciceIndexOfLabel(Unknown), 0) << Unknown;
  }
}

TEST(Utils, mime_type_from_file_extension) {
  struct {
    std::string_view FileName;
    TTypeMime Type;
  } const Cases[] = {
      {"compte-rendu.pdf", TTypeMime::ApplicationPDF},
      {"COMPTE-RENDU.PDF", TTypeMime::ApplicationPDF},
      {"photo.Jpg", TTypeMime::ImageJPEG},
      {"photo.jpeg", TTypeMime::ImageJPEG},
      {"scan.tif", TTypeMime::ImageTIFF},
      {"scan.TIFF", TTypeMime::ImageTIFF},  // the long form is a TIFF image too
      {"lettre.rtf", TTypeMime::TextRTF},
      {"cda.xml", TTypeMime::CDAR2XML},
      {"archive.pdf.xml", TTypeMime::CDAR2XML},
      {"/home/médecin/Résumé.PDF", TTypeMime::ApplicationPDF},
      {".pdf", TTypeMime::ApplicationPDF},
      {"notes.txt", TTypeMime::TextPlain},
      {"notes.pdfx", TTypeMime::TextPlain},
      {"sans-extension", TTypeMime::TextPlain},
      {"dossier.pdf/fichier", TTypeMime::TextPlain},
      {"C:\\dossier.pdf\\fichier", TTypeMime::TextPlain},
      {"fichier.", TTypeMime::TextPlain},
      {"", TTypeMime::TextPlain},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.FileName);
    EXPECT_EQ(TypeMimeFromExtension(C.FileName), C.Type);
  }
}

TEST(Utils, mime_type_and_short_name_from_mime_text) {
  struct {
    std::string_view Mime;
    TTypeMime Type;
    std::string_view ShortName;
  } const Cases[] = {
      {"text/plain", TTypeMime::TextPlain, "TXT"},
      {"text/rtf", TTypeMime::TextRTF, "RTF"},
      {"application/pdf", TTypeMime::ApplicationPDF, "PDF"},
      {"image/jpeg", TTypeMime::ImageJPEG, "JPG"},
      {"image/tiff", TTypeMime::ImageTIFF, "TIF"},
      {"text/xml", TTypeMime::CDAR2XML, "XML"},
      {"application/octet-stream", TTypeMime::TextPlain, "TXT"},
      {"APPLICATION/PDF", TTypeMime::TextPlain, "TXT"},
      {"application/pdf; charset=binary", TTypeMime::TextPlain, "TXT"},
      {"", TTypeMime::TextPlain, "TXT"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Mime);
    EXPECT_EQ(TypeMimeFromMimeType(C.Mime), C.Type);
    EXPECT_EQ(ExtensionFromMimeType(C.Mime), C.ShortName);
  }
}

TEST(Utils, format_codes_of_the_file_types_and_structured_documents) {
  const TOIDValue& Tiff = TypeMimeInfo(TTypeMime::ImageTIFF).Format;
  EXPECT_EQ(Tiff.Code, "urn:ihe:iti-fr:xds-sd:tiff:2010");
  EXPECT_EQ(Tiff.OID, "1.3.6.1.4.1.19376.1.2.3");
  const TOIDValue& Cda = TypeMimeInfo(TTypeMime::CDAR2XML).Format;
  EXPECT_EQ(Cda.Code, "urn:asipSante:modelesHorsProfils:2011");
  EXPECT_EQ(Cda.OID, "1.2.250.1.213.1.1.4.2.282");
  EXPECT_EQ(Cda.Name, "Document non référencé IHE ou CI-SIS");
  EXPECT_EQ(TypeMimeInfo(static_cast<TTypeMime>(99)).ShortName, "TXT");
  EXPECT_EQ(FormatSyntheseMedicale().Code, "urn:asip:ci-sis:vsm:2012");
  EXPECT_EQ(FormatSyntheseMedicale().Name, "Synthèse médicale");
  EXPECT_EQ(FormatNoteVaccination().Code, "urn:asip:ci-sis:vac-note:2021");
  EXPECT_EQ(FormatNoteVaccination().OID, "1.2.250.1.213.1.1.4.2.282");
  EXPECT_EQ(FormatNoteVaccination().Name, "Note de vaccination");
}

TEST(Utils, civility_code_of_a_civility_text) {
  struct {
    std::string_view Text;
    int Code;
  } const Cases[] = {
      {"M", 1}, {"Mme", 2}, {"Mlle", 3}, {"MME", 0}, {"m", 0}, {"M.", 0}, {"Monsieur", 0}, {"", 0},
  };
  for (const auto& C : Cases) EXPECT_EQ(CiviliteCode(C.Text), C.Code) << C.Text;
}

TEST(FileVersion, the_fixed_information_comes_from_the_library_file_name) {
  TFixedFileInfo Info;
  ASSERT_TRUE(FileVersionFixedInfo(TestSupport::ToolPath("libapi_lec_stub.so.6.2.1.0"), Info));
  EXPECT_EQ(Info.FileVersionMS, 0x00060002u);
  EXPECT_EQ(Info.FileVersionLS, 0x00010000u);
  EXPECT_EQ(Info.ProductVersionMS, Info.FileVersionMS);
  EXPECT_EQ(Info.ProductVersionLS, Info.FileVersionLS);
  EXPECT_FALSE(FileVersionFixedInfo(TestSupport::ToolPath("missing.so.1.2.3.4"), Info));
  EXPECT_EQ(Info.FileVersionMS, 0u);
  EXPECT_FALSE(FileVersionFixedInfo("/etc/hostname", Info));
}

// The record dialogs must single the patient out: the birth name stands in
// for a missing usage name, and empty parts leave no double blank.
TEST(Utils, patient_name_of_the_record_dialogs) {
  struct Row {
    Talven::TIdentite Id;
    std::string Expected;
  };
  const Row Rows[] = {
      {{2, "MARTIN-DURAND", "DURAND", "Zoé", "", 0}, "Mme MARTIN-DURAND Zoé"},
      {{2, "", "DUPONT", "Marie", "", 0}, "Mme DUPONT Marie"},
      {{0, "", "PETIT", "Léa", "", 0}, "PETIT Léa"},
      {{1, "", "", "", "", 0}, "M"},
  };
  for (const Row& R : Rows) EXPECT_EQ(Talven::NomPatient(R.Id), R.Expected);
}
