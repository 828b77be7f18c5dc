// Agreement with Python's configparser (no interpolation, duplicates
// tolerated, key case kept), the reader other tools use on these files.
#include "Vantrel.IniFiles.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

using namespace Vantrel;

namespace {

// Values that an INI dialect with lists, quotes, escapes or interpolation would change.
const std::pair<std::string, std::string> Values[] = {
    {"Icon", "/opt/dossier\\fichier,0"},
    {"Path", "C:\\Echange\\DocImport\\"},
    {"Env", "%PATH%;%HOME%"},
    {"Quoted", "\"entre guillemets\""},
    {"Secret", "QUJDREVGR0hJSktMTU5PUA==+/"},
    {"Accents", "Exporter le document vers DocImport \xC3\xA9\xC3\xA0"},
    {"Semicolon", "a ; b # c"},
    {"Empty", ""},
};

constexpr std::string_view Dump = R"(
import configparser, json, sys
p = configparser.ConfigParser(interpolation=None, strict=False)
p.optionxform = str
with open(sys.argv[1], encoding='utf-8-sig') as f:
    p.read_file(f)
print(json.dumps({s: dict(p[s]) for s in p.sections()}, ensure_ascii=False))
)";

}  // namespace

TEST(IniFilesPeer, configparser_reads_what_we_write) {
  TestSupport::TempDir Dir;
  const std::string Name = (Dir / "carvelin2.ini").string();
  {
    TIniFile Ini(Name);
    for (const auto& [Key, Value] : Values) Ini.WriteString("DocImport", Key, Value);
    Ini.WriteInteger("Forms.Main", "TDMPMain.Top", -40);
    ASSERT_TRUE(Ini.UpdateFile());
  }
  const auto R = TestSupport::RunPython(Dump, {Name});
  ASSERT_EQ(R.Status, 0) << R.Err;
  std::string Expected = "{\"DocImport\": {";
  for (const auto& [Key, Value] : Values) {
    std::string Escaped;
    for (char C : Value) Escaped += C == '\\' || C == '"' ? std::string{'\\', C} : std::string{C};
    Expected += "\"" + Key + "\": \"" + Escaped + "\", ";
  }
  Expected.resize(Expected.size() - 2);
  Expected += "}, \"Forms.Main\": {\"TDMPMain.Top\": \"-40\"}}\n";
  EXPECT_EQ(R.Out, Expected);
}

TEST(IniFilesPeer, we_read_what_configparser_writes) {
  TestSupport::TempDir Dir;
  const std::string Name = (Dir / "carvelin2.ini").string();
  std::vector<std::string> Args{Name};
  for (const auto& [Key, Value] : Values) {
    Args.push_back(Key);
    Args.push_back(Value);
  }
  const auto R = TestSupport::RunPython(R"(
import configparser, sys
p = configparser.ConfigParser(interpolation=None)
p.optionxform = str
p['DocImport'] = dict(zip(sys.argv[2::2], sys.argv[3::2]))
p['Forms.Main'] = {'TDMPMain.State': '2'}
with open(sys.argv[1], 'w', encoding='utf-8') as f:
    p.write(f)
)", Args);
  ASSERT_EQ(R.Status, 0) << R.Err;
  TIniFile Ini(Name);
  EXPECT_TRUE(Ini.Warnings().empty());
  for (const auto& [Key, Value] : Values) EXPECT_EQ(Ini.ReadString("DocImport", Key, "?"), Value) << Key;
  EXPECT_EQ(Ini.ReadInteger("Forms.Main", "TDMPMain.State", -1), 2);
}
