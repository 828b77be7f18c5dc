// The document vocabulary of the service: the document types a professional
// may file (with the category groups the lists show them in), the care
// settings, the file types with their MIME types, short names and XDS format
// codes. Every lookup compares texts exactly (case-sensitive), except the
// extension lookup, which upper-cases the extension first. The tables are
// constants of static storage: views and references into them stay valid for
// the whole run.
//
// Also: the fixed version information of a library file.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "Talven.Carvelin.Types.h"
#include "Vantrel.XML.XDSb.h"

namespace Talven {

// ---------------------------------------------------------------------------
// Document tables

// A coded value: code, coding scheme (OID) and display name.
using Vantrel::TOIDValue;

// One document type. A caption made of a group name, a vertical bar and a
// label opens a new category group: the rows that follow belong to it until
// the next row that opens one.
struct TTypeDocument {
  std::string_view Code;  // LOINC code or a code of the service
  std::string_view Caption;
};

inline constexpr int TypeDocumentCount = 84;
// Rows 0 to 72 are medical documents; the certificates and administrative
// documents follow.
inline constexpr int TypeDocumentMedicalCount = 73;
extern const std::array<TTypeDocument, TypeDocumentCount> TypesDocument;

// The practice-setting codes of the filed documents.
struct TCadreExercice {
  std::string_view Code;
  std::string_view Label;
};

inline constexpr int CadreExerciceCount = 8;
extern const std::array<TCadreExercice, CadreExerciceCount> CadresExercice;

// One file type, indexed by TTypeMime.
struct TTypeMimeInfo {
  std::string_view MimeType;
  std::string_view ShortName;
  TOIDValue Format;  // XDS format code
};

const std::array<TTypeMimeInfo, EnumCount<TTypeMime>>& TypesMime();
const TTypeMimeInfo& TypeMimeInfo(TTypeMime Type);  // TextPlain's row for a value out of range

// Format codes of the structured documents.
const TOIDValue& FormatSyntheseMedicale();
const TOIDValue& FormatNoteVaccination();

// ".PDF" ApplicationPDF, ".JPG"/".JPEG" ImageJPEG, ".TIF"/".TIFF" ImageTIFF,
// ".RTF" TextRTF, ".XML" CDAR2XML, anything else TextPlain.
TTypeMime TypeMimeFromExtension(std::string_view FileName);
// The type whose MIME type equals the text; TextPlain when none does.
TTypeMime TypeMimeFromMimeType(std::string_view MimeType);
// The short name ("PDF", "XML"...) of TypeMimeFromMimeType.
std::string_view ExtensionFromMimeType(std::string_view MimeType);

// The row with that code, -1 when none.
int TypeDocumentIndex(std::string_view Code);
// The last row whose caption is the label, alone or after a group's bar; -1 when none.
int TypeDocumentIndexOfLabel(std::string_view Label);
// The code of TypeDocumentIndexOfLabel, else of the patient-side labels;
// "" when the label is unknown.
std::string_view TypeDocumentCode(std::string_view Label);
// The caption of the row with that code without its group; the code itself
// when no row has it.
std::string TypeDocumentLabel(std::string_view Code);
// The group a row belongs to ("" for an index outside the table).
std::string_view TypeDocumentGroup(int Index);
// True for the medical rows (0 to 72); false outside the table.
bool IsTypeDocumentMedical(int Index);

// The group part and the label part of a caption ("" and the caption when it
// holds no bar).
std::string_view CaptionGroup(std::string_view Caption);
std::string_view CaptionLabel(std::string_view Caption);

// The care setting with that code or label; 0 ("AMBULATOIRE") when none matches.
int CadreExerciceIndex(std::string_view Code);
int CadreExerciceIndexOfLabel(std::string_view Label);

// The patient as the record dialogs name him: the civility's short form,
// the usage name (the birth name when there is none) and the first name,
// one blank apart, empty parts left out.
std::string NomPatient(const TIdentite& Id);

// 1 for "M", 2 for "Mme", 3 for "Mlle", else 0.
int CiviliteCode(std::string_view Civilite);
// The short form of a civility code: "M", "Mme", "Mlle", else "".
std::string_view CiviliteCourte(int Civilite);
// The word of a civility code in a letter: "Monsieur", "Madame", "Mademoiselle", else "".
std::string_view CiviliteLongue(int Civilite);

// A file's version as two 32-bit halves: major << 16 | minor, then
// release << 16 | build. A library's version lies in its file name
// (Vantrel::LibraryFileVersion), which gives both file and product version.
struct TFixedFileInfo {
  uint32_t FileVersionMS = 0;
  uint32_t FileVersionLS = 0;
  uint32_t ProductVersionMS = 0;
  uint32_t ProductVersionLS = 0;
};
// False (Info zeroed) when the file is missing or its name carries no version.
bool FileVersionFixedInfo(const std::string& FileName, TFixedFileInfo& Info);

}  // namespace Talven
