#include "Carvelin.REST.Decode.h"

#include <algorithm>

#include "Talven.Carvelin.Utils.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.Mime.Decoder.h"
#include "Vantrel.SysUtils.h"
#include "Vantrel.URL.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.Winapi.BCrypt.h"

namespace Carvelin {

namespace {

constexpr const char* InvalidText = "Requête invalide";

// UTF-8 made only of the characters XML 1.0 can carry (§2.2): what the
// service would refuse is refused here, with a clear answer.
bool IsXMLText(std::string_view S) {
  while (!S.empty()) {
    uint32_t C = 0;
    const size_t Length = Vantrel::ReadUTF8(S, C);
    if (Length == 0) return false;
    const bool Allowed = C == 0x9 || C == 0xA || C == 0xD || (C >= 0x20 && C <= 0xD7FF) ||
                         (C >= 0xE000 && C <= 0xFFFD) || C >= 0x10000;
    if (!Allowed) return false;
    S.remove_prefix(Length);
  }
  return true;
}

// The URL decoder reads bytes that are not UTF-8 as Windows-1252; a host
// program must send UTF-8, so such a query is refused instead of guessed.
// The decoded bytes may hold a PIN: wiped.
void DecodeQuery(std::string_view Query, void* Record, const Vantrel::TTypeInfo* Type) {
  std::string Bytes = Vantrel::URL::DecodeBytes(Query);
  const bool Valid = IsXMLText(Bytes);
  Vantrel::WipeBytes(Bytes);
  if (!Valid) throw ERESTRequest(InvalidText);
  Vantrel::URLDecodeParams(Query, Record, Type);
}

// Every text field as filled (a form's entities decoded), by the same rule.
void CheckTextFields(const void* Record, const Vantrel::TTypeInfo* Type) {
  for (const Vantrel::TRecordField& Field : Type->Fields) {
    if (Vantrel::ClassifyType(Field.TypeInfo()) != Vantrel::TTypeDetail::dtUTF8String) continue;
    if (!IsXMLText(*static_cast<const std::string*>(Field.Data(Record)))) throw ERESTRequest(InvalidText);
  }
}

}  // namespace

std::vector<std::string> SplitPath(std::string_view Path) {
  std::vector<std::string> Parts;
  for (size_t Start = 0;;) {
    const size_t Slash = Path.find('/', Start);
    Parts.emplace_back(Path.substr(Start, Slash - Start));
    if (Slash == std::string_view::npos) return Parts;
    Start = Slash + 1;
  }
}

bool ParseINS(std::string_view Segment, std::string& INS, char& INSType) {
  if (Segment.size() != 15 && Segment.size() != 16) return false;
  INS = Segment.substr(0, 15);
  INSType = Segment.size() == 16 ? Segment[15] : '?';
  return Vantrel::IsValidNIR(INS);
}

void DecodeParams(std::string_view Query, std::string_view ContentType, std::string_view Body, void* Record,
                  const Vantrel::TTypeInfo* Type) {
  DecodeQuery(Query, Record, Type);
  if (Vantrel::StartsText("application/x-www-form-urlencoded", ContentType)) {
    DecodeQuery(Body, Record, Type);
  } else if (Vantrel::StartsText("multipart/form-data", ContentType)) {
    Vantrel::TMimeDecoder Decoder;
    if (!Decoder.Decode(Body)) throw ERESTRequest(Decoder.Error.empty() ? "Formulaire illisible" : Decoder.Error);
    Decoder.GetFormDataType(Record, Type);
  }
  CheckTextFields(Record, Type);
}

namespace {

struct TFileKind {
  std::string_view Ext;
  Talven::TTypeMime Mime;
  int Signature;  // FileTypeFromSignature's code; 0 for plain text
};

constexpr TFileKind FileKinds[] = {
    {"pdf", Talven::TTypeMime::ApplicationPDF, 1}, {"rtf", Talven::TTypeMime::TextRTF, 2},
    {"jpg", Talven::TTypeMime::ImageJPEG, 5},      {"tif", Talven::TTypeMime::ImageTIFF, 4},
    {"txt", Talven::TTypeMime::TextPlain, 0},      {"xml", Talven::TTypeMime::CDAR2XML, 12}};

const TFileKind* FileKindOf(std::string_view Ext) {
  for (const TFileKind& Kind : FileKinds)
    if (Kind.Ext == Ext) return &Kind;
  return nullptr;
}

// The content is what its extension names: a file filed under a wrong type
// corrupts the national record. A text holds no NUL and no binary
// signature; an XML document may also start without its declaration.
bool ContentMatches(std::string_view Content, const TFileKind& Kind) {
  const int Signature = Vantrel::FileTypeFromSignature(Content);
  if (Kind.Signature == 12 && Signature != 12) {
    if (Content.starts_with("\xEF\xBB\xBF")) Content.remove_prefix(3);
    const size_t First = Content.find_first_not_of(" \t\r\n");
    return First != std::string_view::npos && Content[First] == '<';
  }
  if (Kind.Signature != 0) return Signature == Kind.Signature;
  constexpr int Binary[] = {1, 5, 6, 7, 10};  // PDF, JPEG, PNG, OLE, ZIP
  return Content.find('\0') == std::string_view::npos &&
         std::find(std::begin(Binary), std::end(Binary), Signature) == std::end(Binary);
}

}  // namespace

bool TypeMimeOfExtension(std::string_view Ext, Talven::TTypeMime& Mime) {
  const TFileKind* Kind = FileKindOf(Ext);
  if (Kind) Mime = Kind->Mime;
  return Kind;
}

std::string CheckPutDocument(const TPutDocument& Doc, std::string_view Ext) {
  if (Doc.Titre.empty()) return "Le titre est obligatoire";
  if (Doc.File.empty()) return "Fichier non renseigné";
  const TFileKind* Kind = FileKindOf(Ext);
  if (!Kind || !ContentMatches(Doc.File, *Kind)) return "Invalide format";
  if (Talven::TypeDocumentIndex(Doc.TypeDoc) < 0) return "Type de document invalide";
  bool KnownCadre = false;
  for (const Talven::TCadreExercice& C : Talven::CadresExercice) KnownCadre |= C.Code == Doc.Cadre;
  if (!KnownCadre) return "Cadre d'exercice invalide";
  if (Doc.Confidentialite < 0 || Doc.Confidentialite > 3) return "Confidentialité invalide";
  return {};
}

std::string DocumentDate(Vantrel::TDateTime Value) { return Vantrel::FormatDateTime("dd/mm/yyyy hh:nn:ss", Value); }

}  // namespace Carvelin
