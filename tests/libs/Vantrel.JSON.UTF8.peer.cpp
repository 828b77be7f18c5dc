// JSON written by us read by Python's json, jq and Node; JSON written by
// Python read by us; real files read the same as Python reads them.
#include "Vantrel.JSON.UTF8.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <filesystem>
#include <random>

#include "Records.h"
#include "TestSupport.h"
#include "Vantrel.UTF8.Utils.h"

namespace JSONPeer {

// One entry of the iso-codes tables: the union of the members of all of them.
struct TIsoEntry {
  std::string alpha_2, alpha_3, alpha_4, bibliographic, code, comment, common_name, flag, inverted_name,
      name, numeric, official_name, parent, scope, type, withdrawal_date;
};
VANTREL_RECORD(TIsoEntry, VANTREL_FIELD(alpha_2), VANTREL_FIELD(alpha_3), VANTREL_FIELD(alpha_4),
               VANTREL_FIELD(bibliographic), VANTREL_FIELD(code), VANTREL_FIELD(comment),
               VANTREL_FIELD(common_name), VANTREL_FIELD(flag), VANTREL_FIELD(inverted_name),
               VANTREL_FIELD(name), VANTREL_FIELD(numeric), VANTREL_FIELD(official_name),
               VANTREL_FIELD(parent), VANTREL_FIELD(scope), VANTREL_FIELD(type),
               VANTREL_FIELD(withdrawal_date))

}  // namespace JSONPeer

namespace {

using namespace Vantrel;
using TestSupport::RunPython;

constexpr const char* CheckFullRecord = R"PY(
import base64, json, sys
d = json.loads(sys.stdin.buffer.read().decode('utf-8'))
exp = {
 "Actif": True, "Etat": "Suspendu", "Lettre": "Z", "LettreW": "\u00e9",
 "nom_usage": "D'Artagnan \"le\" \\ Gascon\t\x01\x1f\x7f \u00e9 \U0001F600",
 "Prenom": "Zo\u00e9 \U0001F600 \u2028",
 "Brut": {"a": [1, 2, {"b": None}]},
 "I8": -128, "U8": 255, "I16": -32768, "U16": 65535, "I32": -2147483648, "U32": 4294967295,
 "I64": -9223372036854775808, "U64": 18446744073709551615,
 "F32": 0.1, "F64": -1.2345678e-197, "F80": 1234.5, "Solde": -123456789.1234,
 "Naissance": "2024-01-31", "Heure": "10:20:30", "Creation": "2024-01-31T10:20:30",
 "Adresse": {"Rue": "1 rue de la Paix", "Ville": "Paris"}, "Consentement": False,
 "Etats": ["Actif", "Suspendu"], "Trois": [1, -2, 3], "Liste": ["un", None, "trois"],
 "Adresses": [{"Rue": "a", "Ville": "b"}, {"Rue": None, "Ville": "c"}],
 "Photo": base64.b64encode(b"\x00\xff\x10 photo").decode(),
 "Id": "6F9619FF-8B86-D011-B42D-00C04FC964FF"}
if list(d) != list(exp):
    sys.exit("members: %r" % list(d))
for k in exp:
    if d[k] != exp[k] or type(d[k]) != type(exp[k]):
        sys.exit("%s: %r != %r" % (k, d[k], exp[k]))
# Back in another shape: ASCII only (\u escapes, surrogate pairs), indented,
# members reversed, plus members we do not know.
d = dict(reversed(list(d.items())))
d["Inconnu"] = {"x": [1, {"y": "\u00e9"}], "z": None}
sys.stdout.write(json.dumps(d, ensure_ascii=True, indent=1))
)PY";

TEST(JSONUTF8Peer, full_record_agrees_with_python_and_comes_back) {
  JSONTest::TTout T = JSONTest::FullRecord();
  std::string Json = JSON::buildJSON(T);
  auto R = RunPython(CheckFullRecord, {}, Json);
  ASSERT_EQ(R.Status, 0) << R.Err << "\n" << Json;
  JSONTest::TTout Back;
  JSON::parseJSON(R.Out, Back);
  // The raw member keeps Python's layout; without its blanks it is ours.
  std::erase_if(Back.Brut, [](char C) { return C == ' ' || C == '\n'; });
  EXPECT_TRUE(Back == T) << R.Out;
}

TEST(JSONUTF8Peer, full_record_is_valid_for_jq_and_node) {
  std::string Json = JSON::buildJSON(JSONTest::FullRecord());
  SKIP_UNLESS_TOOL("jq");
  auto J = TestSupport::Run({"jq", "-e", "-c", ".Etats, .Adresses[1].Ville"}, Json);
  EXPECT_EQ(J.Status, 0) << J.Err;
  EXPECT_EQ(J.Out, "[\"Actif\",\"Suspendu\"]\n\"c\"\n");
  SKIP_UNLESS_TOOL("node");
  auto N = TestSupport::Run(
      {"node", "-e",
       "const d = JSON.parse(require('fs').readFileSync(0, 'utf8'));"
       "process.stdout.write(Object.keys(d).length + ' ' + d.Prenom.length + ' ' + d.nom_usage.charCodeAt(24))"},
      Json);
  EXPECT_EQ(N.Status, 0) << N.Err;
  EXPECT_EQ(N.Out, "30 8 9");  // "Zoé 😀 \u2028" is 8 UTF-16 units; TAB at index 24
}

// Random texts made of the characters that matter for escaping.
std::u16string RandomText(std::mt19937& Rng, bool LoneSurrogates) {
  static const char32_t Pool[] = {0, 1, 8, 9, 10, 12, 13, 0x1F, ' ', '"', '\\', '/', 0x7F, 'a', 'Z',
                                  0xE9, 0x152, 0x2028, 0x20AC, 0xFFFD, 0x1F600, 0x10FFFF};
  std::u16string S;
  size_t Len = Rng() % 12;
  for (size_t I = 0; I < Len; ++I) {
    if (LoneSurrogates && Rng() % 6 == 0) {
      S += char16_t(0xD800 + Rng() % 0x800);
      continue;
    }
    char32_t C = Pool[Rng() % std::size(Pool)];
    if (C >= 0x10000) {
      S += char16_t(0xD800 + ((C - 0x10000) >> 10));
      S += char16_t(0xDC00 + ((C - 0x10000) & 0x3FF));
    } else {
      S += char16_t(C);
    }
  }
  return S;
}

// "x" and the UTF-16LE bytes in hexadecimal ("x" alone for an empty text).
std::string UnitsHex(const std::u16string& S) {
  std::string Bytes;
  for (char16_t U : S) {
    Bytes += char(U & 0xFF);
    Bytes += char(U >> 8);
  }
  return "x" + TestSupport::ToHex(Bytes);
}

std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> Result;
  size_t Start = 0;
  for (size_t End; (End = Text.find('\n', Start)) != std::string::npos; Start = End + 1)
    Result.push_back(Text.substr(Start, End - Start));
  return Result;
}

TEST(JSONUTF8Peer, string_escaping_matches_python_byte_for_byte) {
  // json.dumps(s, ensure_ascii=False) escapes exactly what we escape.
  std::mt19937 Rng(5);
  std::string Input;
  std::vector<std::string> Ours;
  for (int I = 0; I < 400; ++I) {
    std::u16string S = RandomText(Rng, false);
    Input += UnitsHex(S) + "\n";
    TJSONBuilder B;
    B.AppendString(S, false);
    Ours.push_back(B.ToString());
  }
  auto R = RunPython(R"PY(
import json, sys
out = []
for line in sys.stdin.read().split():
    s = bytes.fromhex(line[1:]).decode('utf-16-le')
    out.append(json.dumps(s, ensure_ascii=False))
sys.stdout.buffer.write(("\n".join(out) + "\n").encode('utf-8'))
)PY",
                     {}, Input);
  ASSERT_EQ(R.Status, 0) << R.Err;
  std::vector<std::string> Theirs = Lines(R.Out);
  ASSERT_EQ(Theirs.size(), Ours.size());
  for (size_t I = 0; I < Ours.size(); ++I) EXPECT_EQ(Ours[I], Theirs[I]) << I;
}

TEST(JSONUTF8Peer, lone_surrogates_survive_as_escapes_in_both_forms) {
  std::mt19937 Rng(11);
  std::string Input;
  std::vector<std::u16string> Texts;
  for (int I = 0; I < 200; ++I) {
    Texts.push_back(RandomText(Rng, true));
    TJSONBuilder B8;
    B8.AppendString(Texts.back(), false);
    UTF16::TJSONBuilder B16;
    B16.AppendString(Texts.back(), false);
    Input += UnitsHex(Texts.back()) + " " + TestSupport::ToHex(B8.ToString()) + " " +
             TestSupport::ToHex(UTF16ToUTF8(B16.ToString())) + "\n";
  }
  // Python reads both forms back to the same UTF-16 units and writes its own
  // ASCII form, which we read back.
  auto R = RunPython(R"PY(
import json, sys
for line in sys.stdin.read().splitlines():
    units, ours8, ours16 = line.split(' ')
    s = bytes.fromhex(units[1:]).decode('utf-16-le', 'surrogatepass')
    for ours in (ours8, ours16):
        got = json.loads(bytes.fromhex(ours).decode('utf-8'))
        if got != s:
            sys.exit("%r != %r" % (got, s))
    print(json.dumps(s))
)PY",
                     {}, Input);
  ASSERT_EQ(R.Status, 0) << R.Err;
  std::vector<std::string> Theirs = Lines(R.Out);
  ASSERT_EQ(Theirs.size(), Texts.size());
  for (size_t I = 0; I < Texts.size(); ++I) {
    std::u16string Back;
    JSON::parseJSON(Theirs[I], Back);
    EXPECT_TRUE(Back == Texts[I]) << Theirs[I];
  }
}

TEST(JSONUTF8Peer, python_ascii_escapes_read_back_to_the_same_text) {
  std::mt19937 Rng(17);
  std::string Input;
  std::vector<std::u16string> Texts;
  for (int I = 0; I < 300; ++I) {
    Texts.push_back(RandomText(Rng, I % 3 == 0));
    Input += UnitsHex(Texts.back()) + "\n";
  }
  auto R = RunPython(R"PY(
import json, sys
out = []
for i, line in enumerate(sys.stdin.read().split()):
    s = bytes.fromhex(line[1:]).decode('utf-16-le', 'surrogatepass')
    lone = any(0xD800 <= ord(c) <= 0xDFFF for c in s)
    out.append(json.dumps(s, ensure_ascii=(i % 2 == 0 or lone)))
sys.stdout.buffer.write(("\n".join(out) + "\n").encode('utf-8'))
)PY",
                     {}, Input);
  ASSERT_EQ(R.Status, 0) << R.Err;
  std::vector<std::string> Theirs = Lines(R.Out);
  ASSERT_EQ(Theirs.size(), Texts.size());
  std::string Array = "[";
  for (size_t I = 0; I < Theirs.size(); ++I) Array += (I ? ", " : "") + Theirs[I];
  std::vector<std::u16string> Back;
  JSON::parseJSON(Array + "]", Back);  // and as one array
  ASSERT_EQ(Back.size(), Texts.size());
  for (size_t I = 0; I < Texts.size(); ++I) EXPECT_TRUE(Back[I] == Texts[I]) << Theirs[I];
}

TEST(JSONUTF8Peer, numbers_match_the_c_library_forms_python_uses) {
  std::mt19937_64 Rng(23);
  std::vector<double> Doubles = {0.0, -0.0, 1e20, 1e-5, 123456789012345678.0, 0.1, 1.0 / 3, 5e-324,
                                 1.7976931348623157e308, -2.5, 100, 1e15, 1e16};
  std::vector<float> Floats = {0.1f, 1.0f / 3, 3.4028235e38f, 1e-45f, 16777217.0f};
  for (int I = 0; I < 300; ++I) {
    Doubles.push_back(std::bit_cast<double>(Rng()));
    Floats.push_back(std::bit_cast<float>(uint32_t(Rng())));
  }
  std::string Input;
  for (double D : Doubles)
    if (std::isfinite(D)) Input += "d " + TestSupport::ToHex(std::string(reinterpret_cast<const char*>(&D), 8)) + " " + JSON::buildJSON(D) + "\n";
  for (float F : Floats)
    if (std::isfinite(F)) Input += "f " + TestSupport::ToHex(std::string(reinterpret_cast<const char*>(&F), 4)) + " " + JSON::buildJSON(F) + "\n";
  auto R = RunPython(R"PY(
import json, struct, sys
for line in sys.stdin.read().splitlines():
    kind, raw, ours = line.split(' ')
    v = json.loads(ours)
    if kind == 'd':
        x = struct.unpack('<d', bytes.fromhex(raw))[0]
        want = '%.15g' % x
        if ours != want or v != float(want):
            sys.exit("double %r: ours %s, C %s" % (x, ours, want))
    else:
        if struct.pack('<f', v) != bytes.fromhex(raw):
            sys.exit("float %s does not read back to %s" % (ours, raw))
)PY",
                     {}, Input);
  EXPECT_EQ(R.Status, 0) << R.Err;
}

TEST(JSONUTF8Peer, iso_codes_tables_read_as_python_reads_them) {
  const std::filesystem::path Folder = "/usr/share/iso-codes/json";
  if (!std::filesystem::exists(Folder)) GTEST_SKIP() << "iso-codes is not installed";
  int Files = 0;
  for (const auto& Entry : std::filesystem::directory_iterator(Folder)) {
    std::string Name = Entry.path().filename().string();
    if (Name.rfind("iso_", 0) != 0) continue;
    SCOPED_TRACE(Name);
    ++Files;
    TJSONParser P{TestSupport::ReadFile(Entry.path())};
    ASSERT_TRUE(P.BeginObject());
    std::string Key = P.GetKey();
    std::vector<JSONPeer::TIsoEntry> Entries;
    P.Parse(Entries);
    EXPECT_TRUE(P.EndObject());
    auto R = RunPython(R"PY(
import json, sys
fields = ["alpha_2", "alpha_3", "alpha_4", "bibliographic", "code", "comment", "common_name", "flag",
          "inverted_name", "name", "numeric", "official_name", "parent", "scope", "type", "withdrawal_date"]
theirs = json.load(open(sys.argv[1], encoding='utf-8'))[sys.argv[2]]
ours = json.loads(sys.stdin.buffer.read().decode('utf-8'))
if len(ours) != len(theirs):
    sys.exit("%d entries, Python has %d" % (len(ours), len(theirs)))
for o, t in zip(ours, theirs):
    for f in fields:
        if (t.get(f) or None) != o[f]:
            sys.exit("%s: %r != %r" % (f, o[f], t.get(f)))
)PY",
                       {Entry.path().string(), Key}, JSON::buildJSON(Entries));
    EXPECT_EQ(R.Status, 0) << R.Err;
  }
  EXPECT_GE(Files, 8);
}

}  // namespace
