#include "Vantrel.IniFiles.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

using namespace Vantrel;
using TestSupport::ReadFile;
using TestSupport::WriteFile;

namespace {

class IniFiles : public ::testing::Test {
 protected:
  TestSupport::TempDir Dir;
  std::string Name = (Dir / "carvelin2.ini").string();
};

}  // namespace

TEST_F(IniFiles, values_are_read_as_written_without_interpretation) {
  WriteFile(Name,
            "\xEF\xBB\xBF; comment\r\n"
            "[DocImport]\r\n"
            "Icon = C:\\dossier\\fichier,0 \r\n"
            "Hint=\"quoted\" %PATH% ; not a comment\r\n"
            "Empty=\r\n"
            "b64=QUJD+/==\r\n"
            "Eq=a=b\r\n"
            " [ forms.main ] \r\n"
            "TDMPMain.Top=-12\r\n"
            "TDMPMain.Left=12px\r\n"
            "TDMPMain.Width=+3\r\n"
            "[DOCIMPORT]\r\n"
            "Icon=second section: ignored\r\n");
  TIniFile Ini(Name);
  EXPECT_EQ(Ini.ReadString("docimport", "ICON", "?"), "C:\\dossier\\fichier,0");
  EXPECT_EQ(Ini.ReadString("DocImport", "Hint", "?"), "\"quoted\" %PATH% ; not a comment");
  EXPECT_EQ(Ini.ReadString("DocImport", "Empty", "?"), "");
  EXPECT_EQ(Ini.ReadString("DocImport", "b64", "?"), "QUJD+/==");
  EXPECT_EQ(Ini.ReadString("DocImport", "Eq", "?"), "a=b");
  EXPECT_EQ(Ini.ReadString("DocImport", "Missing", "def"), "def");
  EXPECT_EQ(Ini.ReadString("Nowhere", "Icon", "def"), "def");
  EXPECT_EQ(Ini.ReadInteger("Forms.Main", "TDMPMain.Top", 0), -12);
  EXPECT_EQ(Ini.ReadInteger("Forms.Main", "TDMPMain.Left", 7), 7);  // not an integer
  EXPECT_EQ(Ini.ReadInteger("Forms.Main", "TDMPMain.Width", 0), 3);
  EXPECT_EQ(Ini.ReadInteger("DocImport", "Hint", -1), -1);
  EXPECT_TRUE(Ini.ReadBool("Forms.Main", "TDMPMain.Top", false));
  EXPECT_TRUE(Ini.ReadBool("Forms.Main", "Missing", true));
  EXPECT_EQ(Ini.ReadSections(), (std::vector<std::string>{"DocImport", "forms.main"}));
  EXPECT_EQ(Ini.ReadSection("docimport"), (std::vector<std::string>{"Icon", "Hint", "Empty", "b64", "Eq"}));
  EXPECT_TRUE(Ini.SectionExists("FORMS.MAIN"));
  EXPECT_FALSE(Ini.SectionExists("Secret"));
  EXPECT_TRUE(Ini.Warnings().empty());
}

TEST_F(IniFiles, a_rewrite_changes_only_what_was_written) {
  const std::string Before =
      "; kept comment\n"
      "[BASE]\n"
      "CHEMIN = /data/base.db3\n"
      "no equals sign here\n"
      "\n"
      "# comment before the next section\n"
      "[Forms.Main]\n"
      "TDMPMain.State=0\n"
      "tdmpmain.top=10\n"
      "[Secret]\n"
      "8100000001=QUJD\n";
  WriteFile(Name, Before);
  TIniFile Ini(Name);
  ASSERT_EQ(Ini.Warnings().size(), 1u);
  EXPECT_NE(Ini.Warnings()[0].find("ligne 4"), std::string::npos);
  EXPECT_TRUE(Ini.UpdateFile());  // nothing changed: nothing written
  EXPECT_EQ(ReadFile(Name), Before);

  Ini.WriteInteger("Forms.Main", "TDMPMain.Top", 20);
  Ini.WriteInteger("FORMS.MAIN", "TDMPMain.Left", 5);
  Ini.WriteString("BASE", "Autre", "x\ny");
  Ini.WriteString("Forms.8100000001", "TFrmDocument.State", "2");
  Ini.DeleteKey("Secret", "8100000001");
  ASSERT_TRUE(Ini.UpdateFile());
  EXPECT_EQ(ReadFile(Name),
            "; kept comment\n"
            "[BASE]\n"
            "CHEMIN = /data/base.db3\n"
            "Autre=x y\n"
            "no equals sign here\n"
            "\n"
            "# comment before the next section\n"
            "[Forms.Main]\n"
            "TDMPMain.State=0\n"
            "tdmpmain.top=20\n"
            "TDMPMain.Left=5\n"
            "[Secret]\n"
            "[Forms.8100000001]\n"
            "TFrmDocument.State=2\n");

  Ini.EraseSection("forms.main");
  ASSERT_TRUE(Ini.UpdateFile());
  TIniFile Again(Name);
  EXPECT_EQ(Again.ReadSections(), (std::vector<std::string>{"BASE", "Secret", "Forms.8100000001"}));
  EXPECT_EQ(Again.ReadInteger("Forms.Main", "TDMPMain.Top", -1), -1);
}

TEST_F(IniFiles, crlf_files_stay_crlf) {
  WriteFile(Name, "[A]\r\nk=1\r\n");
  TIniFile Ini(Name);
  Ini.WriteString("A", "j", "2");
  ASSERT_TRUE(Ini.UpdateFile());
  EXPECT_EQ(ReadFile(Name), "[A]\r\nk=1\r\nj=2\r\n");
}

TEST_F(IniFiles, bad_lines_are_not_read_but_kept) {
  const std::string Long = "[A]\nlong=" + std::string(MaxIniLineSize, 'x') + "\n";
  const std::string Binary = std::string("bin=a\0b\n", 8) + "latin=\xE9t\xE9\n" + "ok=1\n";
  WriteFile(Name, Long + Binary);
  TIniFile Ini(Name);
  EXPECT_EQ(Ini.ReadString("A", "long", "def"), "def");
  EXPECT_EQ(Ini.ReadString("A", "bin", "def"), "def");
  EXPECT_EQ(Ini.ReadString("A", "latin", "def"), "def");
  EXPECT_EQ(Ini.ReadString("A", "ok", "def"), "1");
  EXPECT_EQ(Ini.Warnings().size(), 3u);
  Ini.WriteString("A", "new", "v");
  ASSERT_TRUE(Ini.UpdateFile());
  EXPECT_EQ(ReadFile(Name), Long + Binary + "new=v\n");
}

TEST_F(IniFiles, an_oversized_file_is_refused_and_never_overwritten) {
  const std::string Big = "[A]\nk=" + std::string(MaxIniFileSize, 'x') + "\n";
  WriteFile(Name, Big);
  TIniFile Ini(Name);
  EXPECT_EQ(Ini.ReadString("A", "k", "def"), "def");
  ASSERT_EQ(Ini.Warnings().size(), 1u);
  Ini.WriteString("A", "k", "v");
  EXPECT_FALSE(Ini.UpdateFile());
  EXPECT_EQ(ReadFile(Name), Big);
}

TEST_F(IniFiles, a_missing_file_is_created_on_update) {
  TIniFile Ini(Name);
  EXPECT_TRUE(Ini.Warnings().empty());
  EXPECT_TRUE(Ini.ReadSections().empty());
  Ini.WriteInteger("Forms.Main", "TDMPMain.State", 2);
  ASSERT_TRUE(Ini.UpdateFile());
  EXPECT_EQ(ReadFile(Name), "[Forms.Main]\nTDMPMain.State=2\n");
  TIniFile Unwritable((Dir / "no" / "such" / "folder.ini").string());
  Unwritable.WriteString("A", "k", "v");
  EXPECT_FALSE(Unwritable.UpdateFile());
}
