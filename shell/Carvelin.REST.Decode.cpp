#include "Carvelin.REST.Decode.h"

#include <algorithm>

#include "Talven.Carvelin.Utils.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.Mime.Decoder.h"
#include "Vantrel.SysUtils.h"
#include "Vantrel.URL.h"
#include "Vantrel.UTF8.Utils.h"

namespace Carvelin {

namespace {

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

// The bytes a query string stands for ('+' a space, "%XX" its byte); a
// malformed escape is kept as written, the decoder reports it.
std::string PercentBytes(std::string_view S) {
  std::string Out;
  Out.reserve(S.size());
  for (size_t I = 0; I < S.size(); ++I) {
    const char C = S[I];
    if (C == '+') {
      Out += ' ';
    } else if (C == '%' && I + 2 < S.size() && HexValue(S[I + 1]) >= 0 && HexValue(S[I + 2]) >= 0) {
      Out += char(HexValue(S[I + 1]) * 16 + HexValue(S[I + 2]));
      I += 2;
    } else {
      Out += C;
    }
  }
  return Out;
}

// The URL decoder reads bytes that are not UTF-8 as Windows-1252; a host
// program must send UTF-8, so such a query is refused instead of guessed.
void DecodeQuery(std::string_view Query, void* Record, const Vantrel::TTypeInfo* Type) {
  const std::string Bytes = PercentBytes(Query);
  const bool ASCII = std::all_of(Bytes.begin(), Bytes.end(), [](char C) { return uint8_t(C) < 0x80; });
  if (!ASCII && !Vantrel::IsValidUTF8(Bytes)) throw ERESTRequest("Paramètres non codés en UTF-8");
  Vantrel::URLDecodeParams(Query, Record, Type);
}

bool StartsWithNoCase(std::string_view S, std::string_view Prefix) {
  return S.size() >= Prefix.size() && Vantrel::SameText(S.substr(0, Prefix.size()), Prefix);
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
  if (StartsWithNoCase(ContentType, "application/x-www-form-urlencoded")) {
    DecodeQuery(Body, Record, Type);
  } else if (StartsWithNoCase(ContentType, "multipart/form-data")) {
    Vantrel::TMimeDecoder Decoder;
    if (!Decoder.Decode(Body)) throw ERESTRequest(Decoder.Error.empty() ? "Formulaire illisible" : Decoder.Error);
    Decoder.GetFormDataType(Record, Type);
  }
}

bool TypeMimeOfExtension(std::string_view Ext, Talven::TTypeMime& Mime) {
  using enum Talven::TTypeMime;
  static constexpr std::pair<std::string_view, Talven::TTypeMime> Types[] = {
      {"pdf", ApplicationPDF}, {"rtf", TextRTF}, {"jpg", ImageJPEG},
      {"tif", ImageTIFF},      {"txt", TextPlain}, {"xml", CDAR2XML}};
  for (const auto& [Name, Type] : Types)
    if (Name == Ext) {
      Mime = Type;
      return true;
    }
  return false;
}

std::string CheckPutDocument(const TPutDocument& Doc, std::string_view Ext) {
  Talven::TTypeMime Mime;
  if (Doc.Titre.empty()) return "Le titre est obligatoire";
  if (Doc.File.empty()) return "Fichier non renseigné";
  if (!TypeMimeOfExtension(Ext, Mime)) return "Invalide format";
  if (Talven::TypeDocumentIndex(Doc.TypeDoc) < 0) return "Type de document invalide";
  bool KnownCadre = false;
  for (const Talven::TCadreExercice& C : Talven::CadresExercice) KnownCadre |= C.Code == Doc.Cadre;
  if (!KnownCadre) return "Cadre d'exercice invalide";
  if (Doc.Confidentialite < 0 || Doc.Confidentialite > 3) return "Confidentialité invalide";
  return {};
}

std::string DocumentDate(Vantrel::TDateTime Value) { return Vantrel::FormatDateTime("dd/mm/yyyy hh:nn:ss", Value); }

}  // namespace Carvelin
