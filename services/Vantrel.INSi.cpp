#include "Vantrel.INSi.h"

#include <array>
#include <mutex>

#include "Vantrel.SOAP.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.XML.Tree.h"
#include "Vantrel.XML.c14n.h"

namespace Vantrel {

namespace {

constexpr std::string_view NsSAML = "urn:oasis:names:tc:SAML:2.0:assertion";
constexpr std::string_view NsDSig = "http://www.w3.org/2000/09/xmldsig#";
constexpr std::string_view NsWSSE =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd";
constexpr std::string_view NsWSA = "http://www.w3.org/2005/08/addressing";
constexpr std::string_view AlgExcC14N = "http://www.w3.org/2001/10/xml-exc-c14n#";
constexpr std::string_view OIDINSNIR = "1.2.250.1.213.1.4.8";
constexpr std::string_view OIDINSNIRTest = "1.2.250.1.213.1.4.10";

std::mutex EndpointsLock;
TINSiEndpoints& Endpoints() {
  static TINSiEndpoints Value = DefaultINSiEndpoints();
  return Value;
}

std::string Attr(std::string_view Name, std::string_view Value) {
  std::string S(Name);
  S += "=\"";
  S += Value;
  S += '"';
  return S;
}

std::string Join(std::string_view A, std::string_view B) {
  std::string S(A);
  S += ' ';
  S += B;
  return S;
}

std::string XmlnsAttr(std::string_view Namespace) { return Attr("xmlns", Namespace); }

// Escaped plain-text element, written even when empty.
std::string TextElement(std::string_view Name, std::string_view Text) {
  return XMLElement(Name, {}, XMLEscape(Text));
}
std::string OptionalTextElement(std::string_view Name, std::string_view Text) {
  return XMLOptionalElement(Name, {}, XMLEscape(Text));
}

// The first Count characters of UTF-8 text, never cutting a sequence in two.
std::string_view FirstChars(std::string_view S, size_t Count) {
  size_t I = 0;
  for (size_t N = 0; I < S.size() && N < Count; ++N) {
    ++I;
    while (I < S.size() && (uint8_t(S[I]) & 0xC0) == 0x80) ++I;
  }
  return S.substr(0, I);
}

// Characters From..From+Count-1 (0-based) of UTF-8 text.
std::string_view MidChars(std::string_view S, size_t From, size_t Count) {
  const size_t Skip = FirstChars(S, From).size();
  return FirstChars(S.substr(Skip), Count);
}

bool IsDigits(std::string_view S) {
  for (char C : S)
    if (C < '0' || C > '9') return false;
  return true;
}

// "yyyy-mm-dd" of the card's "ddmmyyyy", else of the date value, else "".
std::string BeneficiaireBirthDate(const TINSiBeneficiaire& B) {
  if (B.Naissance.size() == 8 && IsDigits(B.Naissance))
    return B.Naissance.substr(4, 4) + '-' + B.Naissance.substr(2, 2) + '-' +
           B.Naissance.substr(0, 2);
  if (B.BirthDate > 0) return FormatDateTime("yyyy-mm-dd", B.BirthDate);
  return {};
}

std::string AssertionAttributes(std::string_view Id, std::string_view Now) {
  return XmlnsAttr(NsSAML) + ' ' + Attr("ID", "_" + std::string(Id)) + ' ' +
         Attr("IssueInstant", XMLEscape(Now)) + ' ' + Attr("Version", "2.0");
}

std::string WSAElement(std::string_view Name, std::string_view Text) {
  return XMLElement(Name, XmlnsAttr(NsWSA), XMLEscape(Text));
}

std::string BodyNamespace(std::string_view Path) {
  return XMLEscape("http://" + INSiEndpoints().NamespaceDomain + std::string(Path));
}

// The decoded text of the node at Path below Node, "" when absent.
std::string TextAt(PXMLNode Node, std::string_view Path) { return TextOf(XPathNodeOf(Node, Path)); }

// "yyyy-mm-dd" to "dd/mm/yyyy"; any other form is kept.
std::string FrenchDate(const std::string& Date) {
  if (Date.size() != 10 || Date[4] != '-' || Date[7] != '-' ||
      !IsDigits(std::string_view(Date).substr(0, 4)) ||
      !IsDigits(std::string_view(Date).substr(5, 2)) ||
      !IsDigits(std::string_view(Date).substr(8, 2)))
    return Date;
  return Date.substr(8, 2) + '/' + Date.substr(5, 2) + '/' + Date.substr(0, 4);
}

std::string FaultMessage(PXMLNode Fault) {
  std::string Message = TextAt(Fault, "Reason/Text");
  if (Message.empty()) {
    const std::string Code = TextAt(Fault, "Code/Value");
    const std::string Subcode = TextAt(Fault, "Code/Subcode/Value");
    Message = Code;
    if (!Subcode.empty())
      Message = "Erreur: " + Code + (Code.empty() ? "" : " - ") + Subcode;
  }
  return Message.empty() ? std::string("Erreur inattendue") : Message;
}

}  // namespace

TINSiEndpoints DefaultINSiEndpoints() {
  return {"https://qualiflps.services-ps.ameli.fr/lps", "https://services-ps.ameli.fr/lps",
          "https://qualiflps-services-ps-tlsm.ameli.fr/lps",
          "https://services-ps-tlsm.ameli.fr/lps", "www.cnamts.fr"};
}

void SetINSiEndpoints(TINSiEndpoints Value) {
  std::lock_guard Lock(EndpointsLock);
  Endpoints() = std::move(Value);
}

TINSiEndpoints INSiEndpoints() {
  std::lock_guard Lock(EndpointsLock);
  return Endpoints();
}

std::string INSiSoftwareName() {
#ifdef CARVELIN_VERSION
  return std::string("urn:lps:CARVELIN:") + CARVELIN_VERSION;
#else
  return "urn:lps:CARVELIN:" + std::string(INSiLPSVersion);
#endif
}

bool TINSiRequest::SetCPS(Talven::IVaspoCNX* ACNX, std::u16string_view Instance) {
  Cert = {};
  if (!ACNX) return false;
  const Talven::TPorteur* Porteur = ACNX->GetPorteur();
  const Talven::TCarte* Carte = ACNX->GetCarte();
  if (!Porteur || !Carte) return false;
  if (ACNX->GetCertificat(&Cert) != 0) {
    Cert = {};
    return false;
  }
  CNX = ACNX;
  Card = Carte->Categorie;
  RPPS = Porteur->IdNational;
  INSTANCE = NormalizeGUIDText(UTF16ToUTF8(Instance));
  AttributeStatement.clear();
  if (const Talven::TActivite* Activite = ACNX->CurrentActivite()) {
    std::string Content = SAMLAttribute("secteurActivite", Activite->Entite.Code);
    if (!Porteur->Specialite.Code.empty())
      Content += SAMLAttribute("codeSpecialite", Porteur->Specialite.Code);
    Content += SAMLAttribute("identifiantFacturation", Activite->NumFacturation);
    AttributeStatement = XMLElement("AttributeStatement", {}, Content);
  }
  return true;
}

std::string TINSiRequest::URL() const {
  const TINSiEndpoints E = INSiEndpoints();
  if (Cert.IsCPS) return IsTestCard() ? E.CPSQualification : E.CPSProduction;
  return IsTestCard() ? E.TLSMQualification : E.TLSMProduction;
}

std::string TINSiRequest::ContexteBAM(std::string_view CoverageMarkup) const {
  return XMLElement("ContexteBAM", Join(Attr("Version", "01_02"), XmlnsAttr("urn:siram:bam:ctxbam")),
                    XMLElement("Id", {}, NewUUIDText()) + TextElement("Temps", Now) +
                        TextElement("Emetteur", RPPS) +
                        XMLElement("COUVERTURE", {}, CoverageMarkup));
}

std::string TINSiRequest::ContexteLPS() const {
  return LPSContext(Now, RPPS, IsTestCard() ? INSiIDAMTest : INSiIDAMProduction, INSTANCE, INSiSoftwareName());
}

std::string TINSiRequest::AssertionIssuerSubject() const {
  return SAMLIssuer(Cert.DN) + SAMLSubject(Card, RPPS) + AttributeStatement;
}

std::string TINSiRequest::SecurityHeader(std::string_view ExtraAssertionMarkup) const {
  const std::string Content = AssertionIssuerSubject();
  if (!Cert.IsCPS) return XMLElement("Security", XmlnsAttr(NsWSSE), ExtraAssertionMarkup);
  return SignedAssertionHeader(CNX, Cert, Now, Content, {}, ExtraAssertionMarkup);
}

// ---- Shared pieces ----

std::string SAMLIssuer(std::string_view DN) {
  return XMLElement("Issuer", Attr("Format", "urn:oasis:names:tc:SAML:1.1:nameid-format:X509SubjectName"),
                    XMLEscape(DN));
}

std::string SAMLSubject(uint8_t Card, std::string_view RPPS) {
  static constexpr std::array<std::string_view, 4> Names = {"CPS", "CPF", "CDE-CPE", "CPA"};
  const uint8_t Type = Card & 0x7F;
  if (Type >= Names.size()) throw EINSiError("Type de carte inconnu " + std::to_string(Card));
  return XMLElement("Subject", {}, XMLElement("NameID", Attr("NameQualifier", Names[Type]), XMLEscape(RPPS)));
}

std::string SAMLAttribute(std::string_view Name, std::string_view Value) {
  return XMLElement("Attribute", Attr("Name", XMLEscape(Name)),
                    XMLElement("AttributeValue", {}, XMLEscape(Value)));
}

std::string LPSContext(std::string_view Now, std::string_view RPPS, std::string_view IDAM,
                       std::string_view Instance, std::string_view SoftwareName) {
  const std::string LPS = XMLElement("IDAM", Attr("R", "4"), XMLEscape(IDAM)) +
                          XMLElement("Version", {}, INSiLPSVersion) + TextElement("Instance", Instance) +
                          TextElement("Nom", SoftwareName);
  return XMLElement("ContexteLPS", Join(Attr("Version", "01_00"), XmlnsAttr("urn:siram:lps:ctxlps")),
                    XMLElement("Id", {}, NewUUIDText()) + TextElement("Temps", Now) +
                        TextElement("Emetteur", RPPS) + XMLElement("LPS", {}, LPS));
}

// XML Signature (W3C xmldsig-core1) enveloped in the assertion it signs.
std::string SignedAssertionHeader(Talven::IVaspoCNX* CNX, const Talven::TCertificat& Cert,
                                  std::string_view Now, std::string_view Before, std::string_view After,
                                  std::string_view ExtraAssertionMarkup) {
  const std::string Id = NewUUIDText();
  const std::string Attributes = AssertionAttributes(Id, Now);
  TC14NOptions Exclusive;
  Exclusive.Exclusive = true;
  const std::string Digest = Base64Encode(
      C14NDigestSHA256(XMLElement("Assertion", Attributes, std::string(Before) + std::string(After)), {}, Exclusive));

  const std::string Transforms =
      XMLElement("Transform", Attr("Algorithm", "http://www.w3.org/2000/09/xmldsig#enveloped-signature"), {}) +
      XMLElement("Transform", Attr("Algorithm", AlgExcC14N), {});
  const std::string SignedInfo = XMLElement(
      "SignedInfo", {},
      XMLElement("CanonicalizationMethod", Attr("Algorithm", AlgExcC14N), {}) +
          XMLElement("SignatureMethod", Attr("Algorithm", "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256"), {}) +
          XMLElement("Reference", Attr("URI", "#_" + Id),
                     XMLElement("Transforms", {}, Transforms) +
                         XMLElement("DigestMethod", Attr("Algorithm", "http://www.w3.org/2001/04/xmlenc#sha256"), {}) +
                         XMLElement("DigestValue", {}, Digest)));
  const std::string Hash = C14NDigestSHA256(SignedInfo, {XmlnsAttr(NsDSig)}, Exclusive);

  std::string_view Signature;
  const int Status = CNX ? CNX->SignHash(Hash, Signature) : -1;
  if (Status != 0 || Signature.empty())
    throw EINSiError("La carte n'a pas signé l'assertion (code " + std::to_string(Status) + ")");

  const std::string SignatureElement = XMLElement(
      "Signature", XmlnsAttr(NsDSig),
      SignedInfo + XMLElement("SignatureValue", {}, XMLEscape(Signature)) +
          XMLElement("KeyInfo", {},
                     XMLElement("X509Data", {},
                                XMLElement("X509Certificate", {}, Base64Encode(Cert.CertBytes)))));
  return XMLElement("Security", XmlnsAttr(NsWSSE),
                    XMLElement("Assertion", Attributes, std::string(Before) + SignatureElement + std::string(After)) +
                        std::string(ExtraAssertionMarkup));
}

std::string TINSiRequest::rechercherInsAvecCarteVitale(std::string_view NumSerie,
                                                       const TINSiBeneficiaire& Beneficiaire,
                                                       std::string_view NomNaissance) {
  try {
    Now = XSDTimeNow();
    const std::string Certifie(FirstChars(Beneficiaire.NirCertifie, 13));
    const std::string Assure(FirstChars(Beneficiaire.Nir, 13));
    const std::string Naissance = BeneficiaireBirthDate(Beneficiaire);
    const std::string Rang =
        Beneficiaire.RangDeNaissance > 0 ? std::to_string(Beneficiaire.RangDeNaissance) : "";

    std::string Coverage = XMLElement("ASSURE", {}, XMLElement("Id", {}, TextElement("Num", Assure)));
    if (!Certifie.empty() || !Naissance.empty() || !Rang.empty())
      Coverage += XMLElement("BENEFICIAIRE", {},
                             XMLElement("Nir", {}, TextElement("Num", Certifie)) +
                                 OptionalTextElement("DateNai", Naissance) +
                                 OptionalTextElement("Rang", Rang));

    std::string Serial(NumSerie);
    if (Serial.size() < 12) Serial.insert(0, 12 - Serial.size(), '0');
    const std::string VitaleAssertion = XMLElement(
        "Assertion", AssertionAttributes(NewUUIDText(), Now),
        TextElement("Issuer", RPPS) +
            XMLElement("Subject", {},
                       XMLElement("NameID", Attr("NameQualifier", "VITALE"), XMLEscape(Serial))));

    const std::string Header =
        ContexteBAM(Coverage) + WSAMessageID() + WSAElement("To", URL()) +
        WSAElement("Action", "urn:ServiceIdentiteCertifiee:1.0.0:rechercherInsAvecCarteVitale") +
        ContexteLPS() + SecurityHeader(VitaleAssertion);

    std::string Body;
    if (!Certifie.empty())
      Body += XMLElement("MatriculeIndividu", {}, TextElement("NumIdentifiant", Certifie));
    Body += XMLElement("MatriculeOD", {}, TextElement("NumIdentifiant", Assure));
    Body += OptionalTextElement("NomNaissance", NomNaissance) +
            OptionalTextElement("DateNaissance", Naissance) +
            OptionalTextElement("RangNaissance", Rang);
    return SOAPEnvelope(Header, XMLElement("RECVITALE", XmlnsAttr(BodyNamespace("/INSiRecVit")), Body));
  } catch (const std::exception& E) {
    Error = E.what();
    return {};
  }
}

std::string TINSiRequest::rechercherInsAvecTraitsIdentite(std::string_view NomNaissance,
                                                          std::string_view APrenom,
                                                          std::string_view ASexe,
                                                          std::string_view ADateNaissance,
                                                          std::string_view ALieuNaissance) {
  try {
    Now = XSDTimeNow();
    const std::string Header =
        ContexteBAM({}) + WSAMessageID() + WSAElement("To", URL()) +
        WSAElement("Action", "urn:ServiceIdentiteCertifiee:1.0.0:rechercherInsAvecTraitsIdentite") +
        ContexteLPS() + SecurityHeader();
    const std::string Body =
        TextElement("NomNaissance", NomNaissance) + TextElement("Prenom", APrenom) +
        TextElement("Sexe", ASexe) + TextElement("DateNaissance", ADateNaissance) +
        OptionalTextElement("LieuNaissance", INSiBirthplaceCode(ALieuNaissance));
    return SOAPEnvelope(Header,
                        XMLElement("RECSANSVITALE", XmlnsAttr(BodyNamespace("/INSiRecSans")), Body));
  } catch (const std::exception& E) {
    Error = E.what();
    return {};
  }
}

std::string TINSiRequest::verifierInsAvecTraitsIdentite(
    std::string_view AINS, std::string_view AOID, std::string_view NomNaissance,
    std::string_view APrenom, std::string_view ASexe, std::string_view ADateNaissance,
    std::string_view ALieuNaissance) {
  try {
    Now = XSDTimeNow();
    const std::string Header =
        ContexteBAM({}) + WSAMessageID() +
        WSAElement("Action",
                   "urn:ServiceVerificationIdentiteCertifiee:1.0.0:verifierInsAvecTraitsIdentite") +
        ContexteLPS() + SecurityHeader();
    const std::string Fourni = XMLElement(
        "INSFourni", {},
        XMLElement("ins:IdIndividu", {},
                   OptionalTextElement("ins:NumIdentifiant", FirstChars(AINS, 13)) +
                       OptionalTextElement("ins:Cle", MidChars(AINS, 14, 2))) +
            TextElement("ins:OID", AOID));
    const std::string Traits =
        OptionalTextElement("ins:NomNaissance", NomNaissance) +
        OptionalTextElement("ins:Prenom", APrenom) + OptionalTextElement("ins:Sexe", ASexe) +
        OptionalTextElement("ins:DateNaissance", ADateNaissance) +
        OptionalTextElement("ins:LieuNaissance", INSiBirthplaceCode(ALieuNaissance));
    const std::string Body = XMLElement(
        "RequeteUnitaire",
        Join(XmlnsAttr(BodyNamespace("/INSiLot2/REQueteUnitaire")),
             Attr("xmlns:ins", BodyNamespace("/MRA/INSSansDates"))),
        XMLElement("IndividuVerifie", {}, Fourni + XMLElement("TraitsIdentiteIndividu", {}, Traits)));
    return SOAPEnvelope(Header, Body);
  } catch (const std::exception& E) {
    Error = E.what();
    return {};
  }
}

int TINSiRequest::Response(std::string_view Answer) {
  Error.clear();
  // A request object may be reused: no trait of an earlier answer survives.
  INS.clear();
  OID.clear();
  Nom.clear();
  Prenom.clear();
  Prenoms.clear();
  Sexe.clear();
  DateNaissance.clear();
  LieuNaissance.clear();
  Individu.clear();

  TXMLTree Tree;
  Tree.BuildFrom(Answer);
  const PXMLNode Resultat = Tree.XPathNode("Envelope/Body/RESULTAT");
  const PXMLNode CodeCR = XPathNodeOf(Resultat, "CR/CodeCR");
  if (!CodeCR) {
    if (const PXMLNode Fault = Tree.XPathNode("Envelope/Body/Fault")) Error = FaultMessage(Fault);
    return INSiNoResult;
  }

  Error = TextAt(Resultat, "CR/LibelleCR");
  const std::string Code = CodeCR->Value();
  if (Code == "00") {
    const PXMLNode Ind = Resultat->GetChild("INDIVIDU");
    Individu = "<INDIVIDU>" + std::string(RawTextOf(Ind)) + "</INDIVIDU>";
    const PXMLNode Actif = ChildOf(Ind, "INSACTIF");
    if (!Actif) return INSiUnexpected;
    INS = TextAt(Actif, "IdIndividu/NumIdentifiant") + TextAt(Actif, "IdIndividu/Cle");
    OID = TextAt(Actif, "OID");
    if (IsTestCard() && OID != OIDINSNIR) OID = OIDINSNIRTest;
    const PXMLNode TIQ = Ind->GetChild("TIQ");
    Nom = TextAt(TIQ, "NomNaissance");
    Prenom = TextAt(TIQ, "Prenom");
    Prenoms = TextAt(TIQ, "ListePrenom");
    Sexe = TextAt(TIQ, "Sexe");
    DateNaissance = FrenchDate(TextAt(TIQ, "DateNaissance"));
    LieuNaissance = TextAt(TIQ, "LieuNaissance");
    Error.clear();
    return INSiFound;
  }
  if (Code == "01") return INSiNotFound;
  if (Code == "02") {
    if (Error.empty() || Error == "Plusieurs identites trouvees") Error = "Plusieurs identités trouvées";
    return INSiSeveral;
  }
  Error = "Erreur inattendue";
  return INSiUnexpected;
}

char TINSiRequest::INSType() const {
  const char Letter = Talven::INSTypeLetter(OID);
  return IsTestCard() && Letter == 'R' ? 'T' : Letter;
}

namespace {

// Latin-1 letters U+00C0..U+00FF: their base letter, a ligature's two
// letters, or "" for a letter the teleservice's alphabet has no base for.
constexpr std::array<std::string_view, 64> Latin1Letters = {
    "A", "A", "A", "A", "A", "A", "AE", "C",  // À Á Â Ã Ä Å Æ Ç
    "E", "E", "E", "E", "I", "I", "I",  "I",  // È É Ê Ë Ì Í Î Ï
    "",  "N", "O", "O", "O", "O", "O",  "",   // Ð Ñ Ò Ó Ô Õ Ö ×
    "",  "U", "U", "U", "U", "Y", "",   "",   // Ø Ù Ú Û Ü Ý Þ ß
    "A", "A", "A", "A", "A", "A", "AE", "C",  // à á â ã ä å æ ç
    "E", "E", "E", "E", "I", "I", "I",  "I",  // è é ê ë ì í î ï
    "",  "N", "O", "O", "O", "O", "O",  "",   // ð ñ ò ó ô õ ö ÷
    "",  "U", "U", "U", "U", "Y", "",   "Y",  // ø ù ú û ü ý þ ÿ
};

std::string_view LetterOf(char16_t C) {
  if (C >= u'A' && C <= u'Z') return std::string_view("ABCDEFGHIJKLMNOPQRSTUVWXYZ").substr(C - u'A', 1);
  if (C >= u'a' && C <= u'z') return std::string_view("ABCDEFGHIJKLMNOPQRSTUVWXYZ").substr(C - u'a', 1);
  if (C >= 0xC0 && C <= 0xFF) return Latin1Letters[C - 0xC0];
  if (C == 0x152 || C == 0x153) return "OE";  // Œ œ
  return {};
}

}  // namespace

std::string NormalizeINSiName(std::u16string_view Name) {
  std::string Out;
  Out.reserve(Name.size() * 2);
  for (char16_t C : Name) {
    if (C == 0x2019) C = u'\'';
    if (C == u' ') {
      if (!Out.empty() && Out.back() != ' ') Out += ' ';
    } else if (C == u'\'') {
      if (Out.empty() || Out.back() != '\'') Out += '\'';
    } else if (C == u'-') {
      if (!Out.empty()) Out += '-';
    } else {
      Out += LetterOf(C);
    }
  }
  while (!Out.empty() && Out.back() == ' ') Out.pop_back();
  return Out;
}

std::string INSiBirthplaceCode(std::string_view Code) {
  if (Code.size() == 5 && (Code.starts_with("2A") || Code.starts_with("2B"))) return {};
  return std::string(Code);
}

}  // namespace Vantrel
