// The signature document of an XDS.b submission (IHE Document Digital
// Signature): an XML-DSig signature (RSA-SHA1, Canonical XML 1.0 with
// comments) with XAdES 1.1.1 qualifying properties, whose signed ds:Manifest
// lists the submission set and the filed document(s) by OID and digest.
//
// The private key never comes here: the builder hands the SHA-1 digest of
// the canonical ds:SignedInfo to the Sign callback of TXDSbInfo (the card
// session, or a software key in tests), which answers the Base64 RSA
// PKCS #1 v1.5 signature over the DigestInfo of that digest (RFC 8017 §9.2;
// PKCS1DigestInfo builds it).
//
// The signer's chain for the SigningCertificate block is built from the
// program's trust store (BuildCertificateChain of Vantrel.WinSSPI): as far as
// the store reaches, end-entity first, never refused for trust; the server
// judges the chain.
//
// Escaping: identifiers (OIDs) are escaped where they are inserted; the
// signature text and the references text of a batch are markup.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "Vantrel.DateTime.h"

namespace Vantrel {

// Submission-set texts (plain text).
struct TLotInfo {
  std::string Name;
  std::string Title;
  std::string Comment;
};

// Hash: the 20-byte SHA-1 (or 32-byte SHA-256) digest to sign; Signature:
// the Base64 of the RSA PKCS #1 v1.5 signature over its DigestInfo. 0 for
// success, any other value is handed back to the caller of the builder.
using TXAdESSignProc = std::function<int(const std::string& Hash, std::string& Signature)>;

// What a submission is written from. TCDAInfo and TDOCInfo are the service
// model's document records (this library reads their fields: NowUTC,
// CreateDate, Patient, Porteur, Activite, ... and DocID, Format).
template <class TCDAInfo, class TDOCInfo>
struct TXDSbInfo {
  TCDAInfo CDA;             // CDA.NowUTC is the signing reference time
  TDOCInfo DOC;             // DOC.DocID: the document's unique identifier (OID)
  std::string SubId;        // the submission set's unique identifier (OID)
  std::string SignId;       // the signature document's unique identifier, and the signature's Id
  std::string ReplaceUuid;  // entry identifier of the replaced document, or ""
  std::string Certificat;   // the signer's certificate, DER
  TLotInfo Lot;
  TXAdESSignProc Sign;
};

// The DER DigestInfo of a SHA-1 (20 bytes), SHA-256 (32) or SHA-384 (48) digest,
// chosen by its length (RFC 8017 §9.2 note 1); std::invalid_argument for
// any other length.
std::string PKCS1DigestInfo(std::string_view Hash);

// One Cert block (XAdES 1.1.1 CertDigest + IssuerSerial) per certificate of
// the chain of the DER certificate, end-entity first. 0, -1 (the certificate
// cannot be decoded), -2 (the chain cannot be built) or -3 (empty chain).
int SigningCertificateXML(std::string_view CertificateDER, std::string& Text);

// The X.500 text of an issuer as the signature writes it: blanks after
// commas removed, then "G=" written " GN=" and "S=" written " ST=" (every
// occurrence). Name is CertNameText's X.500 form, reversed, no '+' joins.
std::string NormalizeIssuerName(std::string_view Name);

// The decimal text of an unsigned integer given little-endian, no leading
// zeros ("0" for zero or no bytes).
std::string SerialNumberDecimal(std::span<const uint8_t> LittleEndian);

// The ds:Reference of one filed document: URI "urn:oid:" + DocID, the C14N
// with comments transform, SHA-1, and the digest of the document's canonical
// form. Parse errors of the document pass to the caller.
std::string XAdESDocumentReference(std::string_view DocID, std::string_view Document);

namespace detail {
struct TXAdESParams {
  TDateTime NowUTC = 0;
  std::string_view SubId;
  std::string_view SignId;
  std::string_view Certificat;
  const TXAdESSignProc* Sign = nullptr;
};
int SignXAdES(const TXAdESParams& P, std::string_view DocID, std::string_view Document,
              std::string& Out);
int SignLotXAdES(const TXAdESParams& P, std::string_view ReferencesMarkup, std::string& Out);

template <class TInfo>
TXAdESParams XAdESParams(const TInfo& Info) {
  return {Info.CDA.NowUTC, Info.SubId, Info.SignId, Info.Certificat, &Info.Sign};
}
}  // namespace detail

// The signature document of one filed document (Document: the CDA text as
// sent). 0 on success; -1, -2, -3 as SigningCertificateXML; otherwise the
// Sign callback's non-zero result. Out is written only on success.
template <class TCDAInfo, class TDOCInfo>
int SignDocumentXAdES(const TXDSbInfo<TCDAInfo, TDOCInfo>& Info, std::string_view Document,
                      std::string& Out) {
  return detail::SignXAdES(detail::XAdESParams(Info), Info.DOC.DocID, Document, Out);
}

// The same for a batch: ReferencesMarkup holds one XAdESDocumentReference
// per document, in the order of the documents.
template <class TCDAInfo, class TDOCInfo>
int SignLotDocumentsXAdES(const TXDSbInfo<TCDAInfo, TDOCInfo>& Info,
                          std::string_view ReferencesMarkup, std::string& Out) {
  return detail::SignLotXAdES(detail::XAdESParams(Info), ReferencesMarkup, Out);
}

}  // namespace Vantrel
