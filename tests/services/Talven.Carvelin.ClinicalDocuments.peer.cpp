// The rendered pages read back by Python's html.parser, checked against what
// Python's ElementTree reads from the same document; decoded bodies and media
// compared with xmllint's XPath text run through base64 -d.
#include "Talven.Carvelin.ClinicalDocuments.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "Vantrel.UTF8.Utils.h"

using namespace Talven;
namespace fs = std::filesystem;

namespace {

// Args: XML file, header page, body page ("" when the body is no HTML).
// Prints one line per fault; nothing when the pages are sound.
constexpr std::string_view CheckScript = R"PY(
import sys, re, xml.etree.ElementTree as ET
from html.parser import HTMLParser

xml_path, header_path, body_path = sys.argv[1:4]
OURS = {'head', 'meta', 'title', 'style', 'body', 'h1', 'h2', 'h3', 'h4', 'table', 'tr', 'th', 'td',
        'strong', 'br', 'hr', 'a', 'ul', 'ol', 'li', 'div', 'html'}
NARRATIVE = {'span', 'img', 'li', 'ul', 'ol', 'linkhtml', 'sub', 'sup', 'br', 'footnote', 'footnoteref',
             'paragraph', 'table', 'caption', 'thead', 'tbody', 'tfoot', 'colgroup', 'col', 'tr', 'th', 'td'}
FORMATTING = {'p', 'b', 'i', 'u', 'em', 'small', 'code', 'pre', 'blockquote', 'h5', 'h6', 'dl', 'dt', 'dd'}
REMOTE = {'background', 'data', 'action', 'formaction', 'poster', 'srcset', 'longdesc', 'cite', 'codebase',
          'xlink:href', 'lowsrc', 'dynsrc', 'profile', 'manifest', 'ping'}
faults = []

class Page(HTMLParser):
    def __init__(self, name):
        super().__init__(convert_charrefs=True)
        self.name, self.text, self.open, self.styles = name, [], [], 0
    def handle_starttag(self, tag, attrs):
        where = '%s <%s %s>' % (self.name, tag, attrs)
        if tag not in OURS | NARRATIVE | FORMATTING:
            faults.append('unexpected element ' + where)
        if tag == 'meta' and (self.open != ['head'] or [n for n, v in attrs if n != 'charset']):
            faults.append('meta beyond the charset ' + where)
        if tag == 'script':
            faults.append('script ' + where)
        if tag == 'style':
            self.styles += 1
            if self.open != ['head']:
                faults.append('style outside head ' + where)
        for name, value in attrs:
            if name.lower().startswith('on'):
                faults.append('event attribute ' + where)
            if name.lower() == 'href' and not (value or '').startswith('#'):
                faults.append('non-fragment link ' + where)
            if name.lower() == 'src' and re.search(r'[:/\\]', value or ''):
                faults.append('image source is a URL ' + where)
            if name.lower() in ('style',) and tag != 'div':
                faults.append('style attribute ' + where)
            if name.lower() in REMOTE:
                faults.append('remote attribute ' + where)
        if tag in ('head', 'body'):
            self.open.append(tag)
    def handle_endtag(self, tag):
        if tag in ('head', 'body') and self.open and self.open[-1] == tag:
            self.open.pop()
    def handle_data(self, data):
        self.text.append(data)
        if self.open and self.open[-1] == 'head' and re.search(r'url\s*\(|@import', data, re.I):
            faults.append('%s: remote style %r' % (self.name, data))

def norm(s):
    return ' '.join(s.split())

def read(path):
    with open(path, 'rb') as f:
        return f.read().decode('utf-8', errors='replace')

def local(e):
    return e.tag.rsplit('}', 1)[-1]

def child(e, name):
    if e is None:
        return None
    for c in e:
        if local(c) == name:
            return c
    return None

def children(e, name):
    return [c for c in e if local(c) == name] if e is not None else []

root = ET.parse(xml_path).getroot()
doc = next((e for e in root.iter() if local(e) == 'ClinicalDocument'), None)
title = norm(''.join(child(doc, 'title').itertext())) if child(doc, 'title') is not None else ''
name = child(child(child(child(doc, 'recordTarget'), 'patientRole'), 'patient'), 'name')
names = [norm(''.join(e.itertext())) for e in children(name, 'given')[:1] + children(name, 'family')]

pages = [(header_path, 'header')] + ([(body_path, 'body')] if body_path else [])
for path, label in pages:
    p = Page(label)
    p.feed(read(path))
    p.close()
    text = norm(''.join(p.text))
    if p.styles != 1:
        faults.append('%s: %d style elements' % (label, p.styles))
    if title and title not in text:
        faults.append('%s: title %r missing' % (label, title))
    if label == 'header':
        for n in names:
            if n not in text:
                faults.append('patient name %r missing' % n)
print('\n'.join(faults))
)PY";

// Faults that Python finds in the pages of one rendered document; the body
// is checked as a page when it is HTML (a structured body, or a non-XML
// body whose type is HTML).
std::string PageFaults(const fs::path& Xml, const TClinicalDocument& D, const TestSupport::TempDir& Dir,
                       bool BodyIsHtml) {
  const fs::path Header = Dir / "header.html", Body = Dir / "body.html";
  TestSupport::WriteFile(Header, D.HtmlStream);
  TestSupport::WriteFile(Body, D.NonXMLBody.Bytes());
  const auto R = TestSupport::RunPython(CheckScript,
                                        {Xml.string(), Header.string(), BodyIsHtml ? Body.string() : std::string()});
  if (R.Status != 0) return "python failed: " + R.Err;
  return R.Out == "\n" ? std::string() : R.Out;
}

// The Base64 text that xmllint selects, decoded by base64 -d. The text goes
// through a file: large texts through both pipes of one child could block.
std::string DecodedByPeers(const fs::path& Xml, const std::string& XPath) {
  const auto Text = TestSupport::Run({"xmllint", "--xpath", "string(" + XPath + ")", Xml.string()});
  EXPECT_EQ(Text.Status, 0) << Text.Err;
  TestSupport::TempDir Dir;
  TestSupport::WriteFile(Dir / "b64.txt", Text.Out);
  const auto Bytes = TestSupport::Run({"base64", "-d", "-i", (Dir / "b64.txt").string()});
  EXPECT_EQ(Bytes.Status, 0) << Bytes.Err;
  return Bytes.Out;
}

std::vector<fs::path> Samples() {
  std::vector<fs::path> Files;
  const fs::path Folder = TestSupport::SharedData("cda/samples");
  if (Folder.empty() || !fs::is_directory(Folder)) return Files;
  for (const auto& E : fs::directory_iterator(Folder))
    if (E.path().extension() == ".xml") Files.push_back(E.path());
  std::sort(Files.begin(), Files.end());
  return Files;
}

void CheckDocument(const fs::path& Xml) {
  SCOPED_TRACE(Xml.filename().string());
  TClinicalDocument D;
  ASSERT_NO_THROW(D.Parse(TestSupport::ReadFile(Xml)));
  TestSupport::TempDir Dir;
  EXPECT_EQ(PageFaults(Xml, D, Dir, D.mimeType == "text/html"), "");
  if (D.mimeType != "text/html" && !D.NonXMLBody.empty()) {
    EXPECT_TRUE(D.NonXMLBody.Bytes() == DecodedByPeers(Xml, "//*[local-name()='nonXMLBody']/*[local-name()='text']"))
        << "decoded body differs";
  }
  for (const TMedia& M : D.MediaList.Items())
    EXPECT_TRUE(M.Data.Bytes() == DecodedByPeers(Xml, "(//*[local-name()='observationMedia'][@ID='" + M.FName +
                                                  "'])[1]/*[local-name()='value']"))
        << "medium " << M.FName << " differs";
}

}  // namespace

TEST(ClinicalDocuments, shared_samples_render_safely_and_decode_like_the_peers) {
  SKIP_UNLESS_TOOL("xmllint");
  SKIP_UNLESS_TOOL("base64");
  const std::vector<fs::path> Files = Samples();
  if (Files.empty()) GTEST_SKIP() << "shared CDA samples absent (../shared/data/cda/samples)";
  for (const fs::path& Xml : Files) CheckDocument(Xml);
}

TEST(ClinicalDocuments, fixtures_render_safely_and_decode_like_the_peers) {
  SKIP_UNLESS_TOOL("xmllint");
  SKIP_UNLESS_TOOL("base64");
  for (const char* Name : {"cda/header.xml", "cda/narrative.xml"}) CheckDocument(TestSupport::Fixture(Name));
}

// The injection document is no valid XML for xmllint (raw '<' in attribute
// values), so only the pages are checked.
TEST(ClinicalDocuments, injection_fixture_shows_nothing_active) {
  const fs::path Xml = TestSupport::Fixture("cda/injection.xml");
  TClinicalDocument D;
  D.Parse(TestSupport::ReadFile(Xml));
  TestSupport::TempDir Dir;
  // ElementTree refuses the document too: give it a well-formed twin with the
  // same title and patient.
  const fs::path Twin = Dir / "twin.xml";
  TestSupport::WriteFile(Twin, TestSupport::ReadFile(TestSupport::Fixture("cda/injection-names.xml")));
  EXPECT_EQ(PageFaults(Twin, D, Dir, true), "");
}

// A non-XML body in HTML goes to the view that shows a structured body:
// nothing active or remote that it holds may come out, whatever the case or
// parameters of its type; its text and plain formatting stay.
TEST(ClinicalDocuments, html_body_shows_nothing_active_or_remote) {
  const std::string Html = TestSupport::ReadFile(TestSupport::Fixture("cda/hostile-body.html"));
  for (const std::string Type : {"text/html", "Text/HTML; charset=UTF-8", "application/xhtml+xml"}) {
    SCOPED_TRACE(Type);
    TestSupport::TempDir Dir;
    const fs::path Xml = Dir / "html-body.xml";
    TestSupport::WriteFile(Xml, "<ClinicalDocument xmlns=\"urn:hl7-org:v3\"><title>Compte rendu HTML</title>"
                                "<component><nonXMLBody><text mediaType=\"" + Type + "\" representation=\"B64\">" +
                                    Vantrel::Base64Encode(Html) + "</text></nonXMLBody></component></ClinicalDocument>");
    TClinicalDocument D;
    D.Parse(TestSupport::ReadFile(Xml));
    EXPECT_EQ(D.mimeType, Type);
    EXPECT_EQ(PageFaults(Xml, D, Dir, true), "");
    for (const char* Gone : {"evil.example", "javascript", "alert(", "url(", "<script", "<iframe", "<img", "<svg"})
      EXPECT_EQ(D.NonXMLBody.Bytes().find(Gone), std::string::npos) << Gone << "\n" << D.NonXMLBody.Bytes();
    for (const char* Kept : {"<h1>Compte rendu HTML</h1>", "<h2>Compte rendu</h2>",
                             "<p title=\"R\xC3\xA9sultat\">R\xC3\xA9sultat <b>normal</b> &eacute;t&#233; &lt;ok&gt;</p>",
                             "<a href=\"#suite\" name=\"suite\">suite</a>", "<table border=\"1\">",
                             "<td colspan=\"2\">cellule</td>", "<p>fin</p>", "<p>guillemets</p>"})
      EXPECT_NE(D.NonXMLBody.Bytes().find(Kept), std::string::npos) << Kept << "\n" << D.NonXMLBody.Bytes();
  }
}

TEST(ClinicalDocuments, driver_prints_pages_and_media) {
  const auto R = TestSupport::Run({TestSupport::ToolPath("cda-html"),
                                   TestSupport::Fixture("cda/narrative.xml").string()});
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_TRUE(R.Out.starts_with("<!DOCTYPE HTML SYSTEM>\n"));
  EXPECT_NE(R.Out.find("<li><a href=\"#1.3.6.1.4.1.19376.1.5.3.1.3.6\">"), std::string::npos);
  EXPECT_TRUE(R.Out.ends_with("</html>\nmedium\tMM1\timage/png\t11\n")) << R.Out;
  const auto Bad = TestSupport::Run({TestSupport::ToolPath("cda-html"), "/nonexistent.xml"});
  EXPECT_EQ(Bad.Status, 1);
}
