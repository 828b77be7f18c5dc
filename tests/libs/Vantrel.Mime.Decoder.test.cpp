#include "Vantrel.Mime.Decoder.h"

#include <gtest/gtest.h>

using namespace Vantrel;

namespace {

struct TPutDocument {
  std::string Titre;
  TBytes Fichier;
  TDate Date;
  TDateTimeValue DateDoc;
  TTime Heure;
  bool Actif = false;
  int32_t Confidentialite = -1;
  std::string Commentaire = "unchanged";
};
VANTREL_RECORD(TPutDocument, VANTREL_FIELD(Titre), VANTREL_FIELD(Fichier, Vantrel::Alias("File")), VANTREL_FIELD(Date),
               VANTREL_FIELD(DateDoc), VANTREL_FIELD(Heure), VANTREL_FIELD(Actif), VANTREL_FIELD(Confidentialite),
               VANTREL_FIELD(Commentaire))

std::string FormPart(std::string_view Headers, std::string_view Content) {
  return "--X\r\n" + std::string(Headers) + "\r\n" + std::string(Content) + "\r\n";
}

struct TExpectedPart {
  std::vector<std::pair<std::string, std::string>> Lines;
  std::string Content;
};

std::string Describe(const TMimeDecoder& D) {
  std::string S;
  for (const TMimePart& P : D.Parts) {
    S += "[";
    for (const TMimeLine& L : P.Lines) S += "<" + std::string(L.Name.View()) + "|" + std::string(L.Value.View()) + ">";
    S += "{" + std::string(P.Content.View()) + "}]";
  }
  return S;
}

std::string Describe(const std::vector<TExpectedPart>& Parts) {
  std::string S;
  for (const TExpectedPart& P : Parts) {
    S += "[";
    for (const auto& [N, V] : P.Lines) S += "<" + N + "|" + V + ">";
    S += "{" + P.Content + "}]";
  }
  return S;
}

std::string Body(size_t Parts) {
  std::string B;
  for (size_t I = 0; I < Parts; ++I) B += "--b\r\nContent-ID: <" + std::to_string(I) + ">\r\n\r\nx\r\n";
  return B + "--b--\r\n";
}

}  // namespace

TEST(MimeDecoder, splits_parts_and_header_lines) {
  struct Case {
    const char* Name;
    std::string Body;
    std::vector<TExpectedPart> Parts;
  } Cases[] = {
      {"two parts",
       "--B\r\nContent-Type: text/xml\r\n\r\n<a/>\r\n--B\r\nContent-ID: <1>\r\n\r\nline1\r\nline2\r\n\r\n--B--\r\n",
       {{{{"Content-Type", "text/xml"}}, "<a/>"}, {{{"Content-ID", "<1>"}}, "line1\r\nline2\r\n"}}},
      {"leading CR LF", "\r\n--B\r\nA: 1\r\n\r\nx\r\n--B--", {{{{"A", "1"}}, "x"}}},
      {"no space after the colon",
       "--B\r\nContent-Type:application/xop+xml\r\n\r\nx\r\n--B--",
       {{{{"Content-Type", "application/xop+xml"}}, "x"}}},
      {"spaces around the colon", "--B\r\nX-Test :  a \r\n\r\nx\r\n--B--", {{{{"X-Test", "a "}}, "x"}}},
      {"lines without a colon after their first byte are passed over",
       "--B\r\n:odd\r\nnoise\r\nA: 1\r\n\r\nx\r\n--B--", {{{{"A", "1"}}, "x"}}},
      {"empty content", "--B\r\nA: 1\r\n\r\n--B\r\n\r\ny\r\n--B--", {{{{"A", "1"}}, ""}, {{}, "y"}}},
      {"a line that only begins with the delimiter is content",
       "--B\r\n\r\na\r\n--Bx\r\n--B-\r\nb\r\n--B--", {{{}, "a\r\n--Bx\r\n--B-\r\nb"}}},
      {"blanks after a delimiter", "--B \t\r\n\r\na\r\n--B  \r\n\r\nb\r\n--B--", {{{}, "a"}, {{}, "b"}}},
      {"the delimiter is matched as written, references untouched",
       "--a&amp;b\r\n\r\nx\r\n--a&b\r\n--a&amp;b--", {{{}, "x\r\n--a&b"}}},
      {"epilogue after the closing delimiter", "--B\r\n\r\nx\r\n--B--\r\nepilogue\r\n--B\r\n", {{{}, "x"}}},
  };
  for (auto& C : Cases) {
    TMimeDecoder D;
    EXPECT_TRUE(D.Decode(C.Body)) << C.Name << ": " << D.Error;
    EXPECT_EQ(Describe(D), Describe(C.Parts)) << C.Name;
    EXPECT_EQ(D.Error, "") << C.Name;
  }
  TMimeDecoder D;
  std::string Leading = "\r\n--B\r\nA: 1\r\n\r\nx\r\n--B--";
  ASSERT_TRUE(D.Decode(Leading));
  EXPECT_EQ(D.boundary.View(), "--B");
  EXPECT_EQ(D.Parts[0].Header, D.Source + 7);
  EXPECT_EQ(D.Parts[0].Content.Start, D.Source + 15);
}

TEST(MimeDecoder, refuses_bodies_without_delimiter_or_cut_short) {
  struct Case {
    const char* Name;
    std::string Body;
    const char* Error;
    size_t Offset;
    size_t Parts;
  } Cases[] = {
      {"empty", "", "Corps multipart sans ligne de délimitation", 0, 0},
      {"no CR LF", "--B", "Corps multipart sans ligne de délimitation", 0, 0},
      {"two empty lines", "\r\n\r\n--B\r\n", "Corps multipart sans ligne de délimitation", 0, 0},
      {"headers cut", "--B\r\nA: 1\r\nB: 2", "Corps multipart tronqué : délimiteur de fin absent", 5, 1},
      {"no closing delimiter", "--B\r\n\r\nx\r\n--B\r\n\r\ny", "Corps multipart tronqué : délimiteur de fin absent", 15, 2},
      {"closing delimiter without its dashes", "--B\r\n\r\nx\r\n--B", "Corps multipart tronqué : délimiteur de fin absent", 5, 1},
  };
  for (auto& C : Cases) {
    TMimeDecoder D;
    EXPECT_FALSE(D.Decode(C.Body)) << C.Name;
    EXPECT_EQ(D.Error, C.Error) << C.Name;
    EXPECT_EQ(D.ErrorOffset, C.Offset) << C.Name;
    ASSERT_EQ(D.Parts.size(), C.Parts) << C.Name;
    if (C.Parts) {
      EXPECT_EQ(D.Parts.back().Content.Len, 0) << C.Name;
    }
  }
}

TEST(MimeDecoder, accepts_500_parts_and_refuses_501) {
  TMimeDecoder D;
  std::string Ok = Body(500);
  EXPECT_TRUE(D.Decode(Ok));
  EXPECT_EQ(D.Parts.size(), 500u);
  EXPECT_EQ(D.Parts[499].Lines[0].Value.View(), "<499>");
  std::string TooMany = Body(501);
  EXPECT_FALSE(D.Decode(TooMany));
  EXPECT_EQ(D.Error, "Corps multipart de plus de 500 parties");
  EXPECT_EQ(D.ErrorOffset, Ok.size() - 2);  // the 501st part's headers, after "--b\r\n"
  EXPECT_EQ(D.Parts.size(), 500u);
}

TEST(MimeDecoder, finds_the_form_data_name_on_any_header_line) {
  struct Case { std::string Headers; bool Found; std::string Name; } Cases[] = {
      {"Content-Disposition: form-data; name=\"Fichier\"; filename=\"a.pdf\"\r\n", true, "Fichier"},
      {"Content-Type: text/plain\r\ncontent-disposition: FORM-DATA; NAME=\"Date\"\r\n", true, "Date"},
      {"Content-Disposition: form-data; name=\"\"\r\n", true, ""},
      {"Content-Disposition: form-data; name=\"cut\r\n", false, ""},
      {"Content-Disposition: attachment; name=\"x\"\r\n", false, ""},
      {"Content-Dispositionx: form-data; name=\"x\"\r\n", false, ""},
      {"Content-Disposition: form-data;name=\"x\"\r\n", false, ""},
  };
  for (auto& C : Cases) {
    std::string Body = "--B\r\n" + C.Headers + "\r\nv\r\n--B--";
    TMimeDecoder D;
    ASSERT_TRUE(D.Decode(Body));
    std::string Name = "?";
    EXPECT_EQ(D.Parts[0].GetFormDataName(Name), C.Found) << C.Headers;
    if (C.Found) {
      EXPECT_EQ(Name, C.Name);
    }
  }
}

TEST(MimeDecoder, form_data_fills_record_fields_by_name) {
  const std::string Pdf("%PDF-1.4\r\n\0\xFF&amp;\r\n%%EOF", 24);
  std::string Body =
      FormPart("Content-Disposition: form-data; name=\"file\"; filename=\"a.pdf\"\r\nContent-Type: application/pdf\r\n", Pdf) +
      FormPart("Content-Type: text/plain\r\nContent-Disposition: form-data; name=\"TITRE\"\r\n", "R&amp;D &#233;t&#xE9; <b>") +
      FormPart("Content-Disposition: form-data; name=\"Date\"\r\n", "2024-01-31") +
      FormPart("Content-Disposition: form-data; name=\"DateDoc\"\r\n", "2024-01-31 10:20") +
      FormPart("Content-Disposition: form-data; name=\"heure\"\r\n", "10:20:30") +
      FormPart("Content-Disposition: form-data; name=\"Actif\"\r\n", "1") +
      FormPart("Content-Disposition: form-data; name=\"Confidentialite\"\r\n", "2") +
      FormPart("Content-Disposition: form-data; name=\"Inconnu\"\r\n", "x") +
      FormPart("Content-Disposition: attachment; name=\"Commentaire\"\r\n", "not a form field") + "--X--\r\n";
  TMimeDecoder D;
  ASSERT_TRUE(D.Decode(Body)) << D.Error;
  TPutDocument Doc;
  D.GetFormDataType(Doc);
  EXPECT_EQ(Doc.Fichier, Pdf);  // raw bytes, references untouched
  EXPECT_EQ(Doc.Titre, "R&D \xC3\xA9t\xC3\xA9 <b>");
  TDateTime Day = 0;
  ASSERT_TRUE(TryEncodeDate(2024, 1, 31, Day));
  EXPECT_EQ(TDateTime(Doc.Date), Day);
  EXPECT_NEAR(TDateTime(Doc.DateDoc), Day + (10 * 60 + 20) / 1440.0, 1e-9);
  EXPECT_NEAR(TDateTime(Doc.Heure), (10 * 3600 + 20 * 60 + 30) / 86400.0, 1e-9);
  EXPECT_TRUE(Doc.Actif);
  EXPECT_EQ(Doc.Confidentialite, 2);
  EXPECT_EQ(Doc.Commentaire, "unchanged");

  struct Case { std::string_view Content; bool Expected; } Booleans[] = {{"0", false}, {"1", true}, {"true", true}, {"FALSE", false}};
  for (auto& C : Booleans) {
    std::string One = FormPart("Content-Disposition: form-data; name=\"actif\"\r\n", C.Content) + "--X--";
    ASSERT_TRUE(D.Decode(One));
    Doc.Actif = !C.Expected;
    D.GetFormDataType(Doc);
    EXPECT_EQ(Doc.Actif, C.Expected) << C.Content;
  }
  std::string BadDate = FormPart("Content-Disposition: form-data; name=\"Date\"\r\n", "31/01/2024") + "--X--";
  ASSERT_TRUE(D.Decode(BadDate));
  EXPECT_THROW(D.GetFormDataType(Doc), std::exception);
}

// A text field from a host program may hold any '&': a reference that is not
// well-formed stays as written and never fails the form; well-formed ones
// are decoded.
TEST(MimeDecoder, form_text_keeps_malformed_references_as_written) {
  struct Case {
    std::string_view Content, Titre;
  } Cases[] = {
      {"a &# b", "a &# b"},
      {"&#", "&#"},
      {"&#x", "&#x"},
      {"&#xZZ;", "&#xZZ;"},
      {"&#xG1;", "&#xG1;"},
      {"&#12", "&#12"},
      {"n\xC2\xB0&#12 rue", "n\xC2\xB0&#12 rue"},
      {"&#;", "&#;"},
      {"&#x;", "&#x;"},
      {"&#6a;", "&#6a;"},
      {"&#99999999999;", "&#99999999999;"},
      {"&#1114112;", "&#1114112;"},
      {"&amp", "&amp"},
      {"&eacute;", "&eacute;"},
      {"&#&#233;", "&#\xC3\xA9"},
      {"R&amp;D &lt;x&gt; &quot;&apos;", "R&D <x> \"'"},
      {"&#233;t&#xE9;&#XE9;", "\xC3\xA9t\xC3\xA9&#XE9;"},
      {"&#1114111;&#x1F600;&#65", "\xF4\x8F\xBF\xBF\xF0\x9F\x98\x80&#65"},
      {"&#0;&#xD800;&#x1;&#9;", "&#0;&#xD800;&#x1;\t"},
  };
  for (const Case& C : Cases) {
    const std::string Body = FormPart("Content-Disposition: form-data; name=\"Titre\"\r\n", C.Content) + "--X--";
    TMimeDecoder D;
    ASSERT_TRUE(D.Decode(Body)) << D.Error;
    TPutDocument Doc;
    ASSERT_NO_THROW(D.GetFormDataType(Doc)) << C.Content;
    EXPECT_EQ(Doc.Titre, C.Titre) << C.Content;
  }
}
