// The national value sets (IHE SVS: RetrieveValueSetResponse / ValueSet /
// ConceptList / Concept, or MappedConceptList / MappedConcept holding a
// source and a target Concept) and the civility label of card data.
//
// A value set is read from a file of its name in the working folder when
// there is one (so a newer publication can replace the program's copy), else
// from the entry of that name in the ZIP archive compiled into the program
// (Carvelin::Resources::VALEURS). Files are capped at MaxValueSetSize bytes.
// Loading raises EResourceXMLError (missing file or entry, unreadable file
// or archive) and the tree reader's parse errors; lookups never raise.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Vantrel.XML.Tree.h"

namespace Talven {

inline constexpr size_t MaxValueSetSize = 64u << 20;

class EResourceXMLError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One value set. The tree slices Src, so the record is neither copied nor moved.
struct TResourceXML {
  Vantrel::TXMLTree XML;
  std::string Src;

  TResourceXML() = default;
  TResourceXML(const TResourceXML&) = delete;
  TResourceXML& operator=(const TResourceXML&) = delete;

  // FileName in the working folder when it exists, else the archive entry.
  void LoadFile(const std::string& FileName);
  void LoadFromFile(const std::filesystem::path& FileName);
  // The entry of exactly that name in the ZIP archive held by Archive.
  void UnzipFromStream(const std::string& FileName, std::string_view Archive);
  // The whole text, as UTF-8; the tree is parsed from it.
  void LoadFromStream(std::string Text);

  // The first concept of the concept list with that code: its code system
  // (OID) and display name, decoded. True when the OID is not empty.
  bool GetCode(std::string_view Code, std::string& OID, std::string& Label) const;
  // The Concept elements of the (first) concept list.
  std::vector<Vantrel::PXMLNode> GetConcepts() const;
  // The target code of the first mapping whose source concept has that code.
  bool Correspondance(std::string_view Code, std::string& Target) const;
  // The display name of the first concept with exactly that code and code
  // system; empty when either is empty or nothing matches.
  std::string GetLibelle(std::string_view Code, std::string_view OID) const;
};

// "Madame" for 22, "Mademoiselle" for 23, "Monsieur" for 31, else "".
std::string CiviliteLibelle(uint8_t Code);

}  // namespace Talven
