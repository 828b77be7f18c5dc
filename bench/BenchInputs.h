// Inputs shared by the XML benchmarks: the shared data's samples, and
// generated documents of a chosen size in two shapes that stress different
// paths of a reader and a canonicaliser:
//  - markup-dense: many small elements with several short attributes, two
//    namespace prefixes and entity references, little text;
//  - Base64-heavy: a CDA header around one long Base64 text (a filed PDF).
// Generation is deterministic, so runs compare like with like.
#pragma once

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace BenchInputs {

inline std::string ReadAll(const std::filesystem::path& Path) {
  std::ifstream F(Path, std::ios::binary);
  std::ostringstream S;
  S << F.rdbuf();
  return S.str();
}

// The folder of the shared CDA samples, beside the project folder (may be absent).
inline std::filesystem::path SamplesDir() {
  return std::filesystem::path(__FILE__).parent_path().parent_path() / "../shared/data/cda/samples";
}

// About Bytes of markup: entries of a coded observation, as in a summary.
inline std::string MarkupDenseXML(size_t Bytes) {
  std::string S =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<ClinicalDocument xmlns=\"urn:hl7-org:v3\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xmlns:lab=\"urn:oid:1.3.6.1.4.1.19376.1.3.2\">\n<component><structuredBody>\n";
  S.reserve(Bytes + 512);
  for (size_t I = 0; S.size() < Bytes; ++I) {
    const std::string N = std::to_string(I);
    S += "<entry typeCode=\"DRIV\"><observation classCode=\"OBS\" moodCode=\"EVN\"><templateId root=\"1.3.6.1.4.1."
         "19376.1.3.1.6\"/><id root=\"1.2.250.1.213.1.1.9\" extension=\"" + N +
         "\"/><code code=\"" + N + "-4\" codeSystem=\"2.16.840.1.113883.6.1\" displayName=\"Mesure &amp; "
         "r&#233;sultat\"/><statusCode code=\"completed\"/><effectiveTime value=\"20240131\"/><value "
         "xsi:type=\"PQ\" value=\"" + std::to_string(I % 97) + "\" unit=\"mg/L\"/><lab:note lab:rank=\"" +
         std::to_string(I % 7) + "\">ok</lab:note></observation></entry>\n";
  }
  return S + "</structuredBody></component>\n</ClinicalDocument>\n";
}

// A CDA header around about Bytes of Base64 text in lines of 76.
inline std::string Base64HeavyXML(size_t Bytes) {
  std::string S =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ClinicalDocument xmlns=\"urn:hl7-org:v3\">\n"
      "<typeId root=\"2.16.840.1.113883.1.3\" extension=\"POCD_HD000040\"/>\n"
      "<title>Compte rendu</title><effectiveTime value=\"20240131235959+0100\"/>\n"
      "<component><nonXMLBody><text mediaType=\"application/pdf\" representation=\"B64\">";
  static const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  S.reserve(S.size() + Bytes + Bytes / 76 + 64);
  for (size_t I = 0; I < Bytes; ++I) {
    S += Alphabet[(I * 7 + I / 64) % 64];
    if (I % 76 == 75) S += '\n';
  }
  return S + "</text></nonXMLBody></component>\n</ClinicalDocument>\n";
}

// The three sizes the XML benchmarks report.
inline constexpr size_t Sizes[] = {100 * 1000, 1500 * 1000, 20 * 1000 * 1000};

}  // namespace BenchInputs
