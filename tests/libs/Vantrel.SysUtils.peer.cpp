// NIR keys against python-stdnum and file types of files written by real
// tools (ImageMagick, Python's zipfile and ElementTree, poppler).
#include "Vantrel.SysUtils.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "TestSupport.h"

using namespace Vantrel;

namespace {

bool HaveStdnum() {
  return TestSupport::RunPython("import stdnum.fr.nir").Status == 0;
}

}  // namespace

TEST(SysUtilsPeer, nir_keys_and_validity_agree_with_stdnum) {
  if (!HaveStdnum()) GTEST_SKIP() << "python3-stdnum is not installed";
  std::mt19937_64 Gen(97);
  auto Digits = [&](size_t N) {
    std::string S;
    while (N--) S += char('0' + Gen() % 10);
    return S;
  };
  // 13-character numbers, a third of them Corsican (2A/2B), keyed by both sides.
  std::vector<std::string> Numbers;
  for (int I = 0; I < 3000; ++I) {
    std::string N = Digits(13);
    if (I % 3 == 0) N.replace(5, 2, I % 2 ? "2A" : "2B");
    Numbers.push_back(N);
  }
  // 15-character candidates: a correct key, a wrong key, or a stray letter.
  std::vector<std::string> Candidates;
  for (int I = 0; I < 3000; ++I) {
    std::string S = Numbers[size_t(I)] + Digits(2);
    if (I % 3 == 0) NIRKey(S, 14);
    if (I % 7 == 0) S[Gen() % 15] = "ABX"[Gen() % 3];
    Candidates.push_back(S);
  }
  std::string Input;
  for (const auto& N : Numbers) Input += "K " + N + "\n";
  for (const auto& S : Candidates) Input += "V " + S + "\n";
  auto R = TestSupport::RunPython(R"(
import sys
from stdnum.fr import nir
for line in sys.stdin:
    kind, value = line.split()
    print(nir.calc_check_digits(value) if kind == 'K' else int(nir.is_valid(value)))
)", {}, Input);
  ASSERT_EQ(R.Status, 0) << R.Err;
  std::istringstream Answers(R.Out);
  std::string Expected;
  for (const auto& N : Numbers) {
    ASSERT_TRUE(std::getline(Answers, Expected));
    EXPECT_EQ(NIRWithKey(N, true), N + Expected) << N;
  }
  int Valid = 0;
  for (const auto& S : Candidates) {
    ASSERT_TRUE(std::getline(Answers, Expected));
    EXPECT_EQ(IsValidNIR(S), Expected == "1") << S;
    Valid += Expected == "1";
  }
  EXPECT_GT(Valid, 500);  // both answers occur
}

TEST(SysUtilsPeer, file_types_of_files_written_by_real_tools) {
  const std::string Convert = "/usr/bin/convert";
  SKIP_UNLESS_TOOL(Convert);
  TestSupport::TempDir Dir;
  struct Image { const char* Name; std::vector<std::string> Options; int Code; } Images[] = {
      {"a.bmp", {}, 3},
      {"a.png", {}, 6},
      {"a.jpg", {}, 5},
      {"le.tif", {"-define", "tiff:endian=lsb"}, 4},
      {"be.tif", {"-define", "tiff:endian=msb"}, 4},
      {"a.gif", {}, 0},
  };
  for (const auto& I : Images) {
    std::vector<std::string> Argv{Convert, "-size", "8x8", "xc:red"};
    Argv.insert(Argv.end(), I.Options.begin(), I.Options.end());
    Argv.push_back((Dir / I.Name).string());
    auto R = TestSupport::Run(Argv);
    ASSERT_EQ(R.Status, 0) << I.Name << ": " << R.Err;
    EXPECT_EQ(FileTypeFromSignature(FileToBytes((Dir / I.Name).string())), I.Code) << I.Name;
  }

  // A word-processing package is a ZIP; ElementTree writes an XML declaration.
  auto R = TestSupport::RunPython(R"(
import sys, zipfile, xml.etree.ElementTree as ET
folder = sys.argv[1]
with zipfile.ZipFile(folder + '/a.docx', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('[Content_Types].xml', '<Types/>')
    z.writestr('word/document.xml', '<document/>')
ET.ElementTree(ET.Element('ClinicalDocument')).write(folder + '/a.xml', encoding='UTF-8', xml_declaration=True)
)", {Dir.Path().string()});
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(FileTypeFromSignature(FileToBytes((Dir / "a.docx").string())), 10);
  EXPECT_EQ(FileTypeFromSignature(FileToBytes((Dir / "a.xml").string())), 12);
}

TEST(SysUtilsPeer, file_type_of_a_pdf_written_by_poppler) {
  SKIP_UNLESS_TOOL("pdfunite");
  TestSupport::TempDir Dir;
  // A minimal one-page document that poppler reads and writes out anew.
  std::string Body = "%PDF-1.4\n";
  std::vector<size_t> Offsets;
  for (const char* Object :
       {"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 72 72] >>"}) {
    Offsets.push_back(Body.size());
    Body += std::to_string(Offsets.size()) + " 0 obj\n" + Object + "\nendobj\n";
  }
  size_t XRef = Body.size();
  Body += "xref\n0 4\n0000000000 65535 f \n";
  for (size_t Offset : Offsets) {
    std::string Num = std::to_string(Offset);
    Body += std::string(10 - Num.size(), '0') + Num + " 00000 n \n";
  }
  Body += "trailer\n<< /Size 4 /Root 1 0 R >>\nstartxref\n" + std::to_string(XRef) + "\n%%EOF\n";
  ASSERT_TRUE(UTF8ToFile((Dir / "in.pdf").string(), Body));
  auto R = TestSupport::Run({"pdfunite", (Dir / "in.pdf").string(), (Dir / "out.pdf").string()});
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(FileTypeFromSignature(FileToBytes((Dir / "out.pdf").string())), 1);
}
