// Canonical XML against libxml2's canonicaliser (xmllint, and lxml for the
// modes and subsets xmllint has no option for), against xmlsec1 for the
// digest of a referenced element, and on the shared CDA samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "TestSupport.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.XML.Tree.h"
#include "Vantrel.XML.c14n.h"

using namespace Vantrel;
namespace fs = std::filesystem;

namespace {

// argv: file, exclusive (0/1), comments (0/1), prefixes, xpath ("" = the document),
// output ("text", or "digests": Base64 SHA-1 and SHA-256 on two lines).
constexpr const char* LxmlScript = R"(
import sys, hashlib, base64
from lxml import etree
f, excl, com, prefixes, xp, out = sys.argv[1:7]
tree = etree.parse(f, etree.XMLParser(resolve_entities=False, huge_tree=True))
node = tree.xpath(xp)[0] if xp else tree
c = etree.tostring(node, method='c14n', exclusive=excl == '1', with_comments=com == '1',
                   inclusive_ns_prefixes=prefixes.split() or None)
if out == 'text':
    sys.stdout.buffer.write(c)
else:
    for h in (hashlib.sha1, hashlib.sha256):
        print(base64.b64encode(h(c).digest()).decode())
)";

struct Mode {
  bool Exclusive, Comments;
  const char* Prefixes;
  const char* Name;
};
constexpr Mode Modes[] = {
    {false, false, "", "c14n"},
    {false, true, "", "c14n#WithComments"},
    {true, false, "", "exc-c14n"},
    {true, true, "", "exc-c14n#WithComments"},
    // lxml drops "#default" from the list; xmlsec1 checks that one below.
    {true, false, "b a unused xsi", "exc-c14n with prefix list"},
};

TC14NOptions Options(const Mode& M) {
  TC14NOptions O;
  O.Exclusive = M.Exclusive;
  O.WithComments = M.Comments;
  std::istringstream Words(M.Prefixes);
  for (std::string W; Words >> W;) O.InclusivePrefixes.push_back(W);
  return O;
}

std::string Lxml(const fs::path& File, const Mode& M, const std::string& XPath, const char* Out) {
  auto R = TestSupport::RunPython(LxmlScript, {File.string(), M.Exclusive ? "1" : "0", M.Comments ? "1" : "0",
                                               M.Prefixes, XPath, Out});
  EXPECT_EQ(R.Status, 0) << R.Err;
  return R.Out;
}

std::vector<fs::path> Fixtures() {
  std::vector<fs::path> Files;
  for (const auto& E : fs::directory_iterator(TestSupport::Fixture("c14n")))
    if (E.path().extension() == ".xml") Files.push_back(E.path());
  std::sort(Files.begin(), Files.end());
  return Files;
}

}  // namespace

TEST(C14N, documents_agree_with_libxml2_in_every_mode) {
  SKIP_UNLESS_TOOL(TestSupport::Python);
  for (const fs::path& File : Fixtures()) {
    const std::string Source = TestSupport::ReadFile(File);
    for (const Mode& M : Modes) {
      SCOPED_TRACE(File.filename().string() + " " + M.Name);
      EXPECT_EQ(detail::C14NDocumentText(Source, {}, Options(M)), Lxml(File, M, "", "text"));
    }
  }
}

// The driver's digests against the pipeline a verifier's operator would use.
TEST(C14N, driver_digests_agree_with_xmllint_and_openssl) {
  SKIP_UNLESS_TOOL("xmllint");
  SKIP_UNLESS_TOOL("openssl");
  for (const fs::path& File : Fixtures())
    for (const char* Method : {"--c14n", "--exc-c14n"})
      for (const char* Hash : {"sha1", "sha256"}) {
        SCOPED_TRACE(File.filename().string() + " " + Method + " " + Hash);
        std::vector<std::string> Ours = {TestSupport::ToolPath("c14n-digest"), "--with-comments",
                                         std::string("--") + Hash, File.string()};
        if (std::string_view(Method) == "--exc-c14n") Ours.insert(Ours.begin() + 1, "--exclusive");
        const auto Our = TestSupport::Run(Ours);
        ASSERT_EQ(Our.Status, 0) << Our.Err;
        const auto Peer = TestSupport::Run(
            {"sh", "-c", std::string("xmllint ") + Method + " \"$1\" | openssl dgst -" + Hash + " -binary | base64",
             "sh", File.string()});
        ASSERT_EQ(Peer.Status, 0) << Peer.Err;
        EXPECT_EQ(Our.Out, Peer.Out);
      }
}

TEST(C14N, elements_agree_with_libxml2_subtrees) {
  SKIP_UNLESS_TOOL(TestSupport::Python);
  struct Case {
    const char* File;
    const char* Path;   // our selector
    const char* XPath;  // the same element for lxml
  } Cases[] = {
      {"namespaces.xml", "doc/inner", "/*/*[2]"},  // undeclares the default namespace
      {"namespaces.xml", "doc/inner/deep", "//*[local-name()='deep']"},
      {"namespaces.xml", "doc/inner/deep/leaf", "//*[local-name()='leaf']"},
      {"namespaces.xml", "doc/e[2]", "/*/*[3]"},  // repeats its ancestors' declarations
      {"envelope.xml", "Envelope/Header/Assertion", "//*[local-name()='Assertion']"},
      {"envelope.xml", "Envelope/Header/Assertion/AttributeStatement", "//*[local-name()='AttributeStatement']"},
      {"values.xml", "values/e", "//*[local-name()='e']"},
  };
  for (const Case& C : Cases) {
    const fs::path File = TestSupport::Fixture(std::string("c14n/") + C.File);
    TXMLTree Tree;
    Tree.Build(TestSupport::ReadFile(File));
    PXMLNode Node = Tree.XPathNode(C.Path);
    ASSERT_NE(Node, nullptr) << C.Path;
    for (const Mode& M : Modes) {
      SCOPED_TRACE(std::string(C.File) + " " + C.Path + " " + M.Name);
      EXPECT_EQ(detail::C14NText(Node, {}, Options(M)), Lxml(File, M, C.XPath, "text"));
    }
  }
}

// A signature reference to an element digests the element as a document
// subset: libxml2 under xmlsec1 does that (lxml's element form drops the
// inherited xml:* attributes and the "#default" prefix, so it cannot serve here).
TEST(C14N, referenced_element_digest_agrees_with_xmlsec1) {
  SKIP_UNLESS_TOOL("xmlsec1");
  TestSupport::TempDir Dir;
  TestSupport::WriteFile(Dir / "key.bin", "0123456789abcdef0123456789abcdef");
  const std::string Body =
      "<soap:Body xml:lang=\"fr\" xml:space=\"preserve\" xmlns:u=\"urn:u\" xmlns:v=\"urn:v\">"
      "<u:t Id=\"target\" xml:lang=\"en\"><plain v:a=\"1\">1<!--c--></plain><u:k/></u:t></soap:Body>";
  struct Case {
    const char* Transform;
    bool Exclusive;
    std::vector<std::string> Prefixes;
  } Cases[] = {
      {"<Transform Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>", false, {}},
      {"<Transform Algorithm=\"http://www.w3.org/2001/10/xml-exc-c14n#\"/>", true, {}},
      {"<Transform Algorithm=\"http://www.w3.org/2001/10/xml-exc-c14n#\"><ec:InclusiveNamespaces "
       "xmlns:ec=\"http://www.w3.org/2001/10/xml-exc-c14n#\" PrefixList=\"#default v\"/></Transform>",
       true,
       {"#default", "v"}},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Transform);
    const std::string Doc =
        "<soap:Envelope xmlns=\"urn:d\" xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\">" + Body +
        "<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo>"
        "<CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
        "<SignatureMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#hmac-sha1\"/>"
        "<Reference URI=\"#target\"><Transforms>" + C.Transform + "</Transforms>"
        "<DigestMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"/><DigestValue/></Reference>"
        "</SignedInfo><SignatureValue/></Signature></soap:Envelope>";
    TestSupport::WriteFile(Dir / "tmpl.xml", Doc);
    const auto R = TestSupport::Run({"xmlsec1", "--sign", "--hmackey", (Dir / "key.bin").string(), "--id-attr:Id",
                                     "urn:u:t", (Dir / "tmpl.xml").string()});
    ASSERT_EQ(R.Status, 0) << R.Err;
    const size_t At = R.Out.find("<DigestValue>");
    ASSERT_NE(At, std::string::npos) << R.Out;
    const std::string Expected = R.Out.substr(At + 13, R.Out.find('<', At + 13) - At - 13);

    TXMLTree Tree;
    Tree.Build(Doc);
    TC14NOptions O;
    O.Exclusive = C.Exclusive;
    O.InclusivePrefixes = C.Prefixes;
    EXPECT_EQ(C14NNodeDigestBase64(Tree.XPathNode("Envelope/Body/t"), {}, O), Expected);
  }
}

// Runs are scanned many bytes at a time and long ones hashed piece by piece:
// a byte to escape, decode or drop at every offset of runs of every length
// around the scan widths, and at the edges of the pieces of long runs, must
// come out as libxml2 writes it.
TEST(C14N, special_bytes_at_every_offset_of_every_run_agree_with_libxml2) {
  SKIP_UNLESS_TOOL(TestSupport::Python);
  const std::string TextSpecials[] = {"&amp;", "&lt;", ">", "\r\n", "\r", "&#233;", "&quot;", "<!--c-->"};
  const std::string AttrSpecials[] = {"&amp;", "&lt;", "\t", "\n", "\r\n", "&#x9;", "'", "&gt;"};
  std::string Doc = "<r xmlns:p=\"urn:p\">";
  size_t Turn = 0;
  for (size_t Len : {0, 1, 7, 8, 15, 16, 17, 31, 32, 33, 63, 64, 65, 80})
    for (size_t At = 0; At <= Len; ++At, ++Turn) {
      const std::string Plain(Len, 'x');
      const std::string Text = Plain.substr(0, At) + TextSpecials[Turn % 8] + Plain.substr(At);
      const std::string Value = Plain.substr(0, At) + AttrSpecials[Turn % 8] + Plain.substr(At);
      Doc += "<e p:a=\"" + Value + "\">" + Text + "<!--" + Plain.substr(0, At) + "\r\n" + Plain.substr(At) +
             "--><?pi " + Plain.substr(0, At) + "\r" + Plain.substr(At) + "?></e>\n";
    }
  std::string LongText, LongValue;
  Turn = 0;
  for (size_t Gap : {1023, 1024, 1025, 2048, 4095, 4096, 4097, 5120, 9000, 20000}) {
    LongText += std::string(Gap, 'y') + (Turn % 2 ? "<c/>" : TextSpecials[Turn % 8]);
    LongValue += std::string(Gap, 'z') + AttrSpecials[Turn++ % 8];
  }
  Doc += "<long v=\"" + LongValue + "\">" + LongText + "</long></r>";
  TestSupport::TempDir Dir;
  TestSupport::WriteFile(Dir / "runs.xml", Doc);
  for (const Mode& M : {Modes[0], Modes[3]}) {
    SCOPED_TRACE(M.Name);
    const std::string Expected = Lxml(Dir / "runs.xml", M, "", "text");
    const std::string Ours = detail::C14NDocumentText(Doc, {}, Options(M));
    // The first difference, not two long texts.
    const auto Diff = std::mismatch(Ours.begin(), Ours.end(), Expected.begin(), Expected.end());
    EXPECT_TRUE(Diff.first == Ours.end() && Diff.second == Expected.end())
        << "differs at " << (Diff.first - Ours.begin()) << ": ours \""
        << Ours.substr(size_t(Diff.first - Ours.begin()), 40) << "\", libxml2 \""
        << Expected.substr(size_t(Diff.second - Expected.begin()), 40) << "\"";
  }
}

// Extra stands for the ancestors of the element's final document; both
// forms render a namespace the same wherever it is declared above the
// element's content, so the peer gets the element with Extra written into
// its start tag.
TEST(C14N, extra_declarations_act_as_declarations_in_scope) {
  SKIP_UNLESS_TOOL(TestSupport::Python);
  const std::string Open = "<ds:SignedInfo", Rest =
      " Id=\"si\" b=\"2\" a=\"1\" xmlns:z=\"urn:z\"><ds:CanonicalizationMethod "
      "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments\"/><Reference "
      "URI=\"#x\"><DigestValue>AA==</DigestValue></Reference></ds:SignedInfo>";
  const std::vector<std::string> Extra = {"xmlns=\"http://uri.etsi.org/01903/v1.1.1#\"",
                                          " xmlns:ds='http://www.w3.org/2000/09/xmldsig#' ", "xmlns:unused=\"urn:u\""};
  TestSupport::TempDir Dir;
  TestSupport::WriteFile(Dir / "declared.xml", Open + " " + Extra[0] + " " + Extra[1] + " " + Extra[2] + Rest);
  TXMLTree Tree;
  Tree.Build(Open + Rest);
  for (const Mode& M : Modes) {
    SCOPED_TRACE(M.Name);
    EXPECT_EQ(detail::C14NText(&Tree.Root(), Extra, Options(M)), Lxml(Dir / "declared.xml", M, "", "text"));
  }
}

TEST(C14N, shared_cda_samples_agree_with_libxml2_in_every_mode) {
  SKIP_UNLESS_TOOL(TestSupport::Python);
  const fs::path Samples = TestSupport::SharedData("cda/samples");
  if (Samples.empty() || !fs::is_directory(Samples)) GTEST_SKIP() << "shared CDA samples absent (../shared/data)";
  for (const auto& E : fs::directory_iterator(Samples)) {
    if (E.path().extension() != ".xml") continue;
    const std::string Source = TestSupport::ReadFile(E.path());
    for (const Mode& M : Modes) {
      SCOPED_TRACE(E.path().filename().string() + " " + M.Name);
      const std::string Expected = Lxml(E.path(), M, "", "digests");
      EXPECT_EQ(C14NDigestBase64(Source, {}, Options(M)) + "\n" +
                    Base64Encode(C14NDigestSHA256(Source, {}, Options(M))) + "\n",
                Expected);
    }
  }
}
