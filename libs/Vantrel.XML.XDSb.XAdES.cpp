#include "Vantrel.XML.XDSb.XAdES.h"

#include <openssl/x509.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "Vantrel.SHA1.h"
#include "Vantrel.SOAP.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.WinSSPI.h"
#include "Vantrel.XML.c14n.h"

namespace Vantrel {

namespace {

constexpr std::string_view DsNamespace = "xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"";
constexpr std::string_view XAdESNamespace = "xmlns=\"http://uri.etsi.org/01903/v1.1.1#\"";
constexpr std::string_view SHA1Method = "Algorithm=\"http://www.w3.org/2000/09/xmldsig#sha1\"";
constexpr std::string_view C14NWithComments =
    "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315#WithComments\"";

struct TX509Free {
  void operator()(X509* C) const { X509_free(C); }
};
using TX509 = std::unique_ptr<X509, TX509Free>;

std::string IssuerText(X509* Cert) {
  unsigned char* Buf = nullptr;
  int Len = i2d_X509_NAME(X509_get_issuer_name(Cert), &Buf);
  if (Len <= 0) return {};
  std::string DER(reinterpret_cast<const char*>(Buf), size_t(Len));
  OPENSSL_free(Buf);
  return CertNameText(DER, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG |
                               CERT_NAME_STR_NO_PLUS_FLAG);
}

std::string SerialText(X509* Cert) {
  const ASN1_INTEGER* Serial = X509_get0_serialNumber(Cert);
  const unsigned char* Data = ASN1_STRING_get0_data(Serial);
  std::vector<uint8_t> LittleEndian(Data, Data + ASN1_STRING_length(Serial));
  std::reverse(LittleEndian.begin(), LittleEndian.end());
  return SerialNumberDecimal(LittleEndian);
}

// The Cert block of one certificate of the chain (DER).
std::string CertBlock(std::string_view DER) {
  const auto* P = reinterpret_cast<const unsigned char*>(DER.data());
  TX509 Cert(d2i_X509(nullptr, &P, long(DER.size())));
  if (!Cert) throw std::runtime_error("unreadable certificate in the signer's chain");
  const std::string Digest =
      XMLElement("CertDigest", {},
                 XMLElement("DigestMethod", SHA1Method, {}) +
                     XMLElement("DigestValue", {}, SHA1Base64(DER)));
  const std::string Issuer =
      XMLElement("IssuerSerial", {},
                 XMLElement("ds:X509IssuerName", {}, XMLEscape(NormalizeIssuerName(IssuerText(Cert.get())))) +
                     XMLElement("ds:X509SerialNumber", {}, SerialText(Cert.get())));
  return XMLElement("Cert", {}, Digest + Issuer);
}

std::string Reference(std::string_view Attributes, std::string_view TransformsMarkup,
                      std::string_view DigestValue) {
  return XMLElement("ds:Reference", Attributes,
                    std::string(TransformsMarkup) + XMLElement("ds:DigestMethod", SHA1Method, {}) +
                        XMLElement("ds:DigestValue", {}, DigestValue));
}

std::string URIAttr(std::string_view Prefix, std::string_view Id) {
  return "URI=\"" + XMLEscape(std::string(Prefix) + std::string(Id)) + "\"";
}

constexpr double OneSecond = 1.0 / 86400;

// DocumentReferences is asked for once the signer's chain is written, so
// that certificate failures come before document errors.
int Sign(const detail::TXAdESParams& P, const std::function<std::string()>& DocumentReferences,
         std::string& Out) {
  if (!P.Sign || !*P.Sign) throw std::invalid_argument("no signing callback");
  std::string CertBlocks;
  if (int R = SigningCertificateXML(P.Certificat, CertBlocks); R != 0) return R;
  const std::vector<std::string> Ds = {std::string(DsNamespace)};
  // The submission set is referenced with a fixed placeholder digest.
  const std::string Manifest =
      XMLElement("ds:Manifest", "Id=\"IHEManifest\"",
                 Reference(URIAttr("urn:oid:", P.SubId), {}, "AA==") + DocumentReferences());
  const std::string ManifestDigest = C14NDigestBase64(Manifest, Ds);

  const std::string SignedProperties = XMLElement(
      "SignedProperties", "Id=\"SignedPropertiesId\"",
      XMLElement("SignedSignatureProperties", {},
                 XMLElement("SigningTime", {}, XSDTime(P.NowUTC - OneSecond)) +
                     XMLElement("SigningCertificate", {}, CertBlocks) +
                     XMLElement("SignaturePolicyIdentifier", {},
                                XMLElement("SignaturePolicyImplied", {}, {}))) +
          XMLElement("SignedDataObjectProperties", {}, {}));
  const std::string PropertiesDigest =
      C14NDigestBase64(SignedProperties, {std::string(XAdESNamespace), std::string(DsNamespace)});

  const std::string SignedInfo = XMLElement(
      "ds:SignedInfo", {},
      XMLElement("ds:CanonicalizationMethod", C14NWithComments, {}) +
          XMLElement("ds:SignatureMethod",
                     "Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"", {}) +
          Reference("Type=\"http://www.w3.org/2000/09/xmldsig#Manifest\" URI=\"#IHEManifest\"", {},
                    ManifestDigest) +
          Reference("Type=\"http://uri.etsi.org/01903/v1.1.1#SignedProperties\" "
                    "URI=\"#SignedPropertiesId\"",
                    {}, PropertiesDigest));
  const std::string Hash = C14NDigestSHA1(SignedInfo, Ds);

  std::string SignatureText;
  if (int R = (*P.Sign)(Hash, SignatureText); R != 0) return R;

  const std::string SignId = XMLEscape(P.SignId);
  std::string S = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
  S += XMLElement(
      "ds:Signature", std::string(DsNamespace) + " Id=\"" + SignId + "\"",
      SignedInfo + XMLElement("ds:SignatureValue", {}, XMLEscape(SignatureText)) +
          XMLElement("ds:KeyInfo", {},
                     XMLElement("ds:X509Data", {},
                                XMLElement("ds:X509Certificate", {}, Base64Encode(P.Certificat)))) +
          XMLElement("ds:Object", {}, Manifest) +
          XMLElement("ds:Object", {},
                     XMLElement("ds:SignatureProperties", {},
                                XMLElement("ds:SignatureProperty",
                                           "Id=\"purposeOfSignature\" Target=\"#" + SignId + "\"",
                                           "1.2.840.10065.1.12.1.14"))) +
          XMLElement("ds:Object", {},
                     XMLElement("QualifyingProperties",
                                std::string(XAdESNamespace) + " Target=\"#" + SignId + "\"",
                                SignedProperties +
                                    XMLElement("UnsignedProperties", {},
                                               XMLElement("UnsignedSignatureProperties", {}, {})))));
  Out = std::move(S);
  return 0;
}

}  // namespace

std::string PKCS1DigestInfo(std::string_view Hash) {
  // DER prefixes of DigestInfo for SHA-1, SHA-256 and SHA-384 (RFC 8017 §9.2, note 1).
  static constexpr unsigned char SHA1Prefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                                 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
  static constexpr unsigned char SHA256Prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                   0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                   0x01, 0x05, 0x00, 0x04, 0x20};
  static constexpr unsigned char SHA384Prefix[] = {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                   0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                   0x02, 0x05, 0x00, 0x04, 0x30};
  std::string S;
  if (Hash.size() == 20)
    S.assign(reinterpret_cast<const char*>(SHA1Prefix), sizeof SHA1Prefix);
  else if (Hash.size() == 32)
    S.assign(reinterpret_cast<const char*>(SHA256Prefix), sizeof SHA256Prefix);
  else if (Hash.size() == 48)
    S.assign(reinterpret_cast<const char*>(SHA384Prefix), sizeof SHA384Prefix);
  else
    throw std::invalid_argument("Invalide Hash");
  S += Hash;
  return S;
}

int SigningCertificateXML(std::string_view CertificateDER, std::string& Text) {
  // As far as the trust store reaches, whatever the trust: the server judges
  // the signer.
  std::vector<std::string> Chain;
  if (int R = BuildCertificateChain(CertificateDER, Chain); R != 0) return R;
  std::string Blocks;
  for (const std::string& DER : Chain) Blocks += CertBlock(DER);
  Text = std::move(Blocks);
  return 0;
}

std::string NormalizeIssuerName(std::string_view Name) {
  std::string S;
  S.reserve(Name.size() + 16);
  for (size_t I = 0; I < Name.size(); ++I) {
    if (Name[I] == ' ' && I > 0 && Name[I - 1] == ',') {
      // every blank right after a comma goes
      while (I < Name.size() && Name[I] == ' ') ++I;
      if (I == Name.size()) break;
    }
    S += Name[I];
  }
  auto ReplaceAll = [](std::string& T, std::string_view From, std::string_view To) {
    for (size_t P = T.find(From); P != std::string::npos; P = T.find(From, P + To.size()))
      T.replace(P, From.size(), To);
  };
  ReplaceAll(S, "G=", " GN=");
  ReplaceAll(S, "S=", " ST=");
  return S;
}

std::string SerialNumberDecimal(std::span<const uint8_t> LittleEndian) {
  // Base-10 digits, least significant first; each byte, most significant
  // first, multiplies the number by 256 and adds itself.
  std::vector<uint8_t> Digits;
  Digits.reserve(LittleEndian.size() * 241 / 100 + 1);
  for (size_t I = LittleEndian.size(); I-- > 0;) {
    unsigned Carry = LittleEndian[I];
    for (uint8_t& D : Digits) {
      unsigned V = unsigned(D) * 256 + Carry;
      D = uint8_t(V % 10);
      Carry = V / 10;
    }
    for (; Carry; Carry /= 10) Digits.push_back(uint8_t(Carry % 10));
  }
  if (Digits.empty()) return "0";
  std::string S;
  S.reserve(Digits.size());
  for (size_t I = Digits.size(); I-- > 0;) S += char('0' + Digits[I]);
  return S;
}

std::string XAdESDocumentReference(std::string_view DocID, std::string_view Document) {
  // The digest follows the transform it declares: Canonical XML with comments.
  TC14NOptions Options;
  Options.WithComments = true;
  return Reference(URIAttr("urn:oid:", DocID),
                   XMLElement("ds:Transforms", {}, XMLElement("ds:Transform", C14NWithComments, {})),
                   C14NDigestBase64(Document, {}, Options));
}

namespace detail {

int SignXAdES(const TXAdESParams& P, std::string_view DocID, std::string_view Document,
              std::string& Out) {
  return Sign(P, [&] { return XAdESDocumentReference(DocID, Document); }, Out);
}

int SignLotXAdES(const TXAdESParams& P, std::string_view ReferencesMarkup, std::string& Out) {
  return Sign(P, [&] { return std::string(ReferencesMarkup); }, Out);
}

}  // namespace detail

}  // namespace Vantrel
