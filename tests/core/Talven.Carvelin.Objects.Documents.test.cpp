// The document helpers that read outside text, and documents made without a
// record: the renderer's refusal, and what such a document still answers.
#include <gtest/gtest.h>

#include "Talven.Carvelin.Objects.h"
#include "TestSupport.h"

using namespace Talven;

namespace {

std::string CDA(std::string_view Children) {
  return "<ClinicalDocument xmlns=\"urn:hl7-org:v3\">" + std::string(Children) + "</ClinicalDocument>";
}

TEST(DocumentHelpers, format_code_of_the_first_mapped_template_in_the_leading_run) {
  constexpr std::string_view Summary = "<templateId root=\"1.2.250.1.213.1.1.1.13\"/>";
  constexpr std::string_view Note = "<templateId root=\"1.2.250.1.213.1.1.1.46\"/>";
  constexpr std::string_view Other = "<templateId root=\"2.16.840.1.113883.2.8.2.1\"/>";
  const struct {
    std::string Text, IdRoot, Format;
  } Cases[] = {
      {CDA("<realmCode code=\"FR\"/>" + std::string(Other) + std::string(Summary) + "<id root=\"1.2.3\"/>"), "1.2.3",
       "urn:asip:ci-sis:vsm:2012"},
      {CDA(std::string(Note) + std::string(Summary)), "", "urn:asip:ci-sis:vac-note:2021"},
      // The run of templateId elements ends at the first other element.
      {CDA(std::string(Other) + "<id root=\"4.5\"/>" + std::string(Summary)), "4.5", ""},
      {CDA("<id root=\"6\"/>"), "6", ""},
      {"<autre><templateId root=\"1.2.250.1.213.1.1.1.13\"/></autre>", "", ""},
  };
  for (const auto& C : Cases) {
    std::string IdRoot = "x", Format = "x";
    Objects::CDAFormatCode(C.Text, IdRoot, Format);
    EXPECT_EQ(IdRoot, C.IdRoot) << C.Text;
    EXPECT_EQ(Format, C.Format) << C.Text;
  }
  std::string IdRoot, Format;
  EXPECT_THROW(Objects::CDAFormatCode("<ClinicalDocument>", IdRoot, Format), Vantrel::EXMLError);
}

TEST(DocumentHelpers, plain_identifiers) {
  for (std::string_view Good : {"1.2.250.1", "urn:uuid:af039ea7-348d-50f4-80e2-aed502d67840", "A_b-9"})
    EXPECT_TRUE(Objects::IsPlainIdentifier(Good)) << Good;
  for (std::string_view Bad : std::initializer_list<std::string_view>{"", "1.2'", "a b", "x<y", "a&amp;", "é", "1,2", std::string_view("a\0b", 3)})
    EXPECT_FALSE(Objects::IsPlainIdentifier(Bad)) << Bad;
}

TEST(DocumentHelpers, impossible_hl7_times_are_no_date) {
  for (std::string_view Text : {"20250230", "20251301", "20250101250000", "20250101126000", "2025010a", "+0250101"}) {
    EXPECT_EQ(Objects::ParseDateTimeHL7(Text), 0) << Text;
    EXPECT_EQ(Objects::HL7TimeToText(Text), "") << Text;
  }
}

TEST(LoadedDocuments, what_the_renderer_cannot_read_is_no_document) {
  auto Root = TCarvelin::Create();
  std::shared_ptr<IDocument> Doc;
  EXPECT_EQ(Root->xmlLoadDocument("<ClinicalDocument xmlns=\"urn:hl7-org:v3\"><title>", Doc), ERR_XOP);
  EXPECT_FALSE(Doc);
  EXPECT_NE(Root->GetErrDetail().find("(octet "), std::string::npos) << Root->GetErrDetail();

  const std::string Text = CDA("<versionNumber value=\"3\"/><component><nonXMLBody><text mediaType=\"text/plain\" "
                               "representation=\"B64\">Ym9uam91cg==</text></nonXMLBody></component>");
  ASSERT_EQ(Root->xmlLoadDocument(Text, Doc), ERR_OK) << Root->GetErrDetail();
  std::string_view Content;
  ASSERT_EQ(Doc->GetDocument(Content), ERR_OK);
  EXPECT_EQ(Content, "bonjour");
  EXPECT_EQ(Doc->MimeType(), "text/plain");
  EXPECT_EQ(Doc->GetInfo()->Version, 3);
  EXPECT_EQ(Doc->GetInfo()->DocumentSource, Text);
  // No session, no record: refused before anything could go out.
  EXPECT_EQ(Doc->SetArchive(true), ERR_SESSION);
  EXPECT_EQ(Doc->Supprimer(), ERR_SESSION);
  EXPECT_EQ(Doc->SetVisibilite(2), ERR_SESSION);

  // Saving replaces a file; one that cannot be written raises.
  TestSupport::TempDir Work;
  TestSupport::WriteFile(Work / "doc.xml", "ancien");
  Doc->SaveToFile((Work / "doc.xml").string());
  EXPECT_EQ(TestSupport::ReadFile(Work / "doc.xml"), Text);
  EXPECT_THROW(Doc->SaveToFile((Work / "absent" / "doc.xml").string()), std::filesystem::filesystem_error);
}

}  // namespace
