// Canonical form of the compact XML the message builders write, the digest
// entry points, and inputs at the edges (deep nesting, bad Extra).
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Vantrel.SHA1.h"
#include "Vantrel.SHA256.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.XML.Tree.h"
#include "Vantrel.XML.c14n.h"

using namespace Vantrel;

namespace {

std::string Canonical(const std::string& XML, const std::vector<std::string>& Extra = {}, TC14NOptions O = {}) {
  TXMLTree Tree;
  Tree.BuildFrom(XML);
  return detail::C14NText(&Tree.Root(), Extra, O);
}

}  // namespace

TEST(C14N, writes_builder_xml_in_canonical_form) {
  struct Case {
    const char* Name;
    std::string Input;
    std::vector<std::string> Extra;
    std::string Expected;
  } Cases[] = {
      {"declarations first (default, then by prefix), then attributes by name",
       "<e b=\"2\" a=\"1\" xmlns:z=\"urn:z\"/>", {"xmlns=\"urn:d\""},
       "<e xmlns=\"urn:d\" xmlns:z=\"urn:z\" a=\"1\" b=\"2\"></e>"},
      {"byte order of names: upper case first, a prefix of a name first",
       "<e ab=\"3\" Id=\"2\" a=\"4\" ID=\"1\"/>", {}, "<e ID=\"1\" Id=\"2\" a=\"4\" ab=\"3\"></e>"},
      {"prefixed element in both tags", "<ds:X xmlns:ds=\"urn:ds\"><ds:Y>v</ds:Y></ds:X>", {},
       "<ds:X xmlns:ds=\"urn:ds\"><ds:Y>v</ds:Y></ds:X>"},
      {"line ends and comments between children", "<a>\r\n<!-- c -->\r\n<b/>\r\n</a>", {},
       "<a>\n\n<b></b>\n</a>"},
      {"references in values and text", "<a v=\"x&amp;y&#38;&quot;&#9;\">1 &lt; 2 &#38; &#233;\t&gt;</a>", {},
       "<a v=\"x&amp;y&amp;&quot;&#x9;\">1 &lt; 2 &amp; \xC3\xA9\t&gt;</a>"},
      {"an Extra declaration the element repeats is written once", "<p:a xmlns:p=\"urn:p\"/>",
       {"xmlns:p=\"urn:p\"", "xmlns:q=\"urn:q\""}, "<p:a xmlns:p=\"urn:p\" xmlns:q=\"urn:q\"></p:a>"},
  };
  for (const Case& C : Cases) EXPECT_EQ(Canonical(C.Input, C.Extra), C.Expected) << C.Name;
}

TEST(C14N, digests_are_the_hashes_of_the_canonical_text) {
  const std::string XML = "<?xml version=\"1.0\"?><!--x--><ds:SignedInfo xmlns:ds=\"urn:ds\" b=\"1\" a=\"2\"/>";
  const std::vector<std::string> Extra = {"xmlns=\"urn:d\""};
  TXMLTree Tree;
  Tree.BuildFrom(XML);
  const std::string Text = detail::C14NText(&Tree.Root(), Extra);
  ASSERT_EQ(Text, "<ds:SignedInfo xmlns=\"urn:d\" xmlns:ds=\"urn:ds\" a=\"2\" b=\"1\"></ds:SignedInfo>");
  TSHA1Context C1;
  SHA1Init(C1);
  SHA1Update(C1, Text.data(), Text.size());
  const std::string Sha1 = SHA1Final(C1);
  TSHA256Context C2;
  SHA256Init(C2);
  SHA256Update(C2, Text.data(), Text.size());
  const std::string Sha256 = SHA256Final(C2);

  EXPECT_EQ(C14NNodeDigestSHA1(&Tree.Root(), Extra), Sha1);
  EXPECT_EQ(C14NNodeDigestSHA256(&Tree.Root(), Extra), Sha256);
  EXPECT_EQ(C14NNodeDigestBase64(&Tree.Root(), Extra), Base64Encode(Sha1));
  // The text entry points canonicalise the document: without comments, the
  // prolog adds nothing here.
  EXPECT_EQ(C14NDigestSHA1(XML, Extra), Sha1);
  EXPECT_EQ(C14NDigestSHA256(XML, Extra), Sha256);
  EXPECT_EQ(C14NDigestBase64(XML, Extra), Base64Encode(Sha1));
  TC14NOptions WithComments;
  WithComments.WithComments = true;
  EXPECT_EQ(detail::C14NDocumentText(XML, Extra, WithComments), "<!--x-->\n" + Text);
}

TEST(C14N, text_node_and_missing_node) {
  TXMLTree Tree;
  Tree.BuildFrom(std::string_view("<a>x &amp; y<![CDATA[<&>]]></a>"));
  const auto Children = Tree.Root().Children();
  ASSERT_EQ(Children.size(), 2u);
  EXPECT_EQ(detail::C14NText(&Children[0]), "x &amp; y");
  EXPECT_EQ(detail::C14NText(&Children[1]), "&lt;&amp;&gt;");
  EXPECT_EQ(detail::C14NText(nullptr), "");
}

TEST(C14N, refuses_extra_texts_that_are_not_namespace_declarations) {
  for (const char* Bad : {"xmlns:ds", "ds=\"urn:x\"", "xmlns:ds=urn:x", "xmlns:ds=\"urn:x'", "xmlns:ds=\"a\"b\"",
                          "xmlnsds=\"urn:x\""})
    EXPECT_THROW(Canonical("<a/>", {Bad}), std::invalid_argument) << Bad;
}

TEST(C14N, parse_errors_of_the_text_entry_points_pass_to_the_caller) {
  EXPECT_THROW(C14NDigestSHA1("<a><b></a>"), EXMLError);
  EXPECT_THROW(C14NDigestBase64("hello"), EXMLNotXMLError);
}

TEST(C14N, deepest_tree_the_reader_accepts_needs_no_recursion) {
  std::string XML;
  for (int I = 0; I < XMLMaxDepth - 1; ++I) XML += "<d xmlns:p" + std::to_string(I % 3) + "=\"u\">";
  for (int I = 0; I < XMLMaxDepth - 1; ++I) XML += "</d>";
  for (bool Exclusive : {false, true}) {
    TC14NOptions O;
    O.Exclusive = Exclusive;
    const std::string Text = Canonical(XML, {}, O);
    EXPECT_EQ(Text.substr(Text.size() - 8), "</d></d>");
    // Each level repeats a declaration three levels up with the same value:
    // the inclusive form writes the three at the top only.
    if (!Exclusive) {
      EXPECT_EQ(Text.find("xmlns", 60), std::string::npos);
    }
  }
}
