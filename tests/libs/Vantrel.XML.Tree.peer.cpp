// The XML tree reader against Python's expat (the parser under xml.etree): both dump every
// element of a document in the line format of tests/tools/xml-dump.cpp and
// the dumps must be byte-identical.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

// The same line format as xml-dump, written from the events of Python's
// expat binding (the parser under xml.etree). xml.etree itself merges the
// character data around comments, processing instructions and CDATA
// sections, so it cannot show the reader's rule that a run of text between
// two pieces of markup made only of TAB, LF, CR and space (as written in the
// source) is no text node; the events can, with the byte offsets of the runs.
constexpr const char* PythonDump = R"PY(
import sys
import xml.parsers.expat

data = open(sys.argv[1], 'rb').read()
p = xml.parsers.expat.ParserCreate(namespace_separator=' ')
p.ordered_attributes = True

def local(name):
    return name.rsplit(' ', 1)[-1]

def esc(s):
    return s.replace('\\', '\\\\').replace('\t', '\\t').replace('\n', '\\n').replace('\r', '\\r')

lines = []
opened = []   # [line index, path, text runs, has child elements]
run = []
run_start = None
in_cdata = False

def flush():
    global run, run_start
    if opened and run_start is not None:
        raw = data[run_start:p.CurrentByteIndex]
        if in_cdata or raw.strip(b' \t\r\n'):
            opened[-1][2].append(''.join(run))
    run = []
    run_start = None

def chars(s):
    global run_start
    if run_start is None:
        run_start = p.CurrentByteIndex
    run.append(s)

def start(name, attrs):
    flush()
    if opened:
        opened[-1][3] = True
    path = (opened[-1][1] + '/' if opened else '') + local(name)
    line = path
    for i in range(0, len(attrs), 2):
        line += '\t@' + local(attrs[i]) + '=' + esc(attrs[i + 1])
    lines.append(line)
    opened.append([len(lines) - 1, path, [], False])

def end(name):
    flush()
    index, path, runs, has_child = opened.pop()
    if not has_child:
        lines[index] += '\t=' + esc(''.join(runs).strip(' \t\n\r'))

def cdata_start():
    global in_cdata, run_start
    flush()
    in_cdata = True
    run_start = p.CurrentByteIndex

def cdata_end():
    global in_cdata
    flush()
    in_cdata = False

def markup(*args):
    flush()

p.StartElementHandler = start
p.EndElementHandler = end
p.CharacterDataHandler = chars
p.StartCdataSectionHandler = cdata_start
p.EndCdataSectionHandler = cdata_end
p.CommentHandler = markup
p.ProcessingInstructionHandler = markup
p.Parse(data, True)
sys.stdout.buffer.write(''.join(l + '\n' for l in lines).encode('utf-8'))
)PY";

void ExpectSameDump(const std::filesystem::path& File) {
  SCOPED_TRACE(File.string());
  TestSupport::RunResult Ours = TestSupport::Run({TestSupport::ToolPath("xml-dump"), File.string()});
  TestSupport::RunResult Theirs = TestSupport::RunPython(PythonDump, {File.string()});
  ASSERT_EQ(Theirs.Status, 0) << Theirs.Err;
  ASSERT_EQ(Ours.Status, 0) << Ours.Err;
  ASSERT_FALSE(Ours.Out.empty());
  if (Ours.Out == Theirs.Out) return;
  // Show the first line that differs rather than two whole dumps.
  size_t At = std::mismatch(Ours.Out.begin(), Ours.Out.end(), Theirs.Out.begin(), Theirs.Out.end()).first -
              Ours.Out.begin();
  size_t LineStart = Ours.Out.rfind('\n', At == 0 ? 0 : At - 1);
  LineStart = LineStart == std::string::npos ? 0 : LineStart + 1;
  ADD_FAILURE() << "dumps differ at byte " << At << "\nours:   " << Ours.Out.substr(LineStart, 200)
                << "\npython: " << Theirs.Out.substr(LineStart, 200);
}

void ExpectSameDumpForFolder(std::string_view Folder) {
  std::filesystem::path Dir = TestSupport::SharedData(Folder);
  if (Dir.empty()) GTEST_SKIP() << "shared test data absent: ../shared/data/" << Folder;
  std::vector<std::filesystem::path> Files;
  for (const auto& Entry : std::filesystem::directory_iterator(Dir))
    if (Entry.is_regular_file()) Files.push_back(Entry.path());
  std::sort(Files.begin(), Files.end());
  ASSERT_FALSE(Files.empty());
  for (const auto& F : Files) ExpectSameDump(F);
}

// A reproducible well-formed document mixing everything the reader must get
// right: namespaces, attributes in both quotes with references and line
// breaks, texts with references, CDATA, comments and processing instructions.
std::string RandomDocument(uint64_t Seed) {
  std::string Noise = TestSupport::RandomBytes(4096, Seed);
  size_t K = 0;
  auto Next = [&](size_t N) { return size_t(uint8_t(Noise[K++ % Noise.size()])) % N; };
  const std::vector<std::string> Names = {"a", "p:b", "q:c", "données", "e-f", "g.h", "i_j"};
  const std::vector<std::string> Texts = {"x",       "&amp;",   "&lt;&gt;", "&quot;&apos;", "&#233;",
                                          "&#x1F600;", "\r\n",   " ",       "é\tà",        "\\",
                                          "]]&gt;",  "&#10;",   "&#13;",   "  y  "};
  auto Text = [&] {
    std::string S;
    for (size_t I = 0, N = 1 + Next(4); I < N; ++I) S += Texts[Next(Texts.size())];
    return S;
  };
  std::string Doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- start -->\n";
  Doc += "<p:root xmlns:p=\"urn:p\" xmlns:q='urn:q' xmlns=\"urn:default\">";
  std::vector<std::string> Open;
  for (int Step = 0; Step < 120; ++Step) {
    switch (Next(8)) {
      case 0:
      case 1: {
        std::string Name = Names[Next(Names.size())];
        Doc += '<' + Name;
        for (size_t I = 0, N = Next(3); I < N; ++I) {
          char Quote = Next(2) ? '"' : '\'';
          Doc += std::string(" ") + (I == 1 ? "q:" : "") + "k" + std::to_string(I) + '=' + Quote + Text() + Quote;
        }
        if (Next(3) == 0 || Open.size() > 30) {
          Doc += "/>";
        } else {
          Doc += '>';
          Open.push_back(Name);
        }
        break;
      }
      case 2:
        if (!Open.empty()) {
          Doc += "</" + Open.back() + '>';
          Open.pop_back();
        }
        break;
      case 3: Doc += "<![CDATA[<&amp;>\r\n" + std::to_string(Step) + "]]>"; break;
      case 4: Doc += "<!-- c " + std::to_string(Step) + " -->"; break;
      case 5: Doc += "<?pi data?>"; break;
      default: Doc += Text();
    }
  }
  while (!Open.empty()) {
    Doc += "</" + Open.back() + '>';
    Open.pop_back();
  }
  return Doc + "</p:root>\n<!-- end -->\n";
}

}  // namespace

TEST(XMLTreePeer, cda_samples_dump_as_python_reads_them) { ExpectSameDumpForFolder("cda/samples"); }

TEST(XMLTreePeer, value_sets_dump_as_python_reads_them) { ExpectSameDumpForFolder("value-sets"); }

TEST(XMLTreePeer, crafted_documents_dump_as_python_reads_them) {
  const std::vector<std::string> Docs = {
      // Namespaces: default, prefixed, redeclared, xml:lang; declarations are no attributes.
      "<?xml version=\"1.0\"?>\n<s:Envelope xmlns:s=\"urn:s\" xmlns=\"urn:d\"><s:Body xml:lang=\"fr\">"
      "<r xmlns=\"urn:r\" s:mustUnderstand=\"1\"><s:x xmlns:s=\"urn:other\">v</s:x></r></s:Body></s:Envelope>",
      // CDATA, references, comments and processing instructions inside text.
      "<a>x<!--c-->y<?pi z?> <![CDATA[ <b>&amp;</b> ]]>&#233;&#x20AC;&#x1F600;&lt;&amp;&gt;&quot;&apos;</a>",
      // Attribute values: both quotes, '<' and '>' inside, line breaks and TABs, references.
      "<a x='say \"hi\"' y=\"it's &lt;ok&gt;\" z=\"l1\r\nl2\tl3&#10;&#9;end\" w=''><b/></a>",
      // A byte-order mark, CRLF line ends everywhere, an empty document element body.
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<a>\r\n <b>one\r\ntwo\rthree</b>\r\n <c></c>\r\n</a>\r\n",
      // Mixed content and blank text between elements.
      "<p>Lead <b>bold</b> tail <i> </i>\n<br/>\n</p>",
  };
  TestSupport::TempDir Dir;
  for (size_t I = 0; I < Docs.size(); ++I) {
    auto File = Dir / ("crafted" + std::to_string(I) + ".xml");
    TestSupport::WriteFile(File, Docs[I]);
    ExpectSameDump(File);
  }
}

TEST(XMLTreePeer, random_documents_dump_as_python_reads_them) {
  TestSupport::TempDir Dir;
  for (uint64_t Seed = 1; Seed <= 40; ++Seed) {
    auto File = Dir / ("random" + std::to_string(Seed) + ".xml");
    TestSupport::WriteFile(File, RandomDocument(Seed));
    ExpectSameDump(File);
  }
}
