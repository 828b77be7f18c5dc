#include "Vantrel.SOAP.h"

#include <charconv>
#include <cmath>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "Vantrel.Winapi.BCrypt.h"

namespace Vantrel {

namespace {

constexpr std::string_view WSANamespace = "xmlns=\"http://www.w3.org/2005/08/addressing\"";

// name="escaped value"
std::string Attr(std::string_view Name, std::string_view Value) {
  std::string S;
  S.reserve(Name.size() + Value.size() + 3);
  S += Name;
  S += "=\"";
  S += XMLAttributeEscape(Value);
  S += '"';
  return S;
}

std::string Attrs(std::initializer_list<std::pair<std::string_view, std::string_view>> List) {
  std::string S;
  for (const auto& [Name, Value] : List) {
    if (!S.empty()) S += ' ';
    S += Attr(Name, Value);
  }
  return S;
}

std::mutex SourceLock;
std::shared_ptr<const TServiceTimeSource> Source;

}  // namespace

// ---- Element texts ----

std::string XMLElement(std::string_view Name, std::string_view Attributes,
                       std::string_view Content) {
  std::string S;
  S.reserve(2 * Name.size() + Attributes.size() + Content.size() + 6);
  S += '<';
  S += Name;
  if (!Attributes.empty()) {
    S += ' ';
    S += Attributes;
  }
  if (Content.empty()) {
    S += "/>";
  } else {
    S += '>';
    S += Content;
    S += "</";
    S += Name;
    S += '>';
  }
  return S;
}

std::string XMLOptionalElement(std::string_view Name, std::string_view Attributes,
                               std::string_view Content) {
  return Content.empty() ? std::string() : XMLElement(Name, Attributes, Content);
}

std::string XMLOptionalElementW(std::string_view Name, std::string_view Attributes,
                                std::u16string_view Value) {
  return XMLOptionalElement(Name, Attributes, UTF16ToUTF8(Value));
}

std::string XMLElementOrNASK(std::string_view Name, std::string_view Attributes,
                             std::u16string_view Value, bool Flag) {
  if (!Value.empty() || !Flag) return XMLOptionalElementW(Name, Attributes, Value);
  if (Attributes.empty()) return XMLElement(Name, {}, {});
  return XMLElement(Name, std::string(Attributes) + " nullFlavor=\"NASK\"", {});
}

std::string XMLEscape(std::string_view Text) {
  size_t Extra = 0;
  for (char C : Text) {
    switch (C) {
      case '"': Extra += 5; break;
      case '&': Extra += 4; break;
      case '<':
      case '>': Extra += 3; break;
      default: break;
    }
  }
  if (!Extra) return std::string(Text);
  std::string S(Text.size() + Extra, '\0');
  size_t J = S.size();
  auto Put = [&](std::string_view Entity) {
    J -= Entity.size();
    S.replace(J, Entity.size(), Entity);
  };
  for (size_t I = Text.size(); I-- > 0;) {
    switch (Text[I]) {
      case '"': Put("&quot;"); break;
      case '&': Put("&amp;"); break;
      case '<': Put("&lt;"); break;
      case '>': Put("&gt;"); break;
      default: S[--J] = Text[I]; break;
    }
  }
  return S;
}

std::string XMLEscape(std::string&& Text) {
  if (Text.find_first_of("\"&<>") == std::string::npos) return std::move(Text);
  return XMLEscape(std::string_view(Text));
}

std::string XMLEscapeW(std::u16string_view Text) { return XMLEscape(UTF16ToUTF8(Text)); }

std::string XMLAttributeEscape(std::string_view Text) {
  std::string Escaped = XMLEscape(Text);
  if (Escaped.find_first_of("\t\n\r") == std::string::npos) return Escaped;
  std::string S;
  S.reserve(Escaped.size() + 16);
  for (char C : Escaped) {
    switch (C) {
      case '\t': S += "&#9;"; break;
      case '\n': S += "&#10;"; break;
      case '\r': S += "&#13;"; break;
      default: S += C; break;
    }
  }
  return S;
}

std::string IntToXMLStr(int64_t Value) {
  char Buf[24];
  auto R = std::to_chars(Buf, Buf + sizeof Buf, Value);
  return std::string(Buf, R.ptr);
}

// ---- SOAP 1.2 and WS-* blocks ----

std::string SOAPEnvelope(std::string_view HeaderMarkup, std::string_view BodyMarkup,
                         std::string_view ExtraAttributesMarkup) {
  std::string Attributes =
      "xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"";
  Attributes += ExtraAttributesMarkup;
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>" +
         XMLElement("soap:Envelope", Attributes,
                    XMLElement("soap:Header", {}, HeaderMarkup) +
                        XMLElement("soap:Body", {}, BodyMarkup));
}

std::string WSAMessageID() {
  return XMLElement("MessageID", WSANamespace, "uuid:" + NewUUIDText());
}

std::string WSAddressingHeader(std::string_view Service, std::string_view Operation,
                               std::string_view Destination) {
  constexpr std::string_view Anonymous =
      "<Address>http://www.w3.org/2005/08/addressing/anonymous</Address>";
  const std::string_view Ns = WSANamespace;
  std::string Action(Service);
  Action += ':';
  Action += Operation;
  return WSAMessageID() + XMLElement("To", Ns, XMLEscape(Destination)) +
         XMLElement("ReplyTo", Ns, Anonymous) + XMLElement("FaultTo", Ns, Anonymous) +
         XMLElement("Action", Ns, XMLEscape(std::move(Action)));
}

std::string WSAddressingPatientSpecific(std::string_view Operation, std::string_view Destination) {
  return WSAddressingHeader("urn:si-dmp-patients:PatientSpecificEndPoint", Operation, Destination);
}

std::string WSAddressingHabilitations(std::string_view Operation, std::string_view Destination) {
  return WSAddressingHeader("urn:si-dmp-habilitations:HabilitationsEndPoint", Operation,
                            Destination);
}

std::string WSSecurityHeader(std::string_view AssertionMarkup) {
  return XMLElement(
      "wsse:Security",
      "xmlns:wsse=\"http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd\"",
      AssertionMarkup);
}

// ---- Identifiers ----

namespace {

template <class Char>
TGUID OIDToGUID(std::basic_string_view<Char> OID) {
  std::array<uint8_t, 16> Acc{};  // little-endian
  for (size_t I = 5; I < OID.size(); ++I) {
    // Not validated: a non-digit contributes its code minus '0', kept to a byte.
    unsigned Carry = uint8_t(unsigned(OID[I]) - unsigned('0'));
    for (auto& Byte : Acc) {
      unsigned V = Byte * 10u + Carry;
      Byte = uint8_t(V & 0xFF);
      Carry = V >> 8;
    }
  }
  std::array<uint8_t, 16> BigEndian;
  for (int I = 0; I < 16; ++I) BigEndian[I] = Acc[15 - I];
  return GUIDFromBytes(BigEndian);
}

}  // namespace

std::string GUIDToUUIDText(const TGUID& G) { return GUIDToHexText(G, false); }

std::string NewUUIDText() { return GUIDToUUIDText(NewGUID()); }

std::string NewUUIDXmlId() { return "uuid-" + NewUUIDText(); }

std::string GUIDToOIDUUID(const TGUID& G) {
  uint8_t Digits[40] = {0};  // least significant first; 2^128 has 39 digits
  int Count = 1;
  for (uint8_t Byte : GUIDToBytes(G)) {
    unsigned Carry = Byte;
    for (int I = 0; I < Count; ++I) {
      unsigned V = Digits[I] * 256u + Carry;
      Digits[I] = uint8_t(V % 10);
      Carry = V / 10;
    }
    while (Carry) {
      Digits[Count++] = uint8_t(Carry % 10);
      Carry /= 10;
    }
  }
  std::string S = "2.25.";
  while (Count) S += char('0' + Digits[--Count]);
  return S;
}

std::string NewOIDUUID() { return GUIDToOIDUUID(NewGUID()); }

TGUID OIDUUIDToGUID(std::string_view OID) { return OIDToGUID(OID); }
TGUID OIDUUIDToGUID(std::u16string_view OID) { return OIDToGUID(OID); }

std::string OIDUUIDToGUIDText(std::string_view OID) {
  return '{' + GUIDToHexText(OIDUUIDToGUID(OID), true) + '}';
}

std::string OIDUUIDToGUIDText(std::u16string_view OID) {
  return '{' + GUIDToHexText(OIDUUIDToGUID(OID), true) + '}';
}

// ---- Times ----

void SetServiceTimeSource(TServiceTimeSource NewSource) {
  auto Shared = NewSource ? std::make_shared<const TServiceTimeSource>(std::move(NewSource))
                          : nullptr;
  std::lock_guard Lock(SourceLock);
  Source = std::move(Shared);
}

std::optional<TDateTime> ParseServiceTime(std::string_view Text) {
  if (Text.size() > 64) return std::nullopt;
  constexpr std::string_view Blanks = " \t\r\n";
  const size_t First = Text.find_first_not_of(Blanks);
  if (First == std::string_view::npos) return std::nullopt;
  Text = Text.substr(First, Text.find_last_not_of(Blanks) - First + 1);
  // Digits with an optional '.' fraction only: no sign, exponent, inf or nan.
  if (Text.find_first_not_of("0123456789.") != std::string_view::npos) return std::nullopt;
  double Seconds = 0;
  auto R = std::from_chars(Text.data(), Text.data() + Text.size(), Seconds,
                           std::chars_format::fixed);
  if (R.ec != std::errc() || R.ptr != Text.data() + Text.size()) return std::nullopt;
  // Rounded to the millisecond first: the last fraction of 9999 must not carry into 10000.
  Seconds = std::round(Seconds * 1000.0) / 1000.0;
  constexpr double Year10000 = 253402300800.0;  // seconds from 1970 to 10000-01-01
  if (!(Seconds >= 0 && Seconds < Year10000)) return std::nullopt;
  return UnixToDateTime(Seconds);
}

TDateTime ServiceTimeUTC() {
  const TDateTime Clock = NowUTC();
  std::shared_ptr<const TServiceTimeSource> Current;
  {
    std::lock_guard Lock(SourceLock);
    Current = Source;
  }
  if (!Current) return Clock;
  try {
    if (auto T = (*Current)(ServiceTimeTimeOut)) return *T;
  } catch (...) {
    // Any failure of the time service falls back to the clock.
  }
  return Clock;
}

void UTCToLocalTime(TDateTime& Time) { Time = UTCToLocal(Time); }
void LocalToUTCTime(TDateTime& Time) { Time = LocalToUTC(Time); }

std::string HL7Date(TDateTime Time) { return FormatDateTime("yyyymmdd", Time); }
std::string HL7Time(TDateTime Time) { return FormatDateTime("yyyymmddhhnnss", Time); }
std::string HL7TimeUTC(TDateTime Local) { return HL7Time(LocalToUTC(Local)); }
std::string HL7TimeNow() { return HL7Time(ServiceTimeUTC()); }

std::string HL7ZoneOffset(int OffsetMinutes) {
  std::string S = "-0000";
  long M = OffsetMinutes;
  if (M < 0) {
    S[0] = '+';
    M = -M;
  }
  long Hours = M / 60, Minutes = M % 60;
  if (Hours > 99) Hours = 99, Minutes = 59;  // no zone is that far: keep five characters
  S[1] = char('0' + Hours / 10);
  S[2] = char('0' + Hours % 10);
  S[3] = char('0' + Minutes / 10);
  S[4] = char('0' + Minutes % 10);
  return S;
}

std::string HL7TimeStamp(int OffsetMinutes, TDateTime Time) {
  return HL7Time(Time) + HL7ZoneOffset(OffsetMinutes);
}

namespace {

// UTC minus local in whole minutes, rounded half to even.
int OffsetMinutes(TDateTime UTC, TDateTime Local) {
  return int(std::nearbyint((DateTimeToUnix(UTC) - DateTimeToUnix(Local)) / 60.0));
}

}  // namespace

std::string HL7TimeFromUTC(TDateTime UTC) {
  const TDateTime Local = UTCToLocal(UTC);
  return HL7TimeStamp(OffsetMinutes(UTC, Local), Local);
}

std::string HL7TimeLocal(TDateTime Local) {
  return HL7TimeStamp(OffsetMinutes(LocalToUTC(Local), Local), Local);
}

std::string XSDTime(TDateTime UTC) { return FormatDateTime("yyyy-mm-ddThh:nn:ss.zzzZ", UTC); }
std::string XSDTimeNow() { return XSDTime(ServiceTimeUTC()); }
std::string XSDTimeNowPlus(double Days) { return XSDTime(ServiceTimeUTC() + Days); }

// ---- HL7 v3 identifier, code and reference elements ----

std::string NewUUIDIdElement() {
  return XMLElement("id", Attr("root", GUIDToHexText(NewGUID(), true)), {});
}

std::string XMLCodeElement(std::string_view Name, std::string_view Code) {
  return XMLElement(Name, Attr("code", Code), {});
}

std::string TemplateIdElement(std::string_view OID) {
  return XMLElement("templateId", Attr("root", OID), {});
}

std::string NullFlavorElement(std::string_view Name, std::string_view Flavor) {
  return XMLElement(Name, Attr("nullFlavor", Flavor), {});
}

std::string LOINCCodeElement(std::string_view Code, std::string_view DisplayName,
                             std::string_view ContentMarkup) {
  return XMLElement("code",
                    Attrs({{"code", Code},
                           {"displayName", DisplayName},
                           {"codeSystem", "2.16.840.1.113883.6.1"},
                           {"codeSystemName", "LOINC"}}),
                    ContentMarkup);
}

std::string ReferenceElement(std::string_view NarrativeId, std::string_view Name) {
  return XMLElement(Name, {}, XMLElement("reference", Attr("value", "#" + std::string(NarrativeId)), {}));
}

std::string TelecomElement(std::string_view Contact) {
  if (Contact.find('@') != std::string_view::npos)
    return XMLElement("telecom", Attr("value", "mailto:" + std::string(Contact)), {});
  std::string Digits;
  for (char C : Contact) {
    if (C >= '0' && C <= '9') Digits += C;
    else if (C == '+' && Digits.empty()) Digits += C;
    if (Digits.size() > 12) return {};  // too long to be a number, whatever follows
  }
  if (Digits.size() == 10 || (Digits.size() == 12 && Digits[0] == '+'))
    return XMLElement("telecom", "value=\"tel:" + Digits + '"', {});
  return {};
}

std::string DetectedIssueReason(std::string_view Code, std::string_view Text) {
  return XMLElement(
      "reasonOf", "typeCode=\"RSON\"",
      XMLElement("detectedIssueEvent", "classCode=\"ALRT\" moodCode=\"EVN\"",
                 XMLElement("code", Attrs({{"code", Code}, {"codeSystem", "1.2.250.1.213.4.1.2.4"}}),
                            {}) +
                     XMLElement("text", {}, XMLEscape(Text))));
}

// ---- ebRIM query pieces ----

std::string AdhocQueryElement(std::string_view StoredQueryId, std::string_view SlotsMarkup) {
  return XMLElement("AdhocQuery", Attr("id", StoredQueryId), SlotsMarkup);
}

std::string QuerySlot(std::string_view Name, std::string_view ValueMarkup) {
  return XMLElement("Slot", Attr("name", Name),
                    XMLElement("ValueList", {}, XMLElement("Value", {}, ValueMarkup)));
}

std::string LocalizedStringElement(std::string_view Name, std::string_view Text) {
  return XMLElement(
      Name, {},
      XMLElement("ns2:LocalizedString",
                 Attrs({{"charset", "UTF8"}, {"value", Text}, {"xml:lang", "FR"}}), {}));
}

}  // namespace Vantrel
