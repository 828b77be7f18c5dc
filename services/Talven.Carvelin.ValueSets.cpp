#include "Talven.Carvelin.ValueSets.h"

#include <zip.h>

#include <cstdio>
#include <memory>

#include "Carvelin.Resources.h"

namespace Talven {

using Vantrel::PXMLNode;
using Vantrel::TXMLNode;

namespace {

EResourceXMLError Missing(const std::string& FileName) {
  return EResourceXMLError("Fichier de valeurs introuvable : " + FileName);
}

EResourceXMLError TooLarge(const std::string& FileName) {
  return EResourceXMLError("Fichier de valeurs trop volumineux : " + FileName);
}

// Children of Parent named Name (local name), in order.
template <typename F>
bool ForEachNamed(PXMLNode Parent, std::string_view Name, F&& Visit) {
  if (!Parent) return false;
  for (const TXMLNode& C : Parent->Children())
    if (!C.IsText() && C.Name.Compare(Name) && Visit(&C)) return true;
  return false;
}

bool RawAttributeIs(PXMLNode Node, std::string_view Name, std::string_view Value) {
  const Vantrel::TXMLString* A = Node->GetAttribute(Name);
  return A && A->View() == Value;
}

std::string AttributeValue(PXMLNode Node, std::string_view Name) {
  const Vantrel::TXMLString* A = Node->GetAttribute(Name);
  if (!A) return {};
  try {
    return A->Value();
  } catch (const std::exception&) {  // a malformed character reference: keep the text as written
    return A->RawValue();
  }
}

// The first element named List under any ValueSet of the document, in order,
// for which Visit answers true.
template <typename F>
bool ForEachList(const Vantrel::TXMLTree& XML, std::string_view List, F&& Visit) {
  const TXMLNode& Root = XML.Root();
  if (Root.IsText() || !Root.Name.Compare("RetrieveValueSetResponse")) return false;
  return ForEachNamed(&Root, "ValueSet", [&](PXMLNode Set) {
    return ForEachNamed(Set, List, [&](PXMLNode L) { return Visit(L); });
  });
}

struct TZipCloser {
  void operator()(zip_t* Z) const { zip_discard(Z); }
};
struct TZipFileCloser {
  void operator()(zip_file_t* F) const { zip_fclose(F); }
};

}  // namespace

void TResourceXML::LoadFile(const std::string& FileName) {
  std::error_code Ec;
  if (std::filesystem::is_regular_file(FileName, Ec)) return LoadFromFile(FileName);
  UnzipFromStream(FileName, ::Carvelin::Resources::VALEURS());
}

void TResourceXML::LoadFromFile(const std::filesystem::path& FileName) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> F(std::fopen(FileName.c_str(), "rb"), std::fclose);
  if (!F) throw EResourceXMLError("Lecture impossible du fichier de valeurs : " + FileName.string());
  std::string Text;
  char Buffer[65536];
  for (size_t N; (N = std::fread(Buffer, 1, sizeof Buffer, F.get())) > 0;) {
    if (Text.size() + N > MaxValueSetSize) throw TooLarge(FileName.string());
    Text.append(Buffer, N);
  }
  if (std::ferror(F.get())) throw EResourceXMLError("Lecture impossible du fichier de valeurs : " + FileName.string());
  LoadFromStream(std::move(Text));
}

void TResourceXML::UnzipFromStream(const std::string& FileName, std::string_view Archive) {
  zip_error_t Error;
  zip_error_init(&Error);
  zip_source_t* Source = zip_source_buffer_create(Archive.data(), Archive.size(), 0, &Error);
  std::unique_ptr<zip_t, TZipCloser> Zip(Source ? zip_open_from_source(Source, ZIP_RDONLY, &Error) : nullptr);
  zip_error_fini(&Error);
  if (!Zip) {
    if (Source) zip_source_free(Source);
    throw EResourceXMLError("Archive des fichiers de valeurs illisible");
  }
  const zip_int64_t Index = zip_name_locate(Zip.get(), FileName.c_str(), 0);
  if (Index < 0) throw Missing(FileName);
  zip_stat_t Stat;
  if (zip_stat_index(Zip.get(), zip_uint64_t(Index), 0, &Stat) != 0 || !(Stat.valid & ZIP_STAT_SIZE))
    throw EResourceXMLError("Archive des fichiers de valeurs illisible");
  if (Stat.size > MaxValueSetSize) throw TooLarge(FileName);
  std::unique_ptr<zip_file_t, TZipFileCloser> File(zip_fopen_index(Zip.get(), zip_uint64_t(Index), 0));
  if (!File) throw EResourceXMLError("Archive des fichiers de valeurs illisible");
  std::string Text(size_t(Stat.size), '\0');
  size_t Done = 0;
  while (Done < Text.size()) {
    const zip_int64_t N = zip_fread(File.get(), Text.data() + Done, Text.size() - Done);
    if (N <= 0) throw EResourceXMLError("Archive des fichiers de valeurs illisible");
    Done += size_t(N);
  }
  LoadFromStream(std::move(Text));
}

void TResourceXML::LoadFromStream(std::string Text) {
  XML = Vantrel::TXMLTree();  // no slice of the old text may outlive it
  Src = std::move(Text);
  XML.BuildFrom(Src);
}

bool TResourceXML::GetCode(std::string_view Code, std::string& OID, std::string& Label) const {
  if (Code.empty()) return false;
  PXMLNode Found = nullptr;
  ForEachList(XML, "ConceptList", [&](PXMLNode List) {
    return ForEachNamed(List, "Concept", [&](PXMLNode C) {
      if (RawAttributeIs(C, "code", Code)) Found = C;
      return Found != nullptr;
    });
  });
  if (!Found) return false;
  OID = AttributeValue(Found, "codeSystem");
  Label = AttributeValue(Found, "displayName");
  return !OID.empty();
}

std::vector<PXMLNode> TResourceXML::GetConcepts() const {
  std::vector<PXMLNode> Concepts;
  ForEachList(XML, "ConceptList", [&](PXMLNode List) {
    ForEachNamed(List, "Concept", [&](PXMLNode C) {
      Concepts.push_back(C);
      return false;
    });
    return true;  // the first list only
  });
  return Concepts;
}

// Only the source (first) concept of a mapping is matched: a target that
// happens to carry the same code is not a mapping of it.
bool TResourceXML::Correspondance(std::string_view Code, std::string& Target) const {
  if (Code.empty()) return false;
  std::string Found;
  const bool Matched = ForEachList(XML, "MappedConceptList", [&](PXMLNode List) {
    return ForEachNamed(List, "MappedConcept", [&](PXMLNode Mapping) {
      PXMLNode Source = nullptr, To = nullptr;
      ForEachNamed(Mapping, "Concept", [&](PXMLNode C) {
        (Source ? To : Source) = C;
        return To != nullptr;
      });
      if (!Source || !RawAttributeIs(Source, "code", Code)) return false;
      Found = To ? AttributeValue(To, "code") : std::string();
      return true;
    });
  });
  if (!Matched || Found.empty()) return false;
  Target = Found;
  return true;
}

std::string TResourceXML::GetLibelle(std::string_view Code, std::string_view OID) const {
  if (Code.empty() || OID.empty()) return {};
  std::string Label;
  ForEachList(XML, "ConceptList", [&](PXMLNode List) {
    return ForEachNamed(List, "Concept", [&](PXMLNode C) {
      if (!RawAttributeIs(C, "code", Code) || AttributeValue(C, "codeSystem") != OID) return false;
      Label = AttributeValue(C, "displayName");
      return true;
    });
  });
  return Label;
}

std::string CiviliteLibelle(uint8_t Code) {
  switch (Code) {
    case 22: return "Madame";
    case 23: return "Mademoiselle";
    case 31: return "Monsieur";
    default: return {};
  }
}

}  // namespace Talven
