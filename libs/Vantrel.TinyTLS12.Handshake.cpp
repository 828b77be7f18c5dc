// The handshake of the own TLS 1.2 engine (RFC 5246 §7). The server's
// messages are checked against a table of the expected order for the shape
// the ServerHello chose (ECDHE or RSA key exchange, each with an optional
// CertificateRequest); one driver (ExpectStep) walks it. Handshake messages
// may be split across records and are reassembled, bounded by
// MaxHandshakeMessage.
#include <algorithm>
#include <ctime>

#include "Vantrel.ByteReader.h"
#include "Vantrel.DER.Parser.h"
#include "Vantrel.TinyTLS12.h"
#include "Vantrel.WinSSPI.h"

namespace Vantrel {

// ---- Errors ----

void RaiseOverflow(std::string_view Text) { throw TLSAlert(2, 22, std::string(Text) + " overflow"); }
void RaiseDecodeError(std::string_view Text) { throw TLSAlert(2, 50, std::string(Text) + " decode error"); }
void RaiseHandshakeFailure(std::string_view Text) { throw TLSAlert(2, 40, std::string(Text) + " handshake failure"); }

namespace {

[[noreturn]] void Raise(const char* Text) { throw std::runtime_error(Text); }

// ---- Shapes ----

using S = THandshakeStep;
constexpr THandshakeStep EcdheSteps[] = {
    {S::Receive, htServerHello, false},        {S::Receive, htCertificate, false},
    {S::Receive, htServerKeyExchange, false},  {S::Receive, htCertificateRequest, true},
    {S::Receive, htServerHelloDone, false},    {S::SendClientFlight, 0, false},
    {S::ReceiveChangeCipherSpec, 0, false},    {S::Receive, htFinished, false},
};
constexpr THandshakeStep RsaSteps[] = {
    {S::Receive, htServerHello, false},      {S::Receive, htCertificate, false},
    {S::Receive, htCertificateRequest, true}, {S::Receive, htServerHelloDone, false},
    {S::SendClientFlight, 0, false},         {S::ReceiveChangeCipherSpec, 0, false},
    {S::Receive, htFinished, false},
};
constexpr THandshakeShape EcdheShape{EcdheSteps, std::size(EcdheSteps)};
constexpr THandshakeShape RsaShape{RsaSteps, std::size(RsaSteps)};

// ---- Suites ----

struct TSuite {
  uint16_t Code;
  int HashBits;  // PRF and MAC hash
  int KeyBits;
  bool GCM;
  bool RSAKeyExchange;
};
constexpr TSuite Suites[] = {
    {0x009C, 256, 128, true, true},   {0xC02F, 256, 128, true, false}, {0xC030, 384, 256, true, false},
    {0xC02C, 384, 256, true, false},  {0xC027, 256, 128, false, false}, {0xC028, 384, 256, false, false},
};

const TSuite* FindSuite(uint16_t Code) {
  for (const TSuite& Suite : Suites)
    if (Suite.Code == Code) return &Suite;
  return nullptr;
}

const char* AlertName(uint8_t Description) {
  switch (Description) {
    case 0: return " close_notify";
    case 10: return " unexpected_message";
    case 20: return " bad_record_mac";
    case 22: return " record_overflow";
    case 30: return " decompression_failure";
    case 40: return " handshake_failure";
    case 42: return " bad_certificate";
    case 43: return " unsupported_certificate";
    case 44: return " certificate_revoked";
    case 45: return " certificate_expired";
    case 46: return " certificate_unknown";
    case 47: return " illegal_parameter";
    case 48: return " unknown_ca";
    case 49: return " access_denied";
    case 50: return " decode_error";
    case 51: return " decrypt_error";
    case 60: return " export_restriction";
    case 70: return " protocol_version";
    case 71: return " insufficient_security";
    case 80: return " internal_error";
    case 90: return " user_canceled";
    case 100: return " no_renegotiation";
    case 110: return " unsupported_extension";
    default: return " unknown alert";
  }
}

const char* AttributeName(uint8_t X) {
  switch (X) {
    case 3: return "CN";
    case 4: return "SN";
    case 6: return "C";
    case 10: return "ORG";
    case 11: return "OU";
    case 12: return "T";
    case 42: return "GN";
    default: return nullptr;
  }
}

// One DER element: its tag and content (X.690 §8.1: short length form, or a
// long form of one or two bytes, enough for a name of a CertificateRequest).
// False when the element runs past its reader.
bool ReadElement(TByteReader& R, uint8_t& Tag, TByteReader& Content) {
  uint8_t L = 0;
  if (!R.ReadU8(Tag) || !R.ReadU8(L)) return false;
  size_t Length = L;
  if (L == 0x81 || L == 0x82) {
    uint16_t Long = 0;
    uint8_t Short = 0;
    if (!(L == 0x81 ? R.ReadU8(Short) : R.ReadU16(Long))) return false;
    Length = L == 0x81 ? Short : Long;
  } else if (L & 0x80) {
    return false;
  }
  return R.Sub(Length, Content);
}

// An attribute type as the text of a name: the X.520 short names, another
// X.520 attribute by its number, any other type in dotted form.
std::string AttributeTypeText(std::string_view Oid) {
  if (Oid.size() == 3 && Oid[0] == 0x55 && Oid[1] == 0x04) {
    const char* Known = AttributeName(uint8_t(Oid[2]));
    return Known ? Known : std::to_string(uint8_t(Oid[2]));
  }
  std::string Element = std::string("\x06", 1) + char(Oid.size()) + std::string(Oid);
  TDERChunk Whole = TDERChunk::Init(Element), Value;
  Whole.GetChunk(Value);
  return Value.AsOID();
}

// One DER Name of a CertificateRequest as "/CN=...", one "/type=value" per
// attribute in encoded order; a UTF8String value marks its type with ":".
// Character strings are copied as they are; a value of another type is "#"
// and its hexadecimal bytes (RFC 4514 §2.4). The texts are for the owner
// only: a name the engine cannot read well refuses the handshake only when
// its DER is broken.
std::string DistinguishedNameText(std::string_view Name) {
  TByteReader R(Name), Sequence;
  uint8_t Tag = 0;
  if (!ReadElement(R, Tag, Sequence)) RaiseOverflow("DistinguishedName");
  if (Tag != 0x30 || !R.Empty()) RaiseDecodeError("DistinguishedName");
  std::string Text;
  while (!Sequence.Empty()) {
    TByteReader Set;
    if (!ReadElement(Sequence, Tag, Set) || Tag != 0x31) RaiseOverflow("DistinguishedName");
    while (!Set.Empty()) {
      TByteReader Attribute, Oid, Value;
      uint8_t OidTag = 0, ValueTag = 0;
      std::string_view OidBytes, ValueBytes;
      bool Ok = ReadElement(Set, Tag, Attribute) && Tag == 0x30 && ReadElement(Attribute, OidTag, Oid) &&
                OidTag == 0x06 && Oid.Remaining() > 0 && Oid.Remaining() < 128 &&
                Oid.ReadBytes(Oid.Remaining(), OidBytes) && ReadElement(Attribute, ValueTag, Value) &&
                Attribute.Empty() && Value.ReadBytes(Value.Remaining(), ValueBytes);
      if (!Ok) RaiseDecodeError("DistinguishedName");
      try {
        Text += '/';
        Text += AttributeTypeText(OidBytes);
      } catch (const EDERError&) {
        RaiseDecodeError("DistinguishedName");
      }
      if (ValueTag == 0x0C) Text += ':';
      Text += '=';
      // UTF8, Numeric, Printable, Teletex, IA5 and Visible strings.
      constexpr std::string_view Strings = "\x0C\x12\x13\x14\x16\x1A";
      if (Strings.find(char(ValueTag)) != std::string_view::npos) {
        Text += ValueBytes;
      } else {
        static constexpr char Hex[] = "0123456789ABCDEF";
        Text += '#';
        for (char C : ValueBytes) {
          Text += Hex[uint8_t(C) >> 4];
          Text += Hex[uint8_t(C) & 15];
        }
      }
    }
  }
  return Text;
}

std::string_view AsBytes(const TRandom& R) { return {reinterpret_cast<const char*>(R.data()), R.size()}; }

std::shared_ptr<IHashAlgorithm> HashFor(int Bits) {
  if (Bits == 1) return std::make_shared<TSHA1Hash>();
  return std::make_shared<TSHA2Hash>(Bits);
}

}  // namespace

const THandshakeShape& EcdheHandshakeShape() { return EcdheShape; }
const THandshakeShape& RsaHandshakeShape() { return RsaShape; }

void IHashAlgorithm::PRF(std::string_view Label, std::string_view Random, std::string_view Secret,
                         std::string& Data, size_t Len) const {
  std::string Seed(Label);
  Seed.append(Random);
  PRF(Seed, Secret, Data, Len);
}

void IHashAlgorithm::PRF(std::string_view Label, const TRandom& Random1, const TRandom& Random2,
                         std::string_view Secret, std::string& Data, size_t Len) const {
  std::string Random(AsBytes(Random1));
  Random.append(AsBytes(Random2));
  PRF(Label, Random, Secret, Data, Len);
}

// ---- Engine ----

TTinyTLS::TTinyTLS()
    : FCipherSuites{0xC02C, 0xC030, 0xC02F, 0xC028, 0xC027},
      FCompressions{0},
      FSupportedGroups{TCurveName::secp256r1, TCurveName::secp384r1, TCurveName::x25519},
      FSignatures{0x0203, 0x0201, 0x0401, 0x0501} {
  RegisterTinyTLSEngine();
}

TTinyTLS::~TTinyTLS() { Reset(); }

void TTinyTLS::ClearHandshakeState() {
  FServerDone = false;
  FCertificates.clear();
  FKeyExchangeAlgorithm.reset();
  FCertificateTypes.clear();
  FSignatureSchemes.clear();
  FDistinguishedNames.clear();
}

void TTinyTLS::Reset() {
  FState = 0;
  FActive = false;
  FCipherSuite = 0;
  FCurve = TCurveName::NoCurve;
  WipeBytes(FHandShakeData);
  WipeBytes(FPending);
  FNewCipherAlgorithm.reset();
  FCipherEncode.reset();
  FCipherDecode.reset();
  FHashAlgorithm.reset();
  WipeBytes(FMasterSecret);
  FSessionID.clear();
  FFinish = {};
  FPubKey = TPublicKey();
  FCertificateRequested = false;
  FShape = nullptr;
  FStep = 0;
  WipeBytes(FOut);
  ClearHandshakeState();
}

void TTinyTLS::CertificateRequest(std::vector<std::string>& Certificates) {
  if (OnCertificateRequest) OnCertificateRequest(*this, Certificates);
}

void TTinyTLS::CertificateVerify(const std::string& Hash, std::string& Signature) {
  if (OnCertificateVerify) OnCertificateVerify(*this, Hash, Signature);
}

void TTinyTLS::SendHandshake(uint8_t Type, std::string_view Body) {
  if (Body.size() > 0xFFFFFF) Raise("Handshake overflow");
  TByteWriter W;
  W.PutU8(Type);
  W.PutU24(uint32_t(Body.size()));
  W.PutBytes(Body);
  FHandShakeData += W.Data();
  // RFC 5246 §6.2.1: a message larger than a record goes out in several.
  std::string_view Message = W.Data();
  do {
    size_t Take = std::min<size_t>(Message.size(), 16384);
    SendRecord(ctHandshake, Message.substr(0, Take));
    Message.remove_prefix(Take);
  } while (!Message.empty());
}

void TTinyTLS::SendClientHello() {
  FActive = false;
  FServerDone = false;
  FCertificateRequested = false;
  WipeBytes(FHandShakeData);
  WipeBytes(FPending);
  FShape = &EcdheShape;  // both shapes start alike; ServerHello picks the one
  FStep = 0;
  uint32_t Now = uint32_t(std::time(nullptr));
  for (int I = 0; I < 4; ++I) FClientRandom[size_t(I)] = uint8_t(Now >> (24 - 8 * I));
  GenRandomBytes(FClientRandom.data() + 4, 28);

  TByteWriter W;
  W.PutU16(TLS_VERSION_1_2);
  W.PutBytes(AsBytes(FClientRandom));
  W.PutU8(0);  // no session to resume
  size_t At = W.BeginLength(2);
  for (uint16_t Suite : FCipherSuites) W.PutU16(Suite);
  W.EndLength(At);
  At = W.BeginLength(1);
  for (uint8_t Method : FCompressions) W.PutU8(Method);
  W.EndLength(At);
  size_t Extensions = W.BeginLength(2);
  // server_name, RFC 6066 §3: always sent, also for an empty host.
  W.PutU16(0);
  At = W.BeginLength(2);
  size_t List = W.BeginLength(2);
  W.PutU8(0);
  size_t Name = W.BeginLength(2);
  W.PutBytes(FHost);
  W.EndLength(Name);
  W.EndLength(List);
  W.EndLength(At);
  if (!FSupportedGroups.empty()) {  // RFC 8422 §5.1.1
    W.PutU16(10);
    At = W.BeginLength(2);
    List = W.BeginLength(2);
    for (TCurveName Group : FSupportedGroups) W.PutU16(uint16_t(Group));
    W.EndLength(List);
    W.EndLength(At);
  }
  W.PutU16(11);  // ec_point_formats: uncompressed
  W.PutU16(2);
  W.PutU8(1);
  W.PutU8(0);
  if (!FSignatures.empty()) {  // RFC 5246 §7.4.1.4.1
    W.PutU16(13);
    At = W.BeginLength(2);
    List = W.BeginLength(2);
    for (uint16_t Scheme : FSignatures) W.PutU16(Scheme);
    W.EndLength(List);
    W.EndLength(At);
  }
  W.PutU16(0xFF01);  // renegotiation_info, RFC 5746 §3.4
  At = W.BeginLength(2);
  W.PutU8(FFinish.Len);
  W.PutBytes(std::string_view(reinterpret_cast<const char*>(FFinish.Client.data()), FFinish.Len));
  W.EndLength(At);
  W.EndLength(Extensions);
  SendHandshake(htClientHello, W.Data());
  FState |= psClientHello;
}

void TTinyTLS::ExpectStep(THandshakeStep::TKind Kind, uint8_t Type) {
  size_t Step = FStep;
  while (FShape && Step < FShape->Count) {
    const THandshakeStep& Expected = FShape->Steps[Step];
    if (Expected.Kind == Kind && (Kind != THandshakeStep::Receive || Expected.Type == Type)) {
      FStep = Step + 1;
      return;
    }
    if (!Expected.Optional) break;
    ++Step;
  }
  if (Kind == THandshakeStep::ReceiveChangeCipherSpec) RaiseHandshakeFailure("Unexpected Record");
  if (Kind == THandshakeStep::SendClientFlight) Raise("ServerHelloDone out of sync");
  switch (Type) {
    case htServerHello: RaiseHandshakeFailure("ServerHello out of sync");
    case htCertificate: RaiseHandshakeFailure("Certificates out of sync");
    case htServerHelloDone: Raise("ServerHelloDone out of sync");
    case htFinished: RaiseHandshakeFailure("Server Finished");
    default: Raise("Unexpected Handshake");
  }
}

void TTinyTLS::ProcessRecord(std::string_view Record) {
  TByteReader R(Record);
  TTLSRecord Rec;
  uint16_t Length = 0;
  if (!R.ReadU8(Rec.ContentType) || !R.ReadU16(Rec.Version) || !R.ReadU16(Length) ||
      !R.ReadBytes(Length, Rec.Fragment) || !R.Empty())
    Raise("Handshake overflow");
  if (Rec.Version != TLS_VERSION_1_2) RaiseHandshakeFailure("Not a TLS 1.2 message");
  if (FCipherDecode) FCipherDecode->Decrypt(Rec);
  switch (Rec.ContentType) {
    case ctChangeCipherSpec:
      // RFC 5246 §7.1: one byte of value 1, never inside a handshake message.
      if (Rec.Fragment.size() != 1 || Rec.Fragment[0] != 1 || !FPending.empty())
        RaiseHandshakeFailure("Unexpected Record");
      ExpectStep(THandshakeStep::ReceiveChangeCipherSpec, 0);
      FCipherDecode = FNewCipherAlgorithm;
      break;
    case ctAlert: ProcessAlert(Rec.Fragment); break;
    case ctHandshake: ProcessHandshakeBytes(Rec.Fragment); break;
    default: RaiseHandshakeFailure("Unexpected Record");
  }
}

void TTinyTLS::ProcessAlert(std::string_view Fragment) {
  TByteReader R(Fragment);
  TAlert Alert;
  if (!R.ReadU8(Alert.level) || !R.ReadU8(Alert.description)) Raise("Alert overflow");
  if (Alert.level != 1 && Alert.level != 2) Raise("Unknown alert level");
  std::string Message = Alert.level == 1 ? "warning" : "fatal";
  Message += AlertName(Alert.description);
  if (Alert.description == 40 && FState == psClientHello)
    Message = "CiperSuites or SignatureAlgorithms refused by server (" + Message + ")";
  if (Alert.description == 0) FActive = false;
  throw ETLSAlert(Alert, Message);
}

void TTinyTLS::ProcessHandshakeBytes(std::string_view Bytes) {
  if (Bytes.empty()) Raise("Handshake overflow");  // RFC 5246 §6.2.1: no empty fragments
  std::string Joined;
  if (!FPending.empty()) {
    Joined = std::move(FPending);
    FPending.clear();
    Joined.append(Bytes);
    Bytes = Joined;
  }
  TByteReader R(Bytes);
  while (R.Remaining() >= 4) {
    TByteReader Header = R;
    uint8_t Type = 0;
    uint32_t Length = 0;
    Header.ReadU8(Type);
    Header.ReadU24(Length);
    if (Length > MaxHandshakeMessage) Raise("Handshake overflow");
    if (Header.Remaining() < Length) break;  // the rest comes in the next record
    std::string_view Message;
    R.ReadBytes(4 + Length, Message);
    DispatchHandshake(Type, Message);
  }
  FPending.assign(R.Rest());
  WipeBytes(Joined);
}

void TTinyTLS::DispatchHandshake(uint8_t Type, std::string_view Message) {
  std::string_view Body = Message.substr(4);
  if (Type == htHelloRequest) {
    // RFC 5246 §7.4.1.1: not part of the transcript; no renegotiation follows.
    if (!Body.empty()) RaiseHandshakeFailure("ServerHello is not empty");
    if (FActive) ClearHandshakeState();
    FState |= psHelloRequest;
    return;
  }
  switch (Type) {
    case htServerHello:
    case htCertificate:
    case htServerKeyExchange:
    case htCertificateRequest:
    case htServerHelloDone:
    case htFinished: break;
    default: Raise("Unexpected Handshake");
  }
  if (Type == htServerHello) FState |= psServerHello;
  if (Type == htServerHelloDone) FState |= psServerHelloDone;
  ExpectStep(THandshakeStep::Receive, Type);
  switch (Type) {
    case htServerHello: ServerHello(Body); break;
    case htCertificate: Certificate(Body); break;
    case htServerKeyExchange: ServerKeyExchange(Body); break;
    case htCertificateRequest: CertificateRequestMessage(Body); break;
    case htServerHelloDone: ServerHelloDone(Body); break;
    default: Finished(Body); break;
  }
  FHandShakeData.append(Message);
}

void TTinyTLS::ServerHello(std::string_view Body) {
  TByteReader R(Body);
  uint16_t Version = 0, Suite = 0, ExtLength = 0;
  uint8_t SessionLength = 0, Compression = 0;
  std::string_view Random, Session;
  TByteReader Extensions;
  bool Ok = R.ReadU16(Version) && R.ReadBytes(32, Random) && R.ReadU8(SessionLength) && SessionLength <= 32 &&
            R.ReadBytes(SessionLength, Session) && R.ReadU16(Suite) && R.ReadU8(Compression);
  if (Ok && !R.Empty()) Ok = R.ReadU16(ExtLength) && R.Sub(ExtLength, Extensions);
  if (!Ok || !R.Empty()) RaiseOverflow("HelloServer");
  if (Compression != 0) RaiseHandshakeFailure("ServerHello compression");
  if (Version != TLS_VERSION_1_2) RaiseHandshakeFailure("Not a TLS 1.2 message");
  std::copy(Random.begin(), Random.end(), FServerRandom.begin());
  FSessionID.assign(Session);
  const TSuite* Chosen = FindSuite(Suite);
  if (!Chosen) Raise("Unsupported CipherSuite");
  // RFC 5246 §7.4.1.3: the suite must be one the client offered.
  if (std::find(FCipherSuites.begin(), FCipherSuites.end(), Suite) == FCipherSuites.end())
    RaiseHandshakeFailure("CipherSuite not offered");
  while (!Extensions.Empty()) {
    uint16_t Type = 0, Length = 0;
    TByteReader Data;
    if (!Extensions.ReadU16(Type) || !Extensions.ReadU16(Length) || !Extensions.Sub(Length, Data))
      RaiseOverflow("ServerHello Extensions");
    if (Type == 0xFF01) {
      // RFC 5746 §3.4: an empty renegotiated_connection on a first handshake.
      uint8_t Inner = 0xFF;
      if (Length != 1 || !Data.ReadU8(Inner) || Inner != 0) RaiseOverflow("RenegotiationInfo");
      FFinish.Len = 12;
    }
  }
  FCipherSuite = Suite;
  FHashAlgorithm = HashFor(Chosen->HashBits);
  if (Chosen->GCM)
    FNewCipherAlgorithm = std::make_shared<TAESCipherGCM>(Chosen->KeyBits, false);
  else
    FNewCipherAlgorithm = std::make_shared<TAESCipherCBC>(Chosen->KeyBits, HashFor(Chosen->HashBits), false);
  FShape = Chosen->RSAKeyExchange ? &RsaShape : &EcdheShape;
}

void TTinyTLS::Certificate(std::string_view Body) {
  TByteReader R(Body);
  uint32_t ListLength = 0;
  if (!R.ReadU24(ListLength) || ListLength != R.Remaining()) RaiseOverflow("Certificates");
  std::vector<std::string> Certificates;
  while (!R.Empty()) {
    uint32_t Length = 0;
    std::string_view DER;
    if (!R.ReadU24(Length) || !R.ReadBytes(Length, DER)) RaiseOverflow("Certificate");
    Certificates.emplace_back(DER);
  }
  TPublicKey Key;
  if (Certificates.empty() || TPublicKey::FromCertificate(Certificates[0], Key) != STATUS_SUCCESS)
    RaiseHandshakeFailure("CertCreateCertificateContext fails to load the certificate");
  FCertificates = std::move(Certificates);
  FPubKey = Key;
  uint32_t Status = 0;
  VerifyServerChain(FCertificates, FHost, Status);  // a check that cannot be made gives TRUST_E_FAIL
  if (Status != 0 && OnVerifyServer) OnVerifyServer(*this, FCertificates, Status);
  if (Status != 0) throw ECertException("Invalid certificate", Status);
  if (FShape == &RsaShape) FKeyExchangeAlgorithm = std::make_unique<TRSAClientKeyExchange>(FPubKey);
}

void TTinyTLS::ServerKeyExchange(std::string_view Body) {
  // RFC 8422 §5.4: ECParameters, ECPoint, then the signature over both randoms and them.
  TByteReader R(Body);
  uint8_t CurveType = 0, PointLength = 0;
  uint16_t Curve = 0, Scheme = 0, SignatureLength = 0;
  std::string_view Point, Signature;
  bool Ok = R.ReadU8(CurveType) && R.ReadU16(Curve) && R.ReadU8(PointLength) && R.ReadBytes(PointLength, Point) &&
            R.ReadU16(Scheme) && R.ReadU16(SignatureLength) && R.ReadBytes(SignatureLength, Signature) && R.Empty();
  if (!Ok) Raise("ServerKeyExchange overflow");
  if (CurveType != 3) RaiseHandshakeFailure("Named curve expected");
  if (std::find(FSignatures.begin(), FSignatures.end(), Scheme) == FSignatures.end())
    RaiseHandshakeFailure("Signature Algorithm");
  std::string Signed(AsBytes(FClientRandom));
  Signed.append(AsBytes(FServerRandom));
  Signed.append(Body.substr(0, size_t(PointLength) + 4));
  CheckStatus(FPubKey.Verify(Scheme, Signed, Signature));
  auto Group = TCurveName(Curve);
  if (std::find(FSupportedGroups.begin(), FSupportedGroups.end(), Group) == FSupportedGroups.end())
    RaiseHandshakeFailure("Unsupported Curve");
  FKeyExchangeAlgorithm = std::make_unique<TECDHE_RSAKeyExchange>(Group, Point);
  FCurve = Group;
}

void TTinyTLS::CertificateRequestMessage(std::string_view Body) {
  // RFC 5246 §7.4.4.
  if (Body.empty()) Raise("CertificateRequest overflow");
  TByteReader R(Body);
  uint8_t TypesLength = 0;
  uint16_t SchemesLength = 0, NamesLength = 0;
  std::string_view Types;
  TByteReader Schemes, Names;
  if (!R.ReadU8(TypesLength) || !R.ReadBytes(TypesLength, Types) || !R.ReadU16(SchemesLength) ||
      SchemesLength % 2 != 0 || !R.Sub(SchemesLength, Schemes) || !R.ReadU16(NamesLength) ||
      !R.Sub(NamesLength, Names) || !R.Empty())
    Raise("CertificateRequest overflow");
  FCertificateTypes.assign(Types);
  FSignatureSchemes.clear();
  for (uint16_t Scheme = 0; Schemes.ReadU16(Scheme);) FSignatureSchemes.push_back(Scheme);
  FDistinguishedNames.clear();
  while (!Names.Empty()) {
    uint16_t Length = 0;
    std::string_view Name;
    if (!Names.ReadU16(Length) || !Names.ReadBytes(Length, Name)) RaiseOverflow("DistinguishedName");
    FDistinguishedNames.push_back(DistinguishedNameText(Name));
  }
  FCertificateRequested = true;
}

void TTinyTLS::ServerHelloDone(std::string_view Body) {
  if (!Body.empty()) RaiseOverflow("ServerHelloDone");
  if (!FKeyExchangeAlgorithm) RaiseHandshakeFailure("KeyExchangeAlgorithm");
  FServerDone = true;
}

void TTinyTLS::SendKeyExchangeAndFinished() {
  ExpectStep(THandshakeStep::SendClientFlight, 0);
  FHoldOutput = true;
  struct TRelease {
    TTinyTLS& TLS;
    ~TRelease() { TLS.FHoldOutput = false; }
  } Release{*this};
  std::vector<std::string> Chain;
  if (FCertificateRequested) {
    CertificateRequest(Chain);
    TByteWriter W;  // RFC 5246 §7.4.6
    size_t List = W.BeginLength(3);
    for (const std::string& DER : Chain) {
      if (DER.size() > 0xFFFFFF) Raise("Certificate overflow");
      W.PutU24(uint32_t(DER.size()));
      W.PutBytes(DER);
    }
    if (W.Size() - 3 > 0xFFFFFF) Raise("Certificate overflow");
    W.EndLength(List);
    SendHandshake(htCertificate, W.Data());
  }
  SendHandshake(htClientKeyExchange, FKeyExchangeAlgorithm->ClientKey());

  if (FCertificateRequested && !Chain.empty()) {
    // RFC 5246 §7.4.8: sign with a scheme the server asked for, SHA-1 first
    // (what the card is used to), then SHA-256, then SHA-384.
    static constexpr struct {
      uint16_t Scheme;
      int Bits;
    } Choices[] = {{0x0201, 1}, {0x0401, 256}, {0x0501, 384}};
    const auto* Choice = std::find_if(std::begin(Choices), std::end(Choices), [this](const auto& C) {
      return std::find(FSignatureSchemes.begin(), FSignatureSchemes.end(), C.Scheme) != FSignatureSchemes.end();
    });
    if (Choice == std::end(Choices)) RaiseHandshakeFailure("Signature Algorithm");
    std::string Digest = HashFor(Choice->Bits)->Hash(FHandShakeData.data(), FHandShakeData.size());
    std::string Signature;
    CertificateVerify(Digest, Signature);
    TPublicKey ClientKey;
    size_t Expected = TPublicKey::FromCertificate(Chain[0], ClientKey) == STATUS_SUCCESS ? ClientKey.Size() : 0;
    if (!Signature.empty() && Signature.size() <= 0xFFFF && (!Expected || Signature.size() == Expected)) {
      TByteWriter W;
      W.PutU16(Choice->Scheme);
      W.PutU16(uint16_t(Signature.size()));
      W.PutBytes(Signature);
      SendHandshake(htCertificateVerify, W.Data());
    }
  }
  SendRecord(ctChangeCipherSpec, std::string_view("\x01", 1));

  // RFC 5246 §8.1 and §7.4.9.
  FHashAlgorithm->PRF("master secret", FClientRandom, FServerRandom, FKeyExchangeAlgorithm->PreMasterSecret(),
                      FMasterSecret, 48);
  std::string Hash = FHashAlgorithm->Hash(FHandShakeData.data(), FHandShakeData.size());
  std::string VerifyData;
  FHashAlgorithm->PRF("client finished", Hash, FMasterSecret, VerifyData, 12);
  std::copy(VerifyData.begin(), VerifyData.end(), FFinish.Client.begin());
  FNewCipherAlgorithm->SetMasterSecret(FClientRandom, FServerRandom, FMasterSecret, *FHashAlgorithm);
  FCipherEncode = FNewCipherAlgorithm;
  SendHandshake(htFinished, VerifyData);
  FHoldOutput = false;
  FlushOutput();
}

void TTinyTLS::Finished(std::string_view Body) {
  if (Body.size() != 12) Raise("Finished overflow");
  std::string Hash = FHashAlgorithm->Hash(FHandShakeData.data(), FHandShakeData.size());
  std::string Expected;
  FHashAlgorithm->PRF("server finished", Hash, FMasterSecret, Expected, 12);
  std::copy(Expected.begin(), Expected.end(), FFinish.Server.begin());
  if (!ConstantTimeEqual(Expected, Body)) RaiseHandshakeFailure("Server Finished");
  FActive = true;
}

}  // namespace Vantrel
