#include "Talven.Carvelin.ClinicalDocuments.h"

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.XML.Tree.h"

using namespace Talven;

namespace {

// 5 March 2024 14:30:00, local time.
Vantrel::TDateTime FixedClock() {
  Vantrel::TDateTime T = 0;
  Vantrel::TryEncodeDateTime({2024, 3, 5, 14, 30, 0, 0}, T);
  return T;
}

TClinicalDocument Render(std::string_view XML) {
  TClinicalDocument D(FixedClock);
  D.Parse(XML);
  return D;
}

// A document whose element content is Inner.
std::string Doc(std::string_view Inner) {
  return "<?xml version=\"1.0\"?><ClinicalDocument xmlns=\"urn:hl7-org:v3\">" + std::string(Inner) +
         "</ClinicalDocument>";
}

std::string NonXML(std::string_view MediaType, std::string_view Representation, std::string_view Bytes) {
  return Doc("<title>T</title><component><nonXMLBody><text mediaType=\"" + std::string(MediaType) +
             "\" representation=\"" + std::string(Representation) + "\">" + Vantrel::Base64Encode(Bytes) +
             "</text></nonXMLBody></component>");
}

size_t Count(std::string_view S, std::string_view What) {
  size_t N = 0;
  for (size_t P = S.find(What); P != std::string_view::npos; P = S.find(What, P + 1)) ++N;
  return N;
}

}  // namespace

TEST(ClinicalDocuments, hl7_dates_read_as_french_text) {
  const struct {
    const char* In;
    const char* Out;
  } Cases[] = {
      {"2024011", ""},
      {"20241231", "31 Décembre 2024"},
      {"20240305", "5 Mars 2024"},
      {"20240801", "1  Août 2024"},
      {"20241001", "1 Octobre 2024"},
      {"20240001", "1 2024"},  // no month name
      {"20241301", "1 2024"},
      {"202412311015", "31 Décembre 2024, 10:15"},
      {"20241231101530", "31 Décembre 2024, 10:15:30"},
      {"20240305143000+0100", "5 Mars 2024, 14:30:00 +0100"},
      {"20240305143000-0500", "5 Mars 2024, 14:30:00"},  // a '-' offset is not shown
      {"202403051430+0100", "5 Mars 2024, 14:30 +0100"},
      {"202403051430+01", "5 Mars 2024, 14:30"},  // offset cut short
  };
  for (const auto& C : Cases) EXPECT_EQ(FormatHL7DateFR(C.In), C.Out) << C.In;
}

TEST(ClinicalDocuments, code_labels_come_from_tables_with_default_or_marker) {
  EXPECT_EQ(CodeLabel("tel", CodeTableTelecomUse, ""), "Tel");
  EXPECT_EQ(CodeLabel("PUB", CodeTableTelecomUse, ""), "Bureau standard");
  EXPECT_EQ(CodeLabel("F", CodeTableSex, "Inconnu"), "Féminin");
  EXPECT_EQ(CodeLabel("U", CodeTableSex, "Inconnu"), "Inconnu");
  EXPECT_EQ(CodeLabel("sip", CodeTableTelecomUse, ""), "{$code=sip}");
  EXPECT_EQ(CodeLabel("", CodeTableTelecomUse, ""), "{$code=}");
  EXPECT_EQ(CodeLabel("Tel", CodeTableTelecomUse, ""), "{$code=Tel}");  // case-sensitive
  EXPECT_EQ(CodeLabel("SIGOTHR", CodeTableRelationship, ""), "Autre relation");
  EXPECT_EQ(CodeLabel("PROV", CodeTableParticipantClass, ""), "PS");
  EXPECT_EQ(CodeLabel("CON", CodeTableInformantRole, ""), "informateur");
}

// Golden pages for documents that use every header block and every
// narrative element (the generation time comes from the fixed clock).
TEST(ClinicalDocuments, fixtures_render_as_their_golden_pages) {
  const TClinicalDocument H = Render(TestSupport::ReadFile(TestSupport::Fixture("cda/header.xml")));
  EXPECT_EQ(H.HtmlStream, TestSupport::ReadFile(TestSupport::Fixture("cda/header.html")));
  EXPECT_EQ(H.Version, 3);
  EXPECT_EQ(H.mimeType, "text/plain");
  EXPECT_EQ(H.NonXMLBody.Bytes(), "Résultat : normal\n");
  EXPECT_TRUE(H.TextIsUTF8);
  EXPECT_TRUE(H.MediaList.Items().empty());

  const TClinicalDocument N = Render(TestSupport::ReadFile(TestSupport::Fixture("cda/narrative.xml")));
  EXPECT_EQ(N.HtmlStream, TestSupport::ReadFile(TestSupport::Fixture("cda/narrative.html")));
  EXPECT_EQ(N.NonXMLBody.Bytes(), TestSupport::ReadFile(TestSupport::Fixture("cda/narrative.body.html")));
  EXPECT_EQ(N.mimeType, "text/html");
  EXPECT_EQ(N.Version, 1);  // "abc" counts as absent
  ASSERT_EQ(N.MediaList.Items().size(), 1u);
  const TMedia* M = N.MediaList.GetMedia("MM1");
  ASSERT_NE(M, nullptr);
  EXPECT_EQ(M->FMimeType, "image/png");
  EXPECT_EQ(M->Data.Bytes(), std::string("\x89PNG\r\n\x1a\nimg", 11));
  EXPECT_EQ(N.MediaList.GetMedia("mm1"), nullptr);
  EXPECT_EQ(N.MediaList.GetMedia("MM2"), nullptr);  // not Base64
  EXPECT_EQ(N.MediaList.GetMedia("MM3"), nullptr);  // empty
}

// Media and a non-XML body are decoded when read. A document rendered from a
// borrowed text keeps its own copy of what it decodes later; one rendered
// from a shared text reads that text and gives the same results.
TEST(ClinicalDocuments, media_and_bodies_decode_on_request_from_a_copied_or_shared_text) {
  const std::string Pdf = "%PDF-1.4 " + TestSupport::RandomBytes(5000, 3);
  for (const std::string& XML : {TestSupport::ReadFile(TestSupport::Fixture("cda/narrative.xml")),
                                 NonXML("application/pdf", "B64", Pdf)}) {
    TClinicalDocument Shared = [&] {
      TClinicalDocument D(FixedClock);
      D.Parse(std::make_shared<const std::string>(XML));
      return D;
    }();
    TClinicalDocument Copied(FixedClock);
    {
      auto Borrowed = std::make_unique<std::string>(XML);
      Copied.Parse(*Borrowed);
      std::fill(Borrowed->begin(), Borrowed->end(), 'A');  // then freed: nothing may read it
    }
    for (const TClinicalDocument* D : {&Shared, &Copied}) {
      EXPECT_EQ(D->HtmlStream, Render(XML).HtmlStream);
      ASSERT_EQ(D->MediaList.Items().size(), Render(XML).MediaList.Items().size());
    }
    EXPECT_EQ(Shared.NonXMLBody.Bytes(), Copied.NonXMLBody.Bytes());
    EXPECT_EQ(Shared.NonXMLBody.size(), Shared.NonXMLBody.Bytes().size());
    for (size_t I = 0; I < Shared.MediaList.Items().size(); ++I)
      EXPECT_EQ(Shared.MediaList.Items()[I].Data.Bytes(), Copied.MediaList.Items()[I].Data.Bytes());
  }
  TClinicalDocument D(FixedClock);
  D.Parse(std::make_shared<const std::string>(NonXML("application/pdf", "B64", Pdf)));
  EXPECT_EQ(D.NonXMLBody.Bytes(), Pdf);
  EXPECT_NE(D.HtmlStream.find("Document au format PDF (5 Ko)"), std::string::npos);
}

// The first reads may come from several threads: one decoding, one copy of the bytes.
TEST(ClinicalDocuments, first_reads_from_several_threads_share_one_decoding) {
  const std::string Bytes = TestSupport::RandomBytes(100000, 4);
  TClinicalDocument D(FixedClock);
  D.Parse(std::make_shared<const std::string>(NonXML("application/pdf", "B64", Bytes)));
  const TContent Copy = D.NonXMLBody;
  std::vector<std::string_view> Seen(8);
  std::vector<std::thread> Readers;
  for (size_t I = 0; I < Seen.size(); ++I)
    Readers.emplace_back([&, I] { Seen[I] = (I % 2 ? Copy : D.NonXMLBody).Bytes(); });
  for (std::thread& T : Readers) T.join();
  for (std::string_view S : Seen) {
    EXPECT_EQ(S.data(), Seen[0].data());
    EXPECT_EQ(S, Bytes);
  }
}

TEST(ClinicalDocuments, version_number_is_one_unless_a_positive_integer) {
  const struct {
    const char* Element;
    int Version;
  } Cases[] = {
      {"", 1},
      {"<versionNumber value=\"2\"/>", 2},
      {"<versionNumber value=\"0\"/>", 1},
      {"<versionNumber value=\"-3\"/>", 1},
      {"<versionNumber value=\"abc\"/>", 1},
      {"<versionNumber value=\"2.5\"/>", 1},
      {"<versionNumber value=\"99999999999\"/>", 1},
      {"<versionNumber/>", 1},
  };
  for (const auto& C : Cases) EXPECT_EQ(Render(Doc(C.Element)).Version, C.Version) << C.Element;
}

TEST(ClinicalDocuments, header_blocks_follow_the_document) {
  const struct {
    const char* Inner;
    const char* Expected;  // a piece of the header page
    bool Present;
  } Cases[] = {
      {"<confidentialityCode code=\"N\"/>", "<tr><th>Niveau de confidentialité</th><td>Normal</td></tr>", true},
      {"<confidentialityCode code=\"V\"/>", "<td>Très restreint</td>", true},
      {"<confidentialityCode code=\"NN\"/>", "Niveau de confidentialité", false},
      {"<custodian><assignedCustodian><representedCustodianOrganization><telecom value=\"tel:0102030405\"/>"
       "</representedCustodianOrganization></assignedCustodian></custodian>",
       "<td>adresse non renseignée<br>Tel: 0102030405</td>", true},
      {"<custodian><assignedCustodian><representedCustodianOrganization><telecom value=\"sip:x\"/>"
       "</representedCustodianOrganization></assignedCustodian></custodian>",
       "{$code=sip}: x</td>", true},
      {"<custodian><assignedCustodian><representedCustodianOrganization><telecom value=\"0102\"/>"
       "</representedCustodianOrganization></assignedCustodian></custodian>",
       "<td>adresse non renseignée<br></td>", true},
      {"<custodian><assignedCustodian><representedCustodianOrganization><addr nullFlavor=\"UNK\"/>"
       "</representedCustodianOrganization></assignedCustodian></custodian>",
       "<tr><th>Coordonnées</th><td><br></td></tr>", true},
      {"<recordTarget><patientRole><id root=\"1.2.250.1.213.1.4.2\" extension=\"X\"/></patientRole></recordTarget>",
       "<td>adresse non renseignée<br>Coordonnées téléphoniques non renseignées<br></td><th class=\"h2\">"
       "Identifiant(s)</th><td>INS-C : <strong>X</strong> [1.2.250.1.213.1.4.2]</td>",
       true},
      {"<recordTarget><patientRole><patient><administrativeGenderCode code=\"UN\"/></patient></patientRole>"
       "</recordTarget>",
       "Sexe</th><td><strong>Inconnu</strong>", true},
      {"<inFulfillmentOf><order><id extension=\"X\"/></order></inFulfillmentOf>", "Références prescriptions", false},
      {"<legalAuthenticator><signatureCode code=\"SS\"/><time value=\"20240101\"/></legalAuthenticator>",
       "<br> le 1 Janvier 2024</td>", true},
      // Family names never run together: the used name (CL) has its caption,
      // a name part without a known qualifier is set apart by a space.
      {"<recordTarget><patientRole><patient><name><family qualifier=\"BR\">DURAND</family>"
       "<family qualifier=\"CL\">MARTIN-DURAND</family><given>Zoé</given></name></patient></patientRole>"
       "</recordTarget>",
       "Prénom : <strong>Zoé</strong>; Nom de famille : <strong>DURAND</strong>; Nom utilisé : "
       "<strong>MARTIN-DURAND</strong></td>",
       true},
      {"<recordTarget><patientRole><patient><name><given>Zoé</given><family>DURAND</family>"
       "<family qualifier=\"XX\">MARTIN</family></name></patient></patientRole></recordTarget>",
       "Prénom : <strong>Zoé</strong> <strong>DURAND</strong> <strong>MARTIN</strong></td>", true},
      {"<author><assignedAuthor><assignedPerson><name><given>Jean</given><family qualifier=\"BR\">TEST</family>"
       "<family qualifier=\"CL\">TEST-DUPONT</family></name></assignedPerson></assignedAuthor></author>",
       "<strong>Jean</strong>; Nom de famille :  <strong>TEST</strong>; Nom utilisé :  <strong>TEST-DUPONT</strong>",
       true},
  };
  for (const auto& C : Cases) {
    const std::string Html = Render(Doc(C.Inner)).HtmlStream;
    EXPECT_EQ(Html.find(C.Expected) != std::string::npos, C.Present) << C.Inner << "\n" << Html;
  }
}

TEST(ClinicalDocuments, document_without_record_target_keeps_the_other_tables) {
  const std::string Html = Render(Doc("<title>T</title>")).HtmlStream;
  EXPECT_EQ(Html.find("Patient"), std::string::npos);
  // identification, acts, author, encounter, legal authenticator, custodian
  EXPECT_EQ(Count(Html, "<table class=\"header\">"), 6u);
  EXPECT_EQ(Count(Html, "</table>"), 6u);
  EXPECT_NE(Html.find("<tr><th>Signataire légal</th>"), std::string::npos);
  EXPECT_NE(Html.find("<tr><th>Structure productrice</th><td></td></tr>"), std::string::npos);
}

TEST(ClinicalDocuments, non_xml_bodies_decode_with_their_line) {
  const std::string Jpeg("\xFF\xD8\xFF\xE0 jpeg", 8);
  const struct {
    std::string XML;
    const char* MimeType;
    std::string Body;
    const char* Line;
    bool UTF8;
  } Cases[] = {
      {NonXML("image/jpeg", "B64", Jpeg), "image/jpeg", Jpeg, "<hr>\n<a href=\"#\">Image JPEG (8 octets)</a><br>\n",
       false},
      {NonXML("image/jpeg", "B64", "été"), "text/plain", "été",
       "<hr>\n<a href=\"#\">Fichier texte (5 octets)</a><br>\n", true},
      {NonXML("text/plain", "B64", "plain ascii"), "text/plain", "plain ascii",
       "<a href=\"#\">Fichier texte (11 octets)</a><br>\n", false},
      {NonXML("application/pdf", "B64", "%PDF-1.4"), "application/pdf", "%PDF-1.4",
       "<hr>\n<a href=\"#\">Document au format PDF (8 octets)</a>\n", false},
      {NonXML("text/rtf", "B64", "{\\rtf1}"), "text/rtf", "{\\rtf1}", "<hr>\ntext/rtf (7 octets)\n", false},
      {NonXML("application/pdf", "TXT", "%PDF"), "application/pdf", "", "<hr>\n<hr>\n</body>", false},
      // The type reaches HTTP headers: no control character; shown escaped.
      {NonXML("a/&lt;b&gt;&#13;&#10;X-Injected: 1", "B64", "x"), "a/<b>X-Injected: 1", "x",
       "<hr>\na/&lt;b&gt;X-Injected: 1 (1 octets)\n", false},
  };
  for (const auto& C : Cases) {
    const TClinicalDocument D = Render(C.XML);
    EXPECT_EQ(D.mimeType, C.MimeType) << C.XML;
    EXPECT_EQ(D.NonXMLBody.Bytes(), C.Body) << C.XML;
    EXPECT_EQ(D.TextIsUTF8, C.UTF8) << C.XML;
    EXPECT_NE(D.HtmlStream.find(C.Line), std::string::npos) << D.HtmlStream;
    EXPECT_TRUE(D.HtmlStream.ends_with("<hr>\n</body>\n</html>\n"));
  }
}

TEST(ClinicalDocuments, html_media_types_read_without_case_or_parameters) {
  for (const char* Type : {"text/html", "TEXT/HTML", "text/html; charset=UTF-8", " text/html ;x", "application/xhtml+xml"})
    EXPECT_TRUE(IsHtmlMediaType(Type)) << Type;
  for (const char* Type : {"", "text/plain", "text/htmlx", "text/xml", "image/svg+xml", "text/rtf; x=text/html"})
    EXPECT_FALSE(IsHtmlMediaType(Type)) << Type;
  // The one shown by the document view is a page of its own, not the bytes received.
  const TClinicalDocument D = Render(NonXML("Text/HTML", "B64", "<p onclick=\"x()\">a<script>b</script></p>"));
  EXPECT_EQ(D.mimeType, "Text/HTML");
  EXPECT_TRUE(D.NonXMLBody.Bytes().starts_with("<!DOCTYPE HTML SYSTEM>\n")) << D.NonXMLBody.Bytes();
  EXPECT_NE(D.NonXMLBody.Bytes().find("<h1>T</h1>\n<p>a</p>\n</body>\n</html>\n"), std::string::npos) << D.NonXMLBody.Bytes();
  EXPECT_NE(D.HtmlStream.find("<hr>\nText/HTML (40 octets)\n"), std::string::npos) << D.HtmlStream;
}

TEST(ClinicalDocuments, sections_without_template_get_no_contents) {
  const TClinicalDocument D = Render(
      Doc("<component><structuredBody><component><section><title>A</title><text>x</text></section></component>"
          "</structuredBody></component>"));
  EXPECT_EQ(D.NonXMLBody.Bytes().find("Table des matières"), std::string::npos);
  EXPECT_NE(D.NonXMLBody.Bytes().find("<h3><a name=\"\" href=\"#toc\">A</a></h3>\nx</body>"), std::string::npos);
}

TEST(ClinicalDocuments, malformed_documents_raise_the_reader_errors) {
  TClinicalDocument D(FixedClock);
  EXPECT_THROW(D.Parse("<ClinicalDocument><title>x</ClinicalDocument>"), Vantrel::EXMLError);
  EXPECT_THROW(D.Parse("not xml"), Vantrel::EXMLNotXMLError);
  EXPECT_THROW(D.Parse(Doc("<title>&#1a;</title>")), std::runtime_error);
  // An empty text is no document: empty pages, still well formed.
  D.Parse("");
  EXPECT_EQ(D.Version, 1);
  EXPECT_EQ(D.mimeType, "text/html");
  EXPECT_TRUE(D.HtmlStream.ends_with("</html>\n"));
}

// Every field the renderer copies holds markup, quotes and javascript: URLs:
// none of it may come out as a tag, an attribute or a link.
TEST(ClinicalDocuments, injected_markup_stays_text) {
  const TClinicalDocument D = Render(TestSupport::ReadFile(TestSupport::Fixture("cda/injection.xml")));
  // Every '<' of the pages opens one of the renderer's own tags, whose
  // attributes are name="value" pairs without a '"' inside.
  const std::regex Tag(R"(<(/?)([^\s>]*)([^>]*)>)");
  const std::regex Attribute(R"re(\s+([^\s="]+)="([^"]*)")re");
  const std::regex Known(
      "!DOCTYPE|!--|head|meta|title|style|body|h[1-4]|table|tr|th|td|strong|br|hr|a|ul|ol|li|div|span|img|"
      "paragraph|linkHtml|html");
  for (const std::string& Page : {D.HtmlStream, std::string(D.NonXMLBody.Bytes())}) {
    for (std::sregex_iterator I(Page.begin(), Page.end(), Tag), E; I != E; ++I) {
      const std::string Name = (*I)[2], Attrs = (*I)[3];
      EXPECT_TRUE(std::regex_match(Name, Known)) << I->str();
      if (Name == "!--" || Name == "!DOCTYPE") continue;
      std::string Rest = Attrs;
      for (std::sregex_iterator A(Attrs.begin(), Attrs.end(), Attribute); A != E; ++A) {
        const std::string AName = (*A)[1], AValue = (*A)[2];
        EXPECT_FALSE(AName.size() >= 2 && (AName[0] | 0x20) == 'o' && (AName[1] | 0x20) == 'n') << I->str();
        if (AName == "href") {
          EXPECT_TRUE(AValue.starts_with("#")) << I->str();
        }
        if (AName == "src") {
          EXPECT_EQ(AValue.find_first_of(":/\\"), std::string::npos) << I->str();
        }
        Rest.erase(Rest.find(A->str()), A->length());
      }
      EXPECT_TRUE(Rest.empty() || Rest == "/") << I->str();
    }
    EXPECT_EQ(Count(Page, "<style"), 1u);  // the page's own rules
  }
  // What was markup is shown as text.
  EXPECT_NE(D.HtmlStream.find("<title>Titre &lt;x-evil onmouseover=&quot;alert(1)&quot;&gt;"), std::string::npos);
  EXPECT_NE(D.NonXMLBody.Bytes().find("&lt;img src=x onerror=alert(1)&gt;"), std::string::npos);
  EXPECT_NE(D.NonXMLBody.Bytes().find("<linkHtml href=\"#ok\">ok</linkHtml>"), std::string::npos);
  // A medium keeps its name; its type loses nothing but control characters.
  ASSERT_NE(D.MediaList.GetMedia("javascript:alert(1)"), nullptr);
}

TEST(ClinicalDocuments, deep_narrative_and_sections_render_without_recursion) {
  constexpr int Depth = 2000;
  std::string Text, Sections;
  for (int I = 0; I < Depth; ++I) Text += "<content>";
  Text += "x";
  for (int I = 0; I < Depth; ++I) Text += "</content>";
  for (int I = 0; I < Depth / 2; ++I) Sections += "<component><section><title>t</title>";
  for (int I = 0; I < Depth / 2; ++I) Sections += "</section></component>";
  const TClinicalDocument D = Render(Doc("<component><structuredBody><component><section><text>" + Text +
                                         "</text>" + Sections + "</section></component></structuredBody></component>"));
  EXPECT_EQ(Count(D.NonXMLBody.Bytes(), "<span>"), size_t(Depth));
  EXPECT_EQ(Count(D.NonXMLBody.Bytes(), "</span>"), size_t(Depth));
  EXPECT_EQ(Count(D.NonXMLBody.Bytes(), "<div style=\"margin-left: 2em\">"), size_t(Depth / 2));
  EXPECT_EQ(Count(D.NonXMLBody.Bytes(), "</div>"), size_t(Depth / 2));
}

TEST(ClinicalDocuments, generation_time_comes_from_the_clock) {
  const TClinicalDocument D = Render(Doc(""));
  EXPECT_NE(D.HtmlStream.find("<!-- Generated by Carvelin 05/03/2024 14:30:00 -->\n"), std::string::npos);
  EXPECT_NE(D.NonXMLBody.Bytes().find("<!-- Generated by Carvelin 05/03/2024 14:30:00 -->\n"), std::string::npos);
}
