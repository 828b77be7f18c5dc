// Renders one CDA R2 document (HL7 Clinical Document Architecture, Release 2)
// into what the document window shows: an HTML page describing the document's
// header, and the document's body as a separate byte string (an HTML rendition
// of a structured body with a table of contents, or the decoded content of a
// non-XML body), plus the images embedded in a structured body, by name.
//
// The pages are shown by a rich-text viewer, and documents come from other
// professionals' software: nothing the document holds may act as markup or
// script. Every value copied from the document is escaped where it is written
// (decoded values: & < > "; raw values, whose references are kept: < > ");
// the narrative passes through an allow-list of CDA narrative elements and
// attributes, a non-XML body in HTML is written again through a like
// allow-list of plain HTML (no script, style, frame, image or event
// attribute comes out), every link kept is a fragment ("#..."), an image
// source is a bare identifier naming a medium, and MIME types lose their
// control characters. Output is UTF-8.
//
// The renderer does no input or output and holds no global state; the time
// written into the pages comes from the clock it is given.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Vantrel.DateTime.h"

namespace Talven {

// Bytes of a rendered document: given as they are (a page), or Base64 text
// of the document decoded on first request and kept, so that a medium costs
// nothing until it is shown. Copies share the decoded bytes; reading is safe
// from several threads.
class TContent {
 public:
  TContent() = default;
  explicit TContent(std::string Bytes) : FBytes(std::move(Bytes)), FSize(FBytes.size()) {}
  // Size bytes (Vantrel::Base64DecodedSize of Text) to decode from Text, which
  // Owner keeps alive until then.
  TContent(std::shared_ptr<const std::string> Owner, std::string_view Text, size_t Size);

  // The bytes, decoded on the first call; the view lives as long as the
  // content or a copy of it.
  std::string_view Bytes() const;
  size_t size() const { return FSize; }
  bool empty() const { return FSize == 0; }

 private:
  struct TPending;
  std::string FBytes;
  std::shared_ptr<TPending> FPending;  // set for Base64 text
  size_t FSize = 0;
};

// One medium of a structured body.
struct TMedia {
  std::string FName;      // the ID attribute of its observationMedia
  std::string FMimeType;  // the mediaType attribute of its value
  TContent Data;          // the bytes, decoded when first read
};

// The media of a structured body, in document order.
class TMediaList {
 public:
  // The first medium whose name equals Name exactly, nullptr when none. The
  // pointer stays valid until the list changes.
  const TMedia* GetMedia(std::string_view Name) const;
  const std::vector<TMedia>& Items() const { return FItems; }
  void Add(TMedia Media) { FItems.push_back(std::move(Media)); }
  void Clear() { FItems.clear(); }

 private:
  std::vector<TMedia> FItems;
};

using TClinicalDocumentClock = std::function<Vantrel::TDateTime()>;

class TClinicalDocument {
 public:
  // Clock gives the local time written into the pages.
  explicit TClinicalDocument(TClinicalDocumentClock Clock = Vantrel::Now);

  // Renders the document's XML text (UTF-8). Raises the XML reader's
  // exceptions (Vantrel::EXMLError and its kin) for a malformed document and
  // std::runtime_error for a malformed character reference in a value that is
  // shown. Rendering again replaces the previous results. The Base64 texts of
  // the media and of a non-XML body are copied out and decoded when read
  // (a body is decoded at once when its type needs its bytes: text, HTML).
  void Parse(std::string_view XML);
  // The same, sharing the text instead of copying from it: a medium or a
  // body is decoded from XML itself when read.
  void Parse(std::shared_ptr<const std::string> XML);

  int32_t Version = 0;      // versionNumber, 1 when absent or not a positive integer
  std::string HtmlStream;   // the header page
  std::string mimeType;     // "text/html" for a structured body, else the non-XML body's type
  bool TextIsUTF8 = false;  // a plain-text body holds UTF-8 with multi-byte sequences
  TContent NonXMLBody;      // the body page, or the non-XML body (an HTML one made a page)
  TMediaList MediaList;

 private:
  void Render(std::string_view XML, const std::shared_ptr<const std::string>& Shared);

  TClinicalDocumentClock FClock;
};

// Code tables: "/code:label/code:label/.../".
inline constexpr std::string_view CodeTableTelecomUse =
    "/tel:Tel/fax:Fax/mailto:Adresse e-mail/H:Domicile/HV:Domicile secondaire/HP:Domicile principal/"
    "WP:Travail/PUB:Bureau standard/";
inline constexpr std::string_view CodeTableSex = "/M:Masculin/F:Féminin/";
inline constexpr std::string_view CodeTableInformantRole =
    "/ECON:Personne à contacter en cas d'urgence/GUAR:Rôle de tuteur légal/QUAL:Personne de confiance/"
    "POLHOL:Assuré ouvrant droit/CON:informateur/";
inline constexpr std::string_view CodeTableRelationship =
    "/FAMMEMB:Membre de la famille/CHILD:Enfant/DAU:Fille/SON:Fils/GRNDDAU:Petite-fille/GRNDSON:Petit-fils/"
    "FTH:Père/MTH:Mère/NFTH:Père naturel/NMTH:Mère naturelle/GRFTH:Grand-père/GRMTH:Grand-Mère/BRO:Frère/"
    "SIS:Soeur/HUSB:Mari/WIFE:Epouse/DOMPART:Partenaire PACS/ROOM:Personne vivant sous le même toit/"
    "FRND:Ami/NBOR:Voisin/TUTEUR:Relation de tuteur légal/SIGOTHR:Autre relation/";
inline constexpr std::string_view CodeTableParticipantClass =
    "/AFFL:affiliate/AGNT:agent/ASSIGNED:assigned entity/COMPAR:commission party/CON:contact/"
    "ECON:contact d'urgence/NOK:proche/SGNOFF:signing authority/GUARD:tuteur/GUAR:tuteur/CIT:citoyen/"
    "COVPTY:covered party/CAREGIVER:intervenant à domicile/PROV:PS/";

// The label of Code in Table; else Default when it is non-empty, else
// "{$code=" + Code + "}". Plain text, not escaped.
std::string CodeLabel(std::string_view Code, std::string_view Table, std::string_view Default);

// True for the HTML media types (text/html, RFC 2854; application/xhtml+xml,
// RFC 3236), without regard to case or parameters: a non-XML body of such a
// type is made a page like a structured body.
bool IsHtmlMediaType(std::string_view MimeType);

// An HL7 time (yyyymmdd[hh[mm[ss]]][+zzzz]) as French text: "5 Mars 2024",
// "5 Mars 2024, 14:30:00 +0100"; empty below 8 characters. Copies characters
// of the input: plain text, not escaped.
std::string FormatHL7DateFR(std::string_view Text);

}  // namespace Talven
