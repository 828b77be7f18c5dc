#include "Talven.Carvelin.ClinicalDocuments.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <span>
#include <utility>

#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.XML.Tree.h"

namespace Talven {

using Vantrel::AttributeOf;
using Vantrel::AttributeValueOf;
using Vantrel::ChildAt;
using Vantrel::ChildOf;
using Vantrel::ChildrenOf;
using Vantrel::PXMLNode;
using Vantrel::RawAttributeOf;
using Vantrel::RawTextOf;
using Vantrel::TextOf;
using Vantrel::TXMLNode;
using Vantrel::TXMLString;

struct TContent::TPending {
  std::shared_ptr<const std::string> Owner;
  std::string_view Text;
  std::once_flag Decoded;
  std::unique_ptr<char[]> Bytes;
};

TContent::TContent(std::shared_ptr<const std::string> Owner, std::string_view Text, size_t Size)
    : FPending(std::make_shared<TPending>()), FSize(Size) {
  FPending->Owner = std::move(Owner);
  FPending->Text = Text;
}

std::string_view TContent::Bytes() const {
  if (!FPending) return FBytes;
  TPending& P = *FPending;
  std::call_once(P.Decoded, [&] {
    // One pass into a buffer that nothing fills beforehand.
    auto Bytes = std::make_unique_for_overwrite<char[]>(FSize);
    Vantrel::Base64DecodeBuffer(P.Text, Bytes.get(), FSize);
    P.Bytes = std::move(Bytes);
    P.Owner.reset();
    P.Text = {};
  });
  return {P.Bytes.get(), FSize};
}

const TMedia* TMediaList::GetMedia(std::string_view Name) const {
  for (const TMedia& M : FItems)
    if (M.FName == Name) return &M;
  return nullptr;
}

std::string CodeLabel(std::string_view Code, std::string_view Table, std::string_view Default) {
  const std::string Key = "/" + std::string(Code) + ":";
  const size_t P = Table.find(Key);
  if (P != std::string_view::npos) {
    const size_t From = P + Key.size();
    const size_t To = Table.find('/', From);
    return std::string(Table.substr(From, To == std::string_view::npos ? std::string_view::npos : To - From));
  }
  if (!Default.empty()) return std::string(Default);
  return "{$code=" + std::string(Code) + "}";
}

std::string FormatHL7DateFR(std::string_view Text) {
  static constexpr std::array<std::string_view, 9> FirstMonths = {
      "Janvier", "Février", "Mars", "Avril", "Mai", "Juin", "Juillet", " Août", "Septembre"};
  static constexpr std::array<std::string_view, 3> LastMonths = {"Octobre", "Novembre", "Décembre"};
  const size_t Len = Text.size();
  if (Len < 8) return {};
  std::string R(Text[6] == '0' ? Text.substr(7, 1) : Text.substr(6, 2));
  if (Text[4] == '0' && Text[5] >= '1' && Text[5] <= '9')
    R.append(" ").append(FirstMonths[size_t(Text[5] - '1')]);
  else if (Text[4] == '1' && Text[5] >= '0' && Text[5] <= '2')
    R.append(" ").append(LastMonths[size_t(Text[5] - '0')]);
  R.append(" ").append(Text.substr(0, 4));
  if (Len >= 12) {
    R.append(", ").append(Text.substr(8, 2)).append(":").append(Text.substr(10, 2));
    const size_t Plus = Text.find('+');
    const size_t P = Plus == std::string_view::npos ? 0 : Plus + 1;  // 1-based, 0 when none
    if ((Len >= 14 && P == 0) || P > 14) R.append(":").append(Text.substr(12, 2));
    if (P > 0 && Len >= P + 4) R.append(" +").append(Text.substr(P, 4));
  }
  return R;
}

namespace {

// ---------------------------------------------------------------------------
// HTML output

enum class TEscape : uint8_t { None, Amp, Lt, Gt, Quot };

constexpr std::array<TEscape, 256> EscapeTable = [] {
  std::array<TEscape, 256> T{};
  T[size_t('&')] = TEscape::Amp;
  T[size_t('<')] = TEscape::Lt;
  T[size_t('>')] = TEscape::Gt;
  T[size_t('"')] = TEscape::Quot;
  return T;
}();
static_assert(EscapeTable[size_t('&')] == TEscape::Amp && EscapeTable[size_t('a')] == TEscape::None);

// Appends S with '<', '>', '"' escaped, and '&' too unless KeepReferences
// (a raw value, whose references stay as written).
void AppendEscaped(std::string& Out, std::string_view S, bool KeepReferences) {
  size_t Done = 0;
  for (size_t I = 0; I < S.size(); ++I) {
    const TEscape E = EscapeTable[static_cast<unsigned char>(S[I])];
    if (E == TEscape::None || (E == TEscape::Amp && KeepReferences)) continue;
    Out.append(S.substr(Done, I - Done));
    Out.append(E == TEscape::Amp ? "&amp;" : E == TEscape::Lt ? "&lt;" : E == TEscape::Gt ? "&gt;" : "&quot;");
    Done = I + 1;
  }
  Out.append(S.substr(Done));
}

// A value leaves nothing below 0x20 nor DEL: MIME types reach HTTP headers.
std::string StripControls(std::string_view S) {
  std::string R;
  for (char C : S)
    if (static_cast<unsigned char>(C) >= 0x20 && C != 0x7F) R += C;
  return R;
}

class THtml {
 public:
  explicit THtml(std::string& AOut) : Out(AOut) {}
  THtml& Markup(std::string_view S) { Out.append(S); return *this; }
  THtml& Text(std::string_view Decoded) { AppendEscaped(Out, Decoded, false); return *this; }
  THtml& Raw(std::string_view RawValue) { AppendEscaped(Out, RawValue, true); return *this; }
  THtml& Line(std::string_view S) { Out.append(S).push_back('\n'); return *this; }
  THtml& EndLine() { Out.push_back('\n'); return *this; }
  size_t Size() const { return Out.size(); }

  std::string& Out;
};

// ---------------------------------------------------------------------------
// Narrative: the CDA narrative block elements and their attributes that may
// be copied, with their HTML names.

struct TNameMap {
  std::string_view From, To;
};

constexpr TNameMap NarrativeElements[] = {
    {"content", "span"},   {"renderMultiMedia", "img"}, {"item", "li"},         {"list", "ul"},  // or ol
    {"linkHtml", "linkHtml"}, {"sub", "sub"},           {"sup", "sup"},         {"br", "br"},
    {"footnote", "footnote"}, {"footnoteRef", "footnoteRef"}, {"paragraph", "paragraph"},
    {"table", "table"},    {"caption", "caption"},      {"thead", "thead"},     {"tbody", "tbody"},
    {"tfoot", "tfoot"},    {"colgroup", "colgroup"},    {"col", "col"},         {"tr", "tr"},
    {"th", "th"},          {"td", "td"},
};

// Attributes of the narrative elements; href and src are checked apart.
constexpr TNameMap NarrativeAttributes[] = {
    {"styleCode", "class"}, {"referencedObject", "src"}, {"href", "href"},     {"ID", "ID"},
    {"IDREF", "IDREF"},     {"language", "language"},    {"revised", "revised"}, {"name", "name"},
    {"rel", "rel"},         {"rev", "rev"},              {"title", "title"},   {"listType", "listType"},
    {"summary", "summary"}, {"width", "width"},          {"border", "border"}, {"frame", "frame"},
    {"rules", "rules"},     {"cellspacing", "cellspacing"}, {"cellpadding", "cellpadding"},
    {"align", "align"},     {"char", "char"},            {"charoff", "charoff"}, {"valign", "valign"},
    {"span", "span"},       {"abbr", "abbr"},            {"axis", "axis"},     {"headers", "headers"},
    {"scope", "scope"},     {"rowspan", "rowspan"},      {"colspan", "colspan"},
};

std::string_view Lookup(std::span<const TNameMap> Map, std::string_view Name) {
  for (const TNameMap& M : Map)
    if (Name == M.From) return M.To;
  return {};
}

// The HTML name of a narrative element, empty when it is not copied.
std::string_view HtmlElementName(const TXMLNode& E) {
  std::string_view Name = Lookup(NarrativeElements, E.Name.View());
  if (E.Name.Compare("list")) {
    const TXMLString* Type = E.GetAttribute("listType");
    Name = Type && Type->Compare("ordered") ? "ol" : "ul";
  }
  return Name;
}

// A medium is named by an XML ID: anything that could be read as a URL
// (a scheme, a path, a query) is no medium name.
bool IsMediumName(std::string_view V) {
  if (V.empty()) return false;
  for (char C : V) {
    const auto U = static_cast<unsigned char>(C);
    const bool Ok = U >= 0x80 || (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') ||
                    C == '-' || C == '_' || C == '.';
    if (!Ok) return false;
  }
  return true;
}

// An allowed attribute, given its HTML name and raw value: a link only to a
// fragment, an image only from a medium.
void WriteAttribute(THtml& H, std::string_view To, std::string_view V) {
  if (To == "href" && (V.empty() || V[0] != '#')) return;
  if (To == "src" && !IsMediumName(V)) return;
  H.Markup(" ").Markup(To).Markup("=\"").Raw(V).Markup("\"");
}

void WriteStartTag(THtml& H, const TXMLNode& E, std::string_view Name) {
  H.Markup("<").Markup(Name);
  for (const Vantrel::TXMLAttribute& A : E.Attrs()) {
    if (A.Prefix.Len != 0) continue;
    const std::string_view To = Lookup(NarrativeAttributes, A.Name.View());
    if (!To.empty()) WriteAttribute(H, To, A.Value.View());
  }
  H.Markup(">");
}

// The child nodes of a section's text element, depth first with an explicit
// stack (the depth is the reader's, up to XMLMaxDepth). Elements outside the
// allow-list lose their tags but keep their content, as escaped text.
void WriteNarrative(THtml& H, PXMLNode Text) {
  if (!Text) return;
  struct TStep {
    PXMLNode Node;
    size_t Next;
    std::string_view Close;
  };
  std::vector<TStep> Stack{{Text, 0, {}}};
  while (!Stack.empty()) {
    TStep& Top = Stack.back();
    const auto Nodes = Top.Node->Children();
    if (Top.Next == Nodes.size()) {
      if (!Top.Close.empty()) H.Markup("</").Markup(Top.Close).Markup(">");
      Stack.pop_back();
      continue;
    }
    const TXMLNode& C = Nodes[Top.Next++];
    if (C.IsText()) {
      if (C.IsCDATA())
        H.Text(C.Text.View());  // a CDATA section holds no references: every '&' is a character
      else
        H.Raw(C.Text.View());
      continue;
    }
    const std::string_view Name = HtmlElementName(C);
    if (!Name.empty()) WriteStartTag(H, C, Name);
    Stack.push_back({&C, 0, Name});
  }
}

// ---------------------------------------------------------------------------
// A non-XML body in HTML is written again, never passed on as it came: only
// the elements below come out, as tags written here, with the narrative's
// attributes that are plain HTML (their names in lower case); text is copied
// as a raw value; comments, declarations and the content of the elements
// that hold script, style, frames or a title are dropped. The tokenizer
// follows the HTML syntax loosely: whatever it makes of odd markup, what it
// writes holds no other tag and no other attribute.

constexpr std::string_view HtmlBodyElements[] = {
    "p",  "div", "span",  "br",    "hr",    "b",     "i",        "u",     "em",       "strong", "small",
    "sub", "sup", "code", "pre",   "blockquote", "h1", "h2",      "h3",    "h4",       "h5",     "h6",
    "ul", "ol",  "li",    "dl",    "dt",    "dd",    "table",    "caption", "thead",  "tbody",  "tfoot",
    "colgroup", "col", "tr", "th", "td",    "a",
};

// Elements whose content is no text to show (HTML raw-text and escapable
// raw-text elements, and the frames and fallbacks of active content).
constexpr std::string_view HtmlDroppedContent[] = {
    "script", "style", "title", "textarea", "xmp", "iframe", "noembed", "noframes", "noscript", "plaintext",
};

bool IsHtmlSpace(char C) { return C == ' ' || C == '\t' || C == '\n' || C == '\r' || C == '\f'; }
bool IsAsciiLetter(char C) { return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z'); }
bool IsAsciiLetterOrDigit(char C) { return IsAsciiLetter(C) || (C >= '0' && C <= '9'); }

std::string AsciiLower(std::string_view S) {
  std::string R(S);
  for (char& C : R)
    if (C >= 'A' && C <= 'Z') C = char(C - 'A' + 'a');
  return R;
}

// The index after the first occurrence of What (lower case) at or after
// From, ASCII letters of S without case; the end of S when there is none.
size_t SkipPast(std::string_view S, std::string_view What, size_t From) {
  const auto SameLetter = [](char A, char B) { return (A >= 'A' && A <= 'Z' ? char(A - 'A' + 'a') : A) == B; };
  const auto At = std::search(S.begin() + std::ptrdiff_t(std::min(From, S.size())), S.end(), What.begin(),
                              What.end(), SameLetter);
  return At == S.end() ? S.size() : size_t(At - S.begin()) + What.size();
}

struct THtmlAttribute {
  std::string Name;  // lower case
  std::string_view Value;
};

// The attributes of a tag from S[I] on, up to its '>': the index after the
// '>', or npos when the text ends first (HTML drops such a tag).
size_t ReadHtmlAttributes(std::string_view S, size_t I, std::vector<THtmlAttribute>& Attrs) {
  const size_t N = S.size();
  for (;;) {
    while (I < N && (IsHtmlSpace(S[I]) || S[I] == '/')) ++I;
    if (I >= N) return std::string_view::npos;
    if (S[I] == '>') return I + 1;
    const size_t NameAt = I++;
    while (I < N && !IsHtmlSpace(S[I]) && S[I] != '/' && S[I] != '>' && S[I] != '=') ++I;
    THtmlAttribute& A = Attrs.emplace_back();
    A.Name = AsciiLower(S.substr(NameAt, I - NameAt));
    while (I < N && IsHtmlSpace(S[I])) ++I;
    if (I >= N || S[I] != '=') continue;
    ++I;
    while (I < N && IsHtmlSpace(S[I])) ++I;
    if (I < N && (S[I] == '"' || S[I] == '\'')) {
      const size_t Close = S.find(S[I], I + 1);
      if (Close == std::string_view::npos) return std::string_view::npos;
      A.Value = S.substr(I + 1, Close - I - 1);
      I = Close + 1;
    } else {
      const size_t ValueAt = I;
      while (I < N && !IsHtmlSpace(S[I]) && S[I] != '>') ++I;
      A.Value = S.substr(ValueAt, I - ValueAt);
    }
  }
}

void WriteSanitisedHtml(THtml& H, std::string_view S) {
  const auto Listed = [](std::span<const std::string_view> List, std::string_view Name) {
    return std::find(List.begin(), List.end(), Name) != List.end();
  };
  std::vector<THtmlAttribute> Attrs;
  size_t I = 0;
  while (I < S.size()) {
    const size_t Lt = std::min(S.find('<', I), S.size());
    H.Raw(S.substr(I, Lt - I));
    if (Lt == S.size()) break;
    I = Lt + 1;
    const bool End = I < S.size() && S[I] == '/';
    const size_t NameAt = I + (End ? 1 : 0);
    size_t NameEnd = NameAt;
    if (NameAt < S.size() && IsAsciiLetter(S[NameAt]))
      while (NameEnd < S.size() && IsAsciiLetterOrDigit(S[NameEnd])) ++NameEnd;
    if (NameEnd == NameAt) {
      if (S.substr(I).starts_with("!--"))
        I = SkipPast(S, "-->", I + 3);  // a comment
      else if (End || (I < S.size() && (S[I] == '!' || S[I] == '?')))
        I = SkipPast(S, ">", I);  // a declaration, a processing instruction or a bogus comment
      else
        H.Markup("&lt;");  // a '<' that starts no tag
      continue;
    }
    const std::string Name = AsciiLower(S.substr(NameAt, NameEnd - NameAt));
    Attrs.clear();
    I = ReadHtmlAttributes(S, NameEnd, Attrs);
    if (I == std::string_view::npos) break;
    if (!End && Listed(HtmlDroppedContent, Name)) {
      I = Name == "plaintext" ? S.size() : SkipPast(S, ">", SkipPast(S, "</" + Name, I));
      continue;
    }
    if (!Listed(HtmlBodyElements, Name)) continue;
    H.Markup(End ? "</" : "<").Markup(Name);
    if (!End)
      for (const THtmlAttribute& A : Attrs) {
        // Names are in lower case: the narrative's own (styleCode,
        // referencedObject, ID) never match, its plain HTML ones do.
        const std::string_view To = Lookup(NarrativeAttributes, A.Name);
        if (!To.empty()) WriteAttribute(H, To, A.Value);
      }
    H.Markup(">");
  }
}

// ---------------------------------------------------------------------------
// Header page pieces

constexpr std::string_view HeaderRules[] = {
    " body {color: #003366; background-color: #ffffff; font-family: Verdana, Tahoma, sans-serif; font-size: 11px}",
    " h1 {font-size: 12pt; text-align: center}",
    " h2 {font-size: 11pt}",
    " h3 {font-size: 10pt}",
    " h4 {font-size: 8pt}",
    " hr {height:4px; background-color: teal; border:none}",
    " table {line-height: 10pt; width: 100%}",
    " tr {background-color: #ccccff}",
    " th, td {font-size: 11px; padding: 0.1cm 0.2cm; vertical-align: top}",
    " table.header {border: 1pt inset #00008b}",
    " table.header th {width:20%; text-align: left; color: white; font-weight: bold; background-color: #3399ff}",
    " table.header th.h2 {width: 15%}",
};

constexpr std::string_view BodyRules[] = {
    " table tr {background-color:#ffffcc}", " table th {background-color:#ffd700}", " .Bold {font-weight: bold}",
    " .Italics {font-style: italic}",        " .Underline {text-decoration: underline}",
};

class TRenderer {
 public:
  TRenderer(TClinicalDocument& ADoc, PXMLNode ARoot, std::shared_ptr<const std::string> AShared, std::string ATitle,
            std::string AGenerated)
      : Doc(ADoc), Root(ARoot), Shared(std::move(AShared)), Title(std::move(ATitle)), Generated(std::move(AGenerated)) {}

  void Header();
  void Body();

 private:
  void Head(THtml& H, bool BodyPage);
  void TableStart(THtml& H) { H.Markup("<br><table class=\"header\">"); }
  void TableEnd(THtml& H) { H.Line("</table>"); }
  void RowStart(THtml& H, std::string_view Caption) { H.Markup("<tr><th>").Markup(Caption).Markup("</th><td>"); }
  void RowEnd(THtml& H) { H.Markup("</td></tr>"); }
  void Strong(THtml& H, std::string_view Decoded) { H.Markup("<strong>").Text(Decoded).Markup("</strong>"); }
  void Date(THtml& H, std::string_view HL7) { H.Text(FormatHL7DateFR(HL7)); }

  void Identifier(THtml& H, PXMLNode II);
  void Coordinates(THtml& H, PXMLNode E, bool Break);
  void Address(THtml& H, PXMLNode Addr);
  void Telecom(THtml& H, PXMLNode Telecom);
  void PersonName(THtml& H, PXMLNode Name, bool Qualifiers);
  bool FamilyLabel(THtml& H, PXMLNode Family);
  void Code(THtml& H, PXMLNode C);
  void AssignedEntity(THtml& H, PXMLNode AE, std::string_view Separator);
  void OrganisationName(THtml& H, PXMLNode Owner);

  void Patient(THtml& H);
  void Identification(THtml& H);
  void Acts(THtml& H);
  void Author(THtml& H);
  void Encounter(THtml& H);
  void Participants(THtml& H);
  void Authenticators(THtml& H);
  void LegalAuthenticator(THtml& H);
  void Informants(THtml& H);
  void Custodian(THtml& H);
  void Prescriptions(THtml& H);

  void NonXML(THtml& H, PXMLNode Text);
  void Structured(THtml& H, PXMLNode Body);
  void Media(PXMLNode Body);
  void SubSections(THtml& H, PXMLNode Section);
  TContent Base64Content(std::string_view Text, size_t Size) const;

  TClinicalDocument& Doc;
  PXMLNode Root;
  std::shared_ptr<const std::string> Shared;  // the document text when shared; nullptr: copy what is kept
  std::string Title;
  std::string Generated;
};

void TRenderer::Head(THtml& H, bool BodyPage) {
  H.Line("<!DOCTYPE HTML SYSTEM>");
  H.Markup("<!-- Generated by Carvelin ").Markup(Generated).Line(" -->");
  H.Line("<head>").Line("<meta charset=\"utf-8\">");
  H.Markup("<title>").Text(Title).Line("</title>");
  H.Line("<style type=\"text/css\">");
  for (std::string_view R : HeaderRules) H.Line(R);
  if (BodyPage)
    for (std::string_view R : BodyRules) H.Line(R);
  H.Line("</style>").Line("</head>").Line("<body>");
  H.Markup("<h1>").Text(Title).Line("</h1>");
}

void TRenderer::Identifier(THtml& H, PXMLNode II) {
  if (const TXMLString* Ext = AttributeOf(II, "extension")) Strong(H, Ext->Value());
  if (const TXMLString* R = AttributeOf(II, "root")) H.Markup(" [").Raw(R->View()).Markup("]");
}

void TRenderer::Coordinates(THtml& H, PXMLNode E, bool Break) {
  PXMLNode Addr = ChildOf(E, "addr");
  PXMLNode Tel = ChildOf(E, "telecom");
  if (!Addr && !Tel) return;
  RowStart(H, "Coordonnées");
  Address(H, Addr);
  Telecom(H, Tel);
  if (Break) H.Markup("<br>");
  RowEnd(H);
}

void TRenderer::Address(THtml& H, PXMLNode Addr) {
  const size_t Before = H.Size();
  if (const TXMLString* Use = AttributeOf(Addr, "use"))
    H.Text(CodeLabel(Use->Value(), CodeTableTelecomUse, "")).Markup(":<br>");
  for (PXMLNode Line : ChildrenOf(Addr, "streetAddressLine")) H.Text(Line->Value()).Markup("<br>");
  if (ChildOf(Addr, "streetName")) {
    H.Text(TextOf(ChildOf(Addr, "houseNumber"))).Markup(" ");
    H.Text(TextOf(ChildOf(Addr, "streetNameType"))).Markup(" ");
    H.Text(TextOf(ChildOf(Addr, "streetName"))).Markup("<br>");
  }
  if (PXMLNode Postal = ChildOf(Addr, "postalCode")) H.Text(Postal->Value());
  if (PXMLNode City = ChildOf(Addr, "city")) H.Markup(" ").Text(City->Value());
  if (H.Size() == Before && !AttributeOf(Addr, "nullFlavor")) H.Markup("adresse non renseignée");
  H.Markup("<br>");
}

void TRenderer::Telecom(THtml& H, PXMLNode Tel) {
  const std::string Value = AttributeValueOf(Tel, "value");
  const size_t Colon = Value.find(':');
  if (Colon == std::string::npos) return;
  H.Text(CodeLabel(std::string_view(Value).substr(0, Colon), CodeTableTelecomUse, ""));
  H.Markup(": ").Text(std::string_view(Value).substr(Colon + 1));
}

void TRenderer::PersonName(THtml& H, PXMLNode Name, bool Qualifiers) {
  if (PXMLNode Prefix = ChildOf(Name, "prefix")) {
    Strong(H, Prefix->Value());
    H.Markup(" ");
  }
  Strong(H, TextOf(ChildOf(Name, "given")));
  for (PXMLNode Family : ChildrenOf(Name, "family")) {
    if (Qualifiers) FamilyLabel(H, Family);
    H.Markup(" ");
    Strong(H, Family->Value());
  }
  H.Markup(" ");
}

// The caption of a family name by its qualifier; false when it has none.
// CL is the name the patient uses (the identity's "nom utilisé").
bool TRenderer::FamilyLabel(THtml& H, PXMLNode Family) {
  const TXMLString* Q = Family->GetAttribute("qualifier");
  if (!Q) return false;
  if (Q->Compare("BR")) H.Markup("; Nom de famille : ");
  else if (Q->Compare("SP")) H.Markup("; Nom d'usage : ");
  else if (Q->Compare("CL")) H.Markup("; Nom utilisé : ");
  else return false;
  return true;
}

void TRenderer::Code(THtml& H, PXMLNode C) {
  const TXMLString* CodeAttr = AttributeOf(C, "code");
  if (CodeAttr && CodeAttr->Compare("PRELV"))
    H.Markup("Préleveur : ");
  else
    H.Markup("(").Text(AttributeValueOf(C, "code")).Markup(") ");
  const std::string Original = AttributeValueOf(C, "originalText");
  H.Text(!Original.empty() ? Original : AttributeValueOf(C, "displayName"));
}

void TRenderer::OrganisationName(THtml& H, PXMLNode Owner) {
  if (PXMLNode Name = ChildAt(Owner, {"representedOrganization", "name"}))
    H.Markup("<br>Organisation : ").Raw(Name->Text.View());
}

void TRenderer::AssignedEntity(THtml& H, PXMLNode AE, std::string_view Separator) {
  PersonName(H, ChildAt(AE, {"assignedPerson", "name"}), false);
  H.Markup(Separator);
  Identifier(H, ChildOf(AE, "id"));
  H.Markup("<br>");
  OrganisationName(H, AE);
}

void TRenderer::Patient(THtml& H) {
  PXMLNode Target = ChildOf(Root, "recordTarget");
  if (!Target) return;
  PXMLNode Role = ChildOf(Target, "patientRole");
  PXMLNode Patient = ChildOf(Role, "patient");
  PXMLNode Name = ChildOf(Patient, "name");
  H.Line("<table class=\"header\">");

  H.Markup("<tr><th>Patient</th><td colspan=\"3\">");
  if (PXMLNode Prefix = ChildOf(Name, "prefix")) {
    Strong(H, Prefix->Value());
    H.Markup(" ");
  }
  H.Markup("Prénom : ");
  Strong(H, TextOf(ChildOf(Name, "given")));
  // A name part without a caption still stands apart from the one before.
  for (PXMLNode Family : ChildrenOf(Name, "family")) {
    if (!FamilyLabel(H, Family)) H.Markup(" ");
    Strong(H, Family->Value());
  }
  H.Line("</td></tr>");

  H.Markup("<tr><th>Date de naissance</th><td width=\"30%\"><strong>");
  Date(H, AttributeValueOf(ChildOf(Patient, "birthTime"), "value"));
  H.Markup("</strong></td><th class=\"h2\">Sexe</th><td><strong>");
  H.Text(CodeLabel(AttributeValueOf(ChildOf(Patient, "administrativeGenderCode"), "code"), CodeTableSex, "Inconnu"));
  H.Line("</strong></td></tr>");

  H.Markup("<tr><th>Coordonnées</th><td>");
  Address(H, ChildOf(Role, "addr"));
  if (PXMLNode Tel = ChildOf(Role, "telecom"))
    Telecom(H, Tel);
  else
    H.Markup("Coordonnées téléphoniques non renseignées");
  H.Markup("<br></td><th class=\"h2\">Identifiant(s)</th><td>");
  PXMLNode Id = ChildOf(Role, "id");
  const std::string IdRoot = AttributeValueOf(Id, "root");
  std::string_view Kind = "Autre";
  if (IdRoot == "1.2.250.1.213.1.4.1") Kind = "INS-A";
  else if (IdRoot == "1.2.250.1.213.1.4.2") Kind = "INS-C";
  else if (IdRoot == "1.2.250.1.213.1.4.8" || IdRoot == "1.2.250.1.213.1.4.10" || IdRoot == "1.2.250.1.213.1.4.11")
    Kind = "NIR";
  H.Markup(Kind).Markup(" : ");
  Identifier(H, Id);
  H.Markup("</td></tr>");
  TableEnd(H);
}

void TRenderer::Identification(THtml& H) {
  TableStart(H);
  RowStart(H, "Identifiant du document");
  Identifier(H, ChildOf(Root, "id"));
  RowEnd(H);
  PXMLNode TypeCode = ChildOf(Root, "code");
  RowStart(H, "Type de document");
  H.Markup("(").Text(AttributeValueOf(TypeCode, "code")).Markup(") ").Text(AttributeValueOf(TypeCode, "displayName"));
  RowEnd(H);
  RowStart(H, "Date de création");
  Date(H, AttributeValueOf(ChildOf(Root, "effectiveTime"), "value"));
  RowEnd(H);
  RowStart(H, "Domaine");
  H.Text(AttributeValueOf(ChildOf(Root, "realmCode"), "code"));
  RowEnd(H);
  RowStart(H, "Référence au modèle CDA");
  Identifier(H, ChildOf(Root, "typeId"));
  RowEnd(H);
  RowStart(H, "Conformité");
  bool First = true;
  for (PXMLNode T : ChildrenOf(Root, "templateId")) {
    if (!First) H.Markup("<br>");
    First = false;
    H.Text(AttributeValueOf(T, "root"));
  }
  RowEnd(H);
  RowStart(H, "Langue principale");
  H.Text(AttributeValueOf(ChildOf(Root, "languageCode"), "code"));
  RowEnd(H);
  RowStart(H, "Identifiant du lot de versions");
  Identifier(H, ChildOf(Root, "setId"));
  RowEnd(H);
  RowStart(H, "Numéro de version");
  H.Raw(RawAttributeOf(ChildOf(Root, "versionNumber"), "value"));
  RowEnd(H);
  TableEnd(H);

  const std::string Confidentiality = AttributeValueOf(ChildOf(Root, "confidentialityCode"), "code");
  std::string_view Level;
  if (Confidentiality == "N") Level = "Normal";
  else if (Confidentiality == "R") Level = "Restreint";
  else if (Confidentiality == "V") Level = "Très restreint";
  if (Level.empty()) return;
  TableStart(H);
  RowStart(H, "Niveau de confidentialité");
  H.Markup(Level);
  RowEnd(H);
  TableEnd(H);
}

void TRenderer::Acts(THtml& H) {
  TableStart(H);
  for (PXMLNode Of : ChildrenOf(Root, "documentationOf")) {
    PXMLNode Event = ChildOf(Of, "serviceEvent");
    PXMLNode EventCode = ChildOf(Event, "code");
    if (AttributeOf(EventCode, "code")) {
      const bool Main = AttributeOf(ChildAt(Event, {"performer", "assignedEntity", "id"}), "root") != nullptr;
      RowStart(H, Main ? "Acte principal documenté" : "Acte documenté");
      Code(H, EventCode);
      PXMLNode Time = ChildOf(Event, "effectiveTime");
      if (const TXMLString* V = AttributeOf(Time, "value")) {
        H.Markup(" le ");
        Date(H, V->Value());
      } else {
        H.Markup(" de ");
        Date(H, AttributeValueOf(ChildOf(Time, "low"), "value"));
        if (const TXMLString* High = AttributeOf(ChildOf(Time, "high"), "value")) {
          H.Markup(" à ");
          Date(H, High->Value());
        }
      }
      RowEnd(H);
    }
    if (PXMLNode Performer = ChildOf(Event, "performer")) {
      const std::string Type = AttributeValueOf(Performer, "typeCode");
      std::string_view Caption;
      if (Type == "PPRF") Caption = "Exécutant principal";
      else if (Type == "PRF") Caption = "Exécutant";
      else if (Type == "VRF") Caption = "Validateur";
      else if (Type == "SPRF") Caption = "Autre exécutant";
      PXMLNode Entity = ChildOf(Performer, "assignedEntity");
      RowStart(H, Caption);
      PersonName(H, ChildAt(Entity, {"assignedPerson", "name"}), false);
      Identifier(H, ChildOf(Entity, "id"));
      H.Markup("<br>");
      OrganisationName(H, Entity);
      RowEnd(H);
      Coordinates(H, Entity, true);
    }
  }
  TableEnd(H);
}

void TRenderer::Author(THtml& H) {
  TableStart(H);
  for (PXMLNode A : ChildrenOf(ChildOf(Root, "author"), "assignedAuthor")) {
    RowStart(H, "Auteur");
    PXMLNode Name = ChildAt(A, {"assignedPerson", "name"});
    PXMLNode Organisation = ChildAt(A, {"representedOrganization", "name"});
    if (ChildOf(Name, "family")) {
      PersonName(H, Name, true);
      if (Organisation) H.Markup(", ").Raw(Organisation->Text.View());
    } else if (Organisation) {
      H.Raw(Organisation->Text.View());
    }
    PXMLNode OrgId = ChildAt(A, {"representedOrganization", "id"});
    if (AttributeOf(OrgId, "root")) {
      H.Markup("<br>");
      Identifier(H, OrgId);
    }
    RowEnd(H);
    if (PXMLNode C = ChildOf(A, "code")) {
      RowStart(H, "Profession/spécialité");
      Code(H, C);
      RowEnd(H);
    }
    Coordinates(H, A, true);
  }
  TableEnd(H);
}

void TRenderer::Encounter(THtml& H) {
  PXMLNode E = ChildAt(Root, {"componentOf", "encompassingEncounter"});
  TableStart(H);
  RowStart(H, "Période de la rencontre");
  PXMLNode Time = ChildOf(E, "effectiveTime");
  if (const TXMLString* V = AttributeOf(Time, "value")) {
    H.Markup("Date &amp; heure : <strong>");
    Date(H, V->Value());
    H.Markup("</strong>");
  }
  if (const TXMLString* Low = AttributeOf(ChildOf(Time, "low"), "value")) {
    H.Markup(" Début : <strong>");
    Date(H, Low->Value());
    H.Markup("</strong>");
  }
  if (const TXMLString* High = AttributeOf(ChildOf(Time, "high"), "value")) {
    H.Markup(" ; Fin : <strong>");
    Date(H, High->Value());
    H.Markup("</strong>");
  }
  RowEnd(H);
  RowStart(H, "Lieu de la rencontre");
  PXMLNode Facility = ChildAt(E, {"location", "healthCareFacility"});
  if (PXMLNode Place = ChildAt(Facility, {"location", "name"}))
    H.Raw(Place->Text.View());
  else
    Code(H, ChildOf(Facility, "code"));
  RowEnd(H);
  if (PXMLNode Responsible = ChildAt(E, {"responsibleParty", "assignedEntity"})) {
    RowStart(H, "Responsabilité médicale");
    AssignedEntity(H, Responsible, " ");
    RowEnd(H);
    Coordinates(H, Responsible, true);
  }
  TableEnd(H);
}

void TRenderer::Participants(THtml& H) {
  const std::vector<PXMLNode> List = ChildrenOf(Root, "participant");
  for (PXMLNode P : List) {
    if (P == List.front()) TableStart(H);
    PXMLNode Entity = ChildOf(P, "associatedEntity");
    const std::string ClassCode = AttributeValueOf(Entity, "classCode");
    H.Markup("<tr><th>").Markup(RawAttributeOf(P, "typeCode") == "REF" ? "Prescripteur" : "Participant");
    H.Markup(" (").Text(CodeLabel(ClassCode, CodeTableParticipantClass, "")).Markup(")</th><td>");
    PXMLNode Function = ChildOf(P, "functionCode");
    const std::string FunctionCode = AttributeValueOf(Function, "code");
    if (FunctionCode == "PRELV")
      H.Markup("Préleveur : ");
    else if (!FunctionCode.empty())
      H.Markup("(").Text(FunctionCode).Markup(") ");
    const std::string FunctionName = AttributeValueOf(Function, "displayName");
    if (!FunctionName.empty()) H.Markup(" ").Text(FunctionName).Markup(" ");
    PersonName(H, ChildAt(Entity, {"associatedPerson", "name"}), false);
    if (ClassCode == "MTH") H.Markup("(Mère)");
    else if (ClassCode == "FTH") H.Markup("(Père)");
    else if (!ClassCode.empty()) H.Markup("(").Text(ClassCode).Markup(")");
    H.Markup("<br>");
    PXMLNode Time = ChildOf(P, "time");
    if (const TXMLString* Low = AttributeOf(ChildOf(Time, "low"), "value")) {
      H.Markup(" de ");
      Date(H, Low->Value());
    }
    if (const TXMLString* High = AttributeOf(ChildOf(Time, "high"), "value")) {
      H.Markup(" à ");
      Date(H, High->Value());
    }
    RowEnd(H);
    PXMLNode Addr = ChildOf(Entity, "addr");
    PXMLNode Tel = ChildOf(Entity, "telecom");
    if (Addr || Tel) {
      RowStart(H, "Coordonnées");
      Address(H, Addr);
      Telecom(H, Tel);
      RowEnd(H);
    }
    if (P == List.back()) TableEnd(H);
  }
}

void TRenderer::Authenticators(THtml& H) {
  const std::vector<PXMLNode> List = ChildrenOf(Root, "authenticator");
  for (PXMLNode A : List) {
    if (A == List.front()) TableStart(H);
    RowStart(H, "Approbateur");
    AssignedEntity(H, ChildOf(A, "assignedEntity"), "<br>");
    H.Markup("Approuvé le : ");
    Date(H, AttributeValueOf(ChildOf(A, "time"), "value"));
    RowEnd(H);
    if (A == List.back()) TableEnd(H);
  }
}

void TRenderer::LegalAuthenticator(THtml& H) {
  PXMLNode Legal = ChildOf(Root, "legalAuthenticator");
  PXMLNode Entity = ChildOf(Legal, "assignedEntity");
  TableStart(H);
  RowStart(H, "Signataire légal");
  AssignedEntity(H, Entity, " ");
  H.Markup("<br>");
  const std::string Signature = AttributeValueOf(ChildOf(Legal, "signatureCode"), "code");
  if (Signature == "I") H.Markup("Signature attendue");
  else if (Signature == "S") H.Markup("Signé");
  else if (Signature == "X") H.Markup("Signature requise");
  const std::string Time = AttributeValueOf(ChildOf(Legal, "time"), "value");
  if (!Time.empty()) {
    H.Markup(" le ");
    Date(H, Time);
  }
  RowEnd(H);
  Coordinates(H, Entity, true);
  TableEnd(H);
}

void TRenderer::Informants(THtml& H) {
  const std::vector<PXMLNode> List = ChildrenOf(ChildOf(Root, "informant"), "relatedEntity");
  for (PXMLNode R : List) {
    if (R == List.front()) TableStart(H);
    H.Markup("<tr><th>")
        .Text(CodeLabel(AttributeValueOf(R, "classCode"), CodeTableInformantRole, ""))
        .Markup("</th><td>");
    PXMLNode C = ChildOf(R, "code");
    if (const TXMLString* Relation = AttributeOf(C, "code"))
      H.Markup("(")
          .Text(CodeLabel(Relation->Value(), CodeTableRelationship, AttributeValueOf(C, "displayName")))
          .Markup(") ");
    PersonName(H, ChildAt(R, {"relatedPerson", "name"}), false);
    RowEnd(H);
    Coordinates(H, R, true);
    if (R == List.back()) TableEnd(H);
  }
}

void TRenderer::Custodian(THtml& H) {
  PXMLNode Organisation = ChildAt(Root, {"custodian", "assignedCustodian", "representedCustodianOrganization"});
  TableStart(H);
  RowStart(H, "Structure productrice");
  if (PXMLNode Name = ChildOf(Organisation, "name")) H.Raw(Name->Text.View()).Markup("<br>");
  Identifier(H, ChildOf(Organisation, "id"));
  RowEnd(H);
  Coordinates(H, Organisation, false);
  TableEnd(H);
}

void TRenderer::Prescriptions(THtml& H) {
  PXMLNode Id = ChildAt(Root, {"inFulfillmentOf", "order", "id"});
  if (!AttributeOf(Id, "root")) return;
  TableStart(H);
  RowStart(H, "Références prescriptions");
  Identifier(H, Id);
  RowEnd(H);
  TableEnd(H);
}

void TRenderer::Header() {
  THtml H(Doc.HtmlStream);
  Head(H, false);
  Patient(H);
  Identification(H);
  Acts(H);
  Author(H);
  Encounter(H);
  Participants(H);
  Authenticators(H);
  LegalAuthenticator(H);
  Informants(H);
  Custodian(H);
  Prescriptions(H);
}

// Base64 text of the document kept for decoding on request.
TContent TRenderer::Base64Content(std::string_view Text, size_t Size) const {
  if (Shared) return TContent(Shared, Text, Size);
  auto Copy = std::make_shared<const std::string>(Text);
  return TContent(Copy, *Copy, Size);
}

void TRenderer::NonXML(THtml& H, PXMLNode Text) {
  H.Line("<hr>");
  const TXMLString* Representation = AttributeOf(Text, "representation");
  if (!Representation || !Representation->Compare("B64")) return;
  const std::string_view Base64 = Text->Text.View();
  const size_t Bytes = Vantrel::Base64DecodedSize(Base64);
  Doc.NonXMLBody = Base64Content(Base64, Bytes);
  const std::string Size = Vantrel::FileSizeText(int64_t(Bytes));
  if (Doc.mimeType == "image/jpeg") {
    // Only the signature is decoded now; the picture when it is shown.
    unsigned char Signature[2] = {0, 0};
    Vantrel::Base64DecodeBuffer(Base64, Signature, std::min<size_t>(Bytes, 2));
    if (Bytes >= 2 && Signature[0] == 0xFF && Signature[1] == 0xD8) {
      H.Markup("<a href=\"#\">Image JPEG (").Markup(Size).Line(")</a><br>");
      return;
    }
    Doc.mimeType = "text/plain";  // not a JPEG file: shown as the text it may be
  }
  if (Doc.mimeType == "text/plain") {
    H.Markup("<a href=\"#\">Fichier texte (").Markup(Size).Line(")</a><br>");
    Doc.TextIsUTF8 = Vantrel::IsValidUTF8(Doc.NonXMLBody.Bytes());
  } else if (Doc.mimeType == "application/pdf") {
    H.Markup("<a href=\"#\">Document au format PDF (").Markup(Size).Line(")</a>");
  } else {
    H.Text(Doc.mimeType).Markup(" (").Markup(Size).Line(")");
    if (IsHtmlMediaType(Doc.mimeType)) {
      // Shown by the same view as a structured body: written again through the allow-list.
      std::string Page;
      THtml Body(Page);
      Head(Body, true);
      WriteSanitisedHtml(Body, Doc.NonXMLBody.Bytes());
      Body.EndLine().Line("</body>").Line("</html>");
      Doc.NonXMLBody = TContent(std::move(Page));
    }
  }
}

void TRenderer::Media(PXMLNode Body) {
  Vantrel::TXMLSearch Search;
  for (bool Found = Search.FindNode(Body, "observationMedia"); Found; Found = Search.FindNext()) {
    PXMLNode M = Search.Node;
    const std::string Id = AttributeValueOf(M, "ID");
    PXMLNode Value = ChildOf(M, "value");
    const TXMLString* Representation = AttributeOf(Value, "representation");
    if (Id.empty() || !Representation || !Representation->Compare("B64")) continue;
    const std::string_view Base64 = Value->Text.View();
    const size_t Bytes = Vantrel::Base64DecodedSize(Base64);
    if (Bytes == 0) continue;
    Doc.MediaList.Add({Id, StripControls(AttributeValueOf(Value, "mediaType")), Base64Content(Base64, Bytes)});
  }
}

// A section's sub-sections, depth first with an explicit stack.
void TRenderer::SubSections(THtml& H, PXMLNode Section) {
  auto SectionsOf = [](PXMLNode S) {
    std::vector<PXMLNode> R;
    for (PXMLNode C : ChildrenOf(S, "component"))
      for (PXMLNode Sub : C->GetChilds("section")) R.push_back(Sub);
    return R;
  };
  struct TLevel {
    std::vector<PXMLNode> Sections;
    size_t Next;
  };
  std::vector<TLevel> Stack;
  Stack.push_back({SectionsOf(Section), 0});
  if (!Stack.back().Sections.empty()) H.Line("<div style=\"margin-left: 2em\">");
  while (!Stack.empty()) {
    TLevel& Top = Stack.back();
    if (Top.Next == Top.Sections.size()) {
      if (!Top.Sections.empty()) H.Line("</div>");
      Stack.pop_back();
      continue;
    }
    PXMLNode S = Top.Sections[Top.Next++];
    const std::string_view Heading = RawTextOf(ChildOf(S, "title"));
    if (!Heading.empty()) H.Markup("<h4>").Raw(Heading).Line("</h4>");
    WriteNarrative(H, ChildOf(S, "text"));
    Stack.push_back({SectionsOf(S), 0});
    if (!Stack.back().Sections.empty()) H.Line("<div style=\"margin-left: 2em\">");
  }
}

void TRenderer::Structured(THtml& Header, PXMLNode Body) {
  Doc.mimeType = "text/html";
  std::string Page;
  THtml H(Page);
  Head(H, true);
  Media(Body);

  const std::vector<PXMLNode> Components = ChildrenOf(Body, "component");
  bool Contents = false;
  for (PXMLNode C : Components) {
    PXMLNode Section = ChildOf(C, "section");
    const TXMLString* RootAttr = AttributeOf(ChildOf(Section, "templateId"), "root");
    if (!RootAttr) continue;
    if (!Contents) H.Line("<h2><a name=\"toc\">Table des matières</a></h2>").Line("<ul>");
    Contents = true;
    H.Markup("<li><a href=\"#")
        .Raw(RootAttr->View())
        .Markup("\">")
        .Raw(RawTextOf(ChildOf(Section, "title")))
        .Line("</a></li>");
  }
  if (Contents) H.Line("</ul>").Line("<hr>");

  for (PXMLNode C : Components) {
    PXMLNode Section = ChildOf(C, "section");
    if (!Section) continue;
    if (PXMLNode Heading = ChildOf(Section, "title")) {
      H.Markup("<h3><a name=\"")
          .Raw(RawAttributeOf(ChildOf(Section, "templateId"), "root"))
          .Markup("\" href=\"#toc\">");
      H.Raw(Heading->Text.View()).Line("</a></h3>");
    }
    WriteNarrative(H, ChildOf(Section, "text"));
    SubSections(H, Section);
  }
  H.Line("</body>").Line("</html>");
  Header.Line("<hr>");
  Header.Markup("Clinical Document XML (").Markup(Vantrel::FileSizeText(int64_t(Page.size()))).Line(")");
  Doc.NonXMLBody = TContent(std::move(Page));
}

void TRenderer::Body() {
  THtml H(Doc.HtmlStream);
  PXMLNode Text = ChildAt(Root, {"component", "nonXMLBody", "text"});
  Doc.mimeType = StripControls(AttributeValueOf(Text, "mediaType"));
  if (!Doc.mimeType.empty())
    NonXML(H, Text);
  else
    Structured(H, ChildAt(Root, {"component", "structuredBody"}));
  H.Line("<hr>").Line("</body>").Line("</html>");
}

}  // namespace

bool IsHtmlMediaType(std::string_view MimeType) {
  std::string Type = AsciiLower(MimeType.substr(0, MimeType.find(';')));
  std::erase_if(Type, IsHtmlSpace);
  return Type == "text/html" || Type == "application/xhtml+xml";
}

TClinicalDocument::TClinicalDocument(TClinicalDocumentClock Clock) : FClock(std::move(Clock)) {}

void TClinicalDocument::Parse(std::string_view XML) { Render(XML, nullptr); }

void TClinicalDocument::Parse(std::shared_ptr<const std::string> XML) {
  const std::string_view Text = XML ? std::string_view(*XML) : std::string_view();
  Render(Text, XML);
}

void TClinicalDocument::Render(std::string_view XML, const std::shared_ptr<const std::string>& Shared) {
  HtmlStream.clear();
  NonXMLBody = TContent();
  mimeType.clear();
  TextIsUTF8 = false;
  MediaList.Clear();
  Version = 0;

  Vantrel::TXMLTree Tree;
  Tree.BuildFrom(XML);
  PXMLNode Root = Tree.Root().Search("ClinicalDocument");
  // A version that is no decimal integer counts as absent.
  Version = Vantrel::UTF8ToIntDef(RawAttributeOf(ChildOf(Root, "versionNumber"), "value"), 0);
  if (Version <= 0) Version = 1;

  TRenderer R(*this, Root, Shared, TextOf(ChildOf(Root, "title")),
              Vantrel::FormatDateTime("dd/mm/yyyy hh:nn:ss", FClock ? FClock() : Vantrel::Now()));
  R.Header();
  R.Body();
}

}  // namespace Talven
