#include "Vantrel.XML.XDSb.MTOM.h"

#include <charconv>
#include <stdexcept>

#include "Vantrel.SOAP.h"

namespace Vantrel {

namespace {

using detail::TSubmissionValues;

constexpr std::string_view CRLF = "\r\n";
constexpr std::string_view RootContentId = "root.message@carvelin.soap";
constexpr std::string_view AttachmentDomain = "carvelin.xop";

constexpr std::string_view SubmissionSet = "SubmissionSet01";
constexpr std::string_view Signature = "Signature01";
constexpr std::string_view DocumentObjectType = "urn:uuid:7edca82f-054d-47f2-a032-9b2a5b5186c1";
constexpr std::string_view ConfidentialityScheme = "urn:uuid:f4f85eac-e6cb-4883-b524-f2705394840f";
constexpr std::string_view HasMember = "urn:oasis:names:tc:ebxml-regrep:AssociationType:HasMember";
constexpr std::string_view Signs = "urn:ihe:iti:2007:AssociationType:signs";
constexpr std::string_view Replaces = "urn:ihe:iti:2007:AssociationType:RPLC";
constexpr std::string_view ClassCodeScheme = "urn:uuid:41a5887f-8865-4c09-adf7-e362475b143a";
constexpr std::string_view FormatCodeScheme = "urn:uuid:a09d5840-386c-46f2-b5ad-9c3699a4309d";
constexpr std::string_view PracticeScheme = "urn:uuid:cccf5598-8b07-4b77-a05e-ae952c785ead";
constexpr std::string_view TypeCodeScheme = "urn:uuid:f0306f51-975f-434e-a61c-c59651d33983";
constexpr std::string_view EntryPatientIdScheme = "urn:uuid:58a6f841-87b3-4a3e-92fd-a8ffeff98427";
constexpr std::string_view EntryUniqueIdScheme = "urn:uuid:2e82c1f6-a085-4c72-9da3-8640a32e42ab";

std::string Attr(std::string_view Name, std::string_view Value) {
  std::string S(Name);
  S += "=\"";
  S += XMLEscape(Value);
  S += '"';
  return S;
}

std::string Decimal(int64_t Value) {
  char Buf[24];
  return std::string(Buf, std::to_chars(Buf, Buf + sizeof Buf, Value).ptr);
}

std::string TwoDigits(int Number) {
  return std::string{char('0' + Number / 10), char('0' + Number % 10)};
}

void CheckDocumentNumber(int Number, int First) {
  if (Number < First || Number > MaxLotDocuments)
    throw std::invalid_argument("document number outside " + Decimal(First) + " to " +
                                Decimal(MaxLotDocuments));
}

std::string DocumentId(int Number) { return "document" + TwoDigits(Number); }

std::string ContentId(int Number) { return Decimal(Number) + "@" + std::string(AttachmentDomain); }

// The delimiter line and the headers of a binary attachment (RFC 2046 §5.1.1).
std::string AttachmentHeader(int ContentNumber) {
  std::string S = "--";
  S += MTOMBoundary;
  S += CRLF;
  S += "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: binary\r\n";
  S += "Content-ID: <" + ContentId(ContentNumber) + ">\r\n\r\n";
  return S;
}

// The author classification of an object (scheme: submission set or document).
std::string Author(const TSubmissionValues& V, std::string_view Scheme, std::string_view Object) {
  std::string A = Attr("classificationScheme", Scheme) + ' ' + Attr("classifiedObject", Object) +
                  " nodeRepresentation=\"\"";
  std::string Slots = RimSlot("authorPerson", V.XCN);
  if (!V.Specialty.empty()) Slots += RimSlot("authorSpecialty", V.Specialty);
  Slots += RimSlot("authorInstitution", V.XON);
  return XMLElement("ns2:Classification", A, Slots);
}

std::string DocumentAuthor(const TSubmissionValues& V, std::string_view Object) {
  return Author(V, "urn:uuid:93606bcf-9494-43ec-9b4e-a7748d1a838d", Object);
}

std::string Facility(const TSubmissionValues& V, std::string_view Object) {
  return RimClassification(Object, "urn:uuid:f33fb8ac-18af-42cc-ae0e-ed0b0bdb91e1", V.FacilityCode,
                           V.FacilityName, "1.2.250.1.71.4.2.4");
}

// A metadata update's set has no description.
std::string SubmissionSetPackage(const TSubmissionValues& V, bool WithDescription = true) {
  std::string S = RimSlot("submissionTime", HL7Time(V.NowUTC));
  S += LocalizedStringElement("ns2:Name", V.Lot.Name);
  if (WithDescription) S += LocalizedStringElement("ns2:Description", V.Lot.Title);
  S += Author(V, "urn:uuid:a7058bb9-b4e4-4307-ba5b-e3f0ab85e12d", SubmissionSet);
  S += RimClassification(SubmissionSet, "urn:uuid:aa543740-bdda-424e-8c96-df4873be8500", "SA07",
                         "Cabinet individuel", "1.2.250.1.71.4.2.4");
  S += XMLElement("ns2:Classification",
                  Attr("classificationNode", "urn:uuid:a54d6aa5-d40d-43f9-88c5-b4633d873bdd") +
                      ' ' + Attr("classifiedObject", SubmissionSet),
                  {});
  S += RimExternalIdentifier(SubmissionSet, "ei11", "urn:uuid:6b5aea1a-874d-4603-a4bc-96a0a7b38446",
                             "XDSSubmissionSet.patientId", V.CX);
  S += RimExternalIdentifier(SubmissionSet, "ei12", "urn:uuid:554ac39e-e3fe-47fe-b233-965d2a147832",
                             "XDSSubmissionSet.sourceId", XMLEscape(V.LPS_OID));
  S += RimExternalIdentifier(SubmissionSet, "ei13", "urn:uuid:96fdda7c-d067-4183-912e-bf5ee74998a8",
                             "XDSSubmissionSet.uniqueId", XMLEscape(V.SubId));
  return XMLElement("ns2:RegistryPackage", Attr("id", SubmissionSet), S);
}

// PID-5 with the birth name ("L") and, when it differs, the usage name
// ("D"); PID-7 when the birth date converts; PID-8 for 'F' or 'M'.
std::string SourcePatientInfo(const TSubmissionValues& V) {
  auto Value = [](std::string Text) {
    return XMLElement("ns2:Value", {}, XMLEscape(std::move(Text)));
  };
  std::string S;
  if (!V.NomNaissance.empty())
    S += Value("PID-5|" + V.NomNaissance + "^" + V.Prenom + "^" + V.Prenom + "^^^^L");
  if (!V.NomUsage.empty() && V.NomUsage != V.NomNaissance)
    S += Value("PID-5|" + V.NomUsage + "^" + V.Prenom + "^^^^^D");
  if (std::string Birth = FrenchDateToHL7(V.DateNaissance); !Birth.empty())
    S += Value("PID-7|" + Birth);
  if (V.Sexe == 'F' || V.Sexe == 'M') S += Value(std::string("PID-8|") + V.Sexe);
  return XMLElement("ns2:Slot", "name=\"sourcePatientInfo\"", XMLElement("ns2:ValueList", {}, S));
}

std::string EntryAttributes(std::string_view Id) {
  return Attr("id", Id) + " mimeType=\"text/xml\" " + Attr("objectType", DocumentObjectType);
}

std::string EntryIdentifiers(const TSubmissionValues& V, std::string_view Object, int Number,
                             std::string_view UniqueId) {
  const std::string Prefix = "ei" + Decimal(Number);
  return RimExternalIdentifier(Object, Prefix + "1", EntryPatientIdScheme,
                               "XDSDocumentEntry.patientId", V.CX) +
         RimExternalIdentifier(Object, Prefix + "2", EntryUniqueIdScheme,
                               "XDSDocumentEntry.uniqueId", XMLEscape(UniqueId));
}

// IdentifierNumber: the external identifiers are "ei" + it + "1" and "2",
// numbered after the documents' so that no batch reuses them.
std::string SignatureEntry(const TSubmissionValues& V, int IdentifierNumber) {
  const std::string Now = HL7Time(V.NowUTC);
  std::string S = RimSlot("creationTime", Now);
  S += RimSlot("languageCode", "art");
  S += RimSlot("legalAuthenticator", V.XCN);
  S += RimSlot("serviceStartTime", Now);
  S += RimSlot("serviceStopTime", Now);
  S += RimSlot("sourcePatientId", V.CX);
  S += LocalizedStringElement("ns2:Name", "Source");
  S += DocumentAuthor(V, Signature);
  S += RimClassification(Signature, ClassCodeScheme, "urn:oid:1.3.6.1.4.1.19376.1.2.1.1.1",
                         "Digital Signature", "URN");
  for (int Row = 0; Row < 3; ++Row) S += ConfidentialityClassification(Signature, Row);
  S += RimClassification(Signature, "urn:uuid:2c6b8cb7-8b2a-4051-b291-b1ae6a575ef4",
                         "1.2.840.10065.1.12.1.14", "Source", "1.2.840.10065.1.12");
  S += RimClassification(Signature, FormatCodeScheme, "http://www.w3.org/2000/09/xmldsig#",
                         "Default Signature Style", "URN");
  S += Facility(V, Signature);
  S += RimClassificationCode(Signature, PracticeScheme, V.Practice);
  S += RimClassification(Signature, TypeCodeScheme, "E1762", "Full Document", "ASTM");
  S += EntryIdentifiers(V, Signature, IdentifierNumber, V.SignId);
  return XMLElement("ns2:ExtrinsicObject", EntryAttributes(Signature), S);
}

std::string Association(int Number, std::string_view Source, std::string_view Target,
                        std::string_view Type) {
  return RimAssociation("association" + Decimal(Number), Source, Target, Type);
}

std::string DocumentReference(std::string_view Id, int ContentNumber) {
  return XMLElement(
      "ns5:Document", Attr("id", Id),
      XMLElement("xop:Include",
                 "xmlns:xop=\"http://www.w3.org/2004/08/xop/include\" " +
                     Attr("href", "cid:" + ContentId(ContentNumber)),
                 {}));
}

// Envelope and parts around the registry objects and the ns5:Document list;
// Documents: the bytes of the part with Content-ID 2 and what follows it.
std::string Request(std::string_view Objects, std::string_view DocumentRefs,
                    std::string_view SecurityHeaderMarkup, std::string_view Destination,
                    std::string_view SignatureDocument, std::string_view Documents) {
  const std::string Body = XMLElement(
      "ns5:ProvideAndRegisterDocumentSetRequest",
      "xmlns:ns2=\"urn:oasis:names:tc:ebxml-regrep:xsd:rim:3.0\" "
      "xmlns:ns3=\"urn:oasis:names:tc:ebxml-regrep:xsd:rs:3.0\" "
      "xmlns:ns4=\"urn:oasis:names:tc:ebxml-regrep:xsd:query:3.0\" "
      "xmlns:ns5=\"urn:ihe:iti:xds-b:2007\" "
      "xmlns:ns6=\"urn:oasis:names:tc:ebxml-regrep:xsd:lcm:3.0\"",
      XMLElement("ns6:SubmitObjectsRequest", {},
                 XMLElement("ns2:RegistryObjectList", {}, Objects)) +
          std::string(DocumentRefs));
  const std::string Header =
      WSAddressingHeader("urn:ihe:iti:2007", "ProvideAndRegisterDocumentSet-b", Destination) +
      std::string(SecurityHeaderMarkup);
  const std::string Envelope =
      XMLElement("soap:Envelope", "xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"",
                 XMLElement("soap:Header", {}, Header) + XMLElement("soap:Body", {}, Body));

  std::string S;
  S.reserve(Envelope.size() + SignatureDocument.size() + Documents.size() + 1024);
  S += "--";
  S += MTOMBoundary;
  S += CRLF;
  S += "Content-Type: application/xop+xml; charset=UTF-8; type=\"application/soap+xml\"; "
       "action=\"urn:ihe:iti:2007:ProvideAndRegisterDocumentSet-b\";\r\n"
       "Content-Transfer-Encoding: binary\r\n";
  S += "Content-ID: <";
  S += RootContentId;
  S += ">\r\n\r\n";
  S += Envelope;
  S += CRLF;
  S += AttachmentHeader(1);
  S += SignatureDocument;
  S += CRLF;
  S += AttachmentHeader(2);
  S += Documents;
  S += CRLF;
  S += "--";
  S += MTOMBoundary;
  S += "--";
  return S;
}

}  // namespace

std::string ProvideAndRegisterContentType() { return MTOMContentType(MTOMBoundary); }

std::string MTOMContentType(std::string_view Boundary) {
  std::string S = "multipart/related; type=\"application/xop+xml\"; boundary=\"";
  S += Boundary;
  S += "\"; start=\"<";
  S += RootContentId;
  S += ">\"; start-info=\"application/soap+xml\"";
  return S;
}

std::string MTOMDocumentPart(int DocumentNumber, std::string_view Document) {
  CheckDocumentNumber(DocumentNumber, 2);
  std::string S(CRLF);
  S += AttachmentHeader(DocumentNumber + 1);
  S += Document;
  return S;
}

namespace detail {

std::string DocumentEntry(const TSubmissionValues& V, int DocumentNumber) {
  CheckDocumentNumber(DocumentNumber, 1);
  const std::string Id = DocumentId(DocumentNumber);
  std::string S = RimSlot("creationTime", HL7TimeUTC(V.CreateDate));
  S += RimSlot("languageCode", "fr-FR");
  S += RimSlot("legalAuthenticator", V.XCN);
  S += RimSlotTime("serviceStartTime", V.StartDate);
  S += RimSlotTime("serviceStopTime", V.StopDate);
  S += RimSlot("sourcePatientId",
               XMLEscape(V.PatientId) + "^^^&amp;" + XMLEscape(V.LPS_OID) + "&amp;ISO^PI");
  S += SourcePatientInfo(V);
  S += LocalizedStringElement("ns2:Name", V.DocTitle);
  S += LocalizedStringElement("ns2:Description", V.Lot.Comment);
  S += DocumentAuthor(V, Id);
  S += RimClassificationCode(Id, ClassCodeScheme, V.Classe);
  S += ConfidentialityClassifications(Id, V.Confidentialite);
  S += RimClassificationCode(Id, FormatCodeScheme, V.Format);
  S += Facility(V, Id);
  S += RimClassificationCode(Id, PracticeScheme, V.Practice);
  S += RimClassificationCode(Id, TypeCodeScheme, V.DocType);
  S += EntryIdentifiers(V, Id, DocumentNumber + 1, V.DocID);
  return XMLElement("ns2:ExtrinsicObject", EntryAttributes(Id), S);
}

std::string ProvideAndRegisterRequest(const TSubmissionValues& V,
                                      std::string_view SecurityHeaderMarkup,
                                      std::string_view Document, std::string_view Destination,
                                      std::string_view SignatureDocument) {
  const std::string Doc = DocumentId(1);
  std::string Objects = SubmissionSetPackage(V) + DocumentEntry(V, 1) + SignatureEntry(V, 3);
  Objects += Association(1, SubmissionSet, Doc, HasMember);
  Objects += Association(2, SubmissionSet, Signature, HasMember);
  Objects += Association(3, Signature, SubmissionSet, Signs);
  if (!V.ReplaceUuid.empty()) Objects += Association(4, Doc, V.ReplaceUuid, Replaces);
  const std::string Refs = DocumentReference(Signature, 1) + DocumentReference(Doc, 2);
  return Request(Objects, Refs, SecurityHeaderMarkup, Destination, SignatureDocument, Document);
}

std::string ProvideAndRegisterLotRequest(const TSubmissionValues& V,
                                         std::string_view SecurityHeaderMarkup,
                                         std::string_view DocumentParts, int DocumentCount,
                                         std::string_view Destination,
                                         std::string_view DocumentEntriesMarkup,
                                         std::string_view SignatureDocument) {
  CheckDocumentNumber(DocumentCount, 1);
  const int N = DocumentCount;
  std::string Objects = SubmissionSetPackage(V);
  Objects += DocumentEntriesMarkup;
  Objects += SignatureEntry(V, N + 2);
  std::string Refs = DocumentReference(Signature, 1);
  for (int K = 1; K <= N; ++K) {
    Objects += Association(K, SubmissionSet, DocumentId(K), HasMember);
    Refs += DocumentReference(DocumentId(K), K + 1);
  }
  Objects += Association(N + 1, SubmissionSet, Signature, HasMember);
  Objects += Association(N + 2, Signature, SubmissionSet, Signs);
  return Request(Objects, Refs, SecurityHeaderMarkup, Destination, SignatureDocument,
                 DocumentParts);
}

}  // namespace detail

// ---- Metadata update ----

namespace {

constexpr std::string_view Prefix = "ns2:";

// The refusal of an entry whose copy would not be XML.
[[noreturn]] void Unwritable(std::string_view What, std::string_view Name) {
  throw std::runtime_error("Entrée du registre non réécrite : " + std::string(What) + " \"" +
                           std::string(Name) + "\"");
}

// An attribute's name as written, prefix included (an empty one too).
std::string_view WrittenName(const TXMLAttribute& A) {
  return {A.Prefix.Start, size_t(A.Name.Start + A.Name.Len - A.Prefix.Start)};
}

// A copied attribute name is a qualified name (Namespaces in XML 1.0 §4):
// the reader lets through names such as ":a" or "a<b".
void CheckAttributeName(const TXMLAttribute& A) {
  const bool Prefixed = A.Prefix.Start != A.Name.Start;
  if (!IsNCName(A.Name.View()) || (Prefixed && !IsNCName(A.Prefix.View())))
    Unwritable("nom d'attribut invalide", WrittenName(A));
}

// Source text as it stands, with what the reader lets through made
// well-formed: '<', '>' and '"' as references, and a '&' that starts no
// reference as "&amp;".
void CopyEscaped(std::string& Out, std::string_view S) {
  for (size_t I = 0; I < S.size(); ++I) {
    const char Ch = S[I];
    if (Ch == '"')
      Out += "&quot;";
    else if (Ch == '<')
      Out += "&lt;";
    else if (Ch == '>')
      Out += "&gt;";
    else if (Ch == '&' && XMLReferenceLength(S.substr(I)) == 0)
      Out += "&amp;";
    else
      Out += Ch;
  }
}

// The source attributes but those Skip leaves out, each under its name as
// written; the copy holds each name once.
void CopyAttributes(std::string& Out, const TXMLNode& Node, bool (*Skip)(const TXMLAttribute&)) {
  const auto Attrs = Node.Attrs();
  for (size_t I = 0; I < Attrs.size(); ++I) {
    const TXMLAttribute& A = Attrs[I];
    if (Skip(A)) continue;
    CheckAttributeName(A);
    for (size_t J = 0; J < I; ++J)
      if (!Skip(Attrs[J]) && WrittenName(Attrs[J]) == WrittenName(A)) Unwritable("attribut en double", WrittenName(A));
    Out += ' ';
    Out += WrittenName(A);
    Out += "=\"";
    CopyEscaped(Out, A.Value.View());
    Out += '"';
  }
}

bool KeepAll(const TXMLAttribute&) { return false; }
bool OwnId(const TXMLAttribute& A) { return A.Prefix.Start == A.Name.Start && A.Name.Compare("id"); }

// The element's name under the prefix "ns2:": its local name must be a name.
void CopyElementName(std::string& Out, const TXMLNode& Node) {
  if (!IsNCName(Node.Name.View())) Unwritable("nom d'élément invalide", Node.Name.View());
  Out += Prefix;
  Out += Node.Name.View();
}

// Text as it stands in the source; a CDATA section's text is escaped, since
// its markup characters are not.
void CopyText(std::string& Out, const TXMLNode& Text) {
  if (Text.IsCDATA())
    Out += XMLEscape(Text.Text.View());
  else
    CopyEscaped(Out, Text.Text.View());
}

void CopyElement(std::string& Out, const TXMLNode& Node) {
  if (Node.IsText()) return CopyText(Out, Node);
  Out += '<';
  CopyElementName(Out, Node);
  CopyAttributes(Out, Node, KeepAll);
  if (Node.Children().empty()) {
    Out += "/>";
    return;
  }
  Out += '>';
  for (const TXMLNode& Child : Node.Children()) CopyElement(Out, Child);
  Out += "</";
  CopyElementName(Out, Node);
  Out += '>';
}

std::string AttributeValue(const TXMLNode& Node, std::string_view Name) {
  for (const TXMLAttribute& A : Node.Attrs())
    if (A.Name.Compare(Name)) return A.Value.Value();
  return {};
}

// The conversion error of a text that is no decimal 32-bit integer.
int32_t StrToInt(const std::string& Text) {
  int32_t Value = 0;
  const char* End = Text.data() + Text.size();
  auto [Ptr, Ec] = std::from_chars(Text.data() + (!Text.empty() && Text[0] == '+'), End, Value);
  if (Text.empty() || Ec != std::errc() || Ptr != End)
    throw std::runtime_error("'" + Text + "' is not a valid integer value");
  return Value;
}

}  // namespace

void UpdatedDocumentEntry(PXMLNode Entry, uint32_t VisibilityBits, std::string& EntryText,
                          std::string& OldVersionName, std::string& EntryId) {
  if (!Entry) throw std::invalid_argument("no document entry");
  EntryId = DocumentId(1);
  PXMLNode Version = Entry->GetChild("VersionInfo");
  OldVersionName = Version ? AttributeValue(*Version, "versionName") : std::string();
  const std::string NewVersion = Decimal(int64_t(StrToInt(OldVersionName)) + 1);

  std::string S = "<";
  CopyElementName(S, *Entry);
  S += " " + Attr("id", EntryId);
  CopyAttributes(S, *Entry, OwnId);
  S += '>';
  bool ConfidentialityDone = false;
  for (const TXMLNode& Child : Entry->Children()) {
    if (!Child.IsText() && Child.Name.Compare("VersionInfo")) {
      S += "<ns2:VersionInfo " + Attr("versionName", NewVersion) + "/>";
    } else if (!Child.IsText() && Child.Name.Compare("Classification") &&
               AttributeValue(Child, "classificationScheme") == ConfidentialityScheme) {
      if (!ConfidentialityDone) S += ConfidentialityClassifications(EntryId, VisibilityBits);
      ConfidentialityDone = true;
    } else {
      CopyElement(S, Child);
    }
  }
  S += "</";
  CopyElementName(S, *Entry);
  S += '>';
  EntryText = std::move(S);
}

std::string UpdateDocumentSetBody(const detail::TSubmissionValues& V, std::string_view ObjectsMarkup) {
  return XMLElement("ns5:SubmitObjectsRequest",
                    "xmlns:ns2=\"urn:oasis:names:tc:ebxml-regrep:xsd:rim:3.0\" "
                    "xmlns:ns5=\"urn:oasis:names:tc:ebxml-regrep:xsd:lcm:3.0\"",
                    XMLElement("ns2:RegistryObjectList", {},
                               SubmissionSetPackage(V, false) + std::string(ObjectsMarkup)));
}

}  // namespace Vantrel
