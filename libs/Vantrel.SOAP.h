// Text builders of the service messages: every request is the concatenation
// of the texts these functions return; no document object model is used.
//
// Escaping contract. The element builders (XMLElement and its variants,
// SOAPEnvelope, WSSecurityHeader) take markup: attribute texts and contents
// are inserted exactly as given and the caller escapes its values with
// XMLEscape. Every other builder takes plain text values (codes, OIDs,
// identifiers, names, addresses, reasons) and escapes them where it inserts
// them, so a value holding & < > " can never change the shape of a message;
// a value without those characters is written unchanged. A parameter named
// ...Markup is the exception: it is inserted as given.
//
// Strings are UTF-8 unless the parameter is a std::u16string_view. Nothing
// here keeps state except the service-time source, which is guarded.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "Vantrel.DateTime.h"
#include "Vantrel.GUID.h"
#include "Vantrel.UTF8.Utils.h"  // UTF16ToUTF8, which callers of these builders use

namespace Vantrel {

// ---- Element texts ----

// "<Name Attributes>Content</Name>", or "<Name Attributes/>" for an empty
// content; no blank before an empty attributes text.
std::string XMLElement(std::string_view Name, std::string_view Attributes,
                       std::string_view Content);
// XMLElement when the content is not empty, else "".
std::string XMLOptionalElement(std::string_view Name, std::string_view Attributes,
                               std::string_view Content);
// The UTF-16 value converted to UTF-8 (not escaped), wrapped when not empty.
std::string XMLOptionalElementW(std::string_view Name, std::string_view Attributes,
                                std::u16string_view Value);
// As XMLOptionalElementW; an empty value with Flag set gives the empty element
// with nullFlavor="NASK" after the attributes (the bare empty element when no
// attributes are given).
std::string XMLElementOrNASK(std::string_view Name, std::string_view Attributes,
                             std::u16string_view Value, bool Flag);

// Replaces " & < > by their entities; the apostrophe and every other byte are
// kept. One allocation at the final length.
std::string XMLEscape(std::string_view Text);
// Moves the text through unchanged when nothing needs replacing.
std::string XMLEscape(std::string&& Text);
inline std::string XMLEscape(const char* Text) { return XMLEscape(std::string_view(Text)); }
std::string XMLEscapeW(std::u16string_view Text);
// XMLEscape for an attribute value: tab, line feed and carriage return also
// become character references, which a reader would otherwise turn into blanks.
std::string XMLAttributeEscape(std::string_view Text);

std::string IntToXMLStr(int64_t Value);

// ---- SOAP 1.2 and WS-* blocks ----

// The XML declaration and soap:Envelope (soap, xsi, xsd namespaces, then
// ExtraAttributesMarkup appended as given, so it starts with a blank) holding
// soap:Header and soap:Body.
std::string SOAPEnvelope(std::string_view HeaderMarkup, std::string_view BodyMarkup,
                         std::string_view ExtraAttributesMarkup = {});
std::string WSAMessageID();
// MessageID, To, ReplyTo, FaultTo, Action = Service + ":" + Operation (W3C WS-Addressing 1.0).
std::string WSAddressingHeader(std::string_view Service, std::string_view Operation,
                               std::string_view Destination);
std::string WSAddressingPatientSpecific(std::string_view Operation, std::string_view Destination);
std::string WSAddressingHabilitations(std::string_view Operation, std::string_view Destination);
// wsse:Security (OASIS WSS 1.0) around the identity assertion.
std::string WSSecurityHeader(std::string_view AssertionMarkup);

// ---- Identifiers ----

// GUID bytes and random GUIDs: Vantrel.GUID.h.
// 36 lower-case characters grouped 8-4-4-4-12.
std::string GUIDToUUIDText(const TGUID& G);
std::string NewUUIDText();
// "uuid-" + NewUUIDText: an XML ID may not begin with a digit.
std::string NewUUIDXmlId();
// "2.25." + the 128-bit value in decimal (ITU-T X.667 §6.3).
std::string GUIDToOIDUUID(const TGUID& G);
std::string NewOIDUUID();
// The decimal number after the first five characters (not checked) as a GUID;
// digits are not validated and overflow past 128 bits is dropped.
TGUID OIDUUIDToGUID(std::string_view OID);
TGUID OIDUUIDToGUID(std::u16string_view OID);
// The platform's GUID text: braces and upper-case hexadecimal (38 characters).
std::string OIDUUIDToGUIDText(std::string_view OID);
std::string OIDUUIDToGUIDText(std::u16string_view OID);

// ---- Times ----

// The maker's time service: a plain GET of ServiceTimePath answering the
// seconds since 1970-01-01 UTC with a '.' before the fraction. The transport
// is plugged in by the program (SetServiceTimeSource); it must give up after
// the time-out it is handed. Without a source, or when the source fails,
// throws or answers nothing, ServiceTimeUTC is the local UTC clock.
inline constexpr std::string_view ServiceTimePath = "/microtime";
inline constexpr std::chrono::milliseconds ServiceTimeTimeOut{2000};
using TServiceTimeSource = std::function<std::optional<TDateTime>(std::chrono::milliseconds)>;
void SetServiceTimeSource(TServiceTimeSource Source);
// Reads the service's answer; nullopt for anything but a plain decimal number
// of seconds between 1970 and 9999 (surrounding blanks allowed, 64 bytes at most).
std::optional<TDateTime> ParseServiceTime(std::string_view Text);
TDateTime ServiceTimeUTC();

// In place, through the workstation's zone rules; unchanged on failure.
void UTCToLocalTime(TDateTime& Time);
void LocalToUTCTime(TDateTime& Time);

std::string HL7Date(TDateTime Time);     // yyyymmdd
std::string HL7Time(TDateTime Time);     // yyyymmddhhnnss, no zone
std::string HL7TimeUTC(TDateTime Local); // HL7Time of the time converted to UTC
std::string HL7TimeNow();                // HL7Time of ServiceTimeUTC
// Sign and hhmm from an offset in minutes, UTC minus local (positive west of
// Greenwich): -60 gives +0100, 330 gives -0530, -330 gives +0530.
std::string HL7ZoneOffset(int OffsetMinutes);
std::string HL7TimeStamp(int OffsetMinutes, TDateTime Time);
// The UTC time as local time with the offset of that conversion.
std::string HL7TimeFromUTC(TDateTime UTC);
// The local time as it is, with the offset of its conversion to UTC.
std::string HL7TimeLocal(TDateTime Local);

// yyyy-mm-ddThh:nn:ss.zzzZ of a UTC time (XML Schema dateTime); rounding to
// the millisecond carries into the next second, never ":60".
std::string XSDTime(TDateTime UTC);
std::string XSDTimeNow();
std::string XSDTimeNowPlus(double Days);

// ---- HL7 v3 identifier, code and reference elements ----

// id root = a new UUID in upper case.
std::string NewUUIDIdElement();
std::string XMLCodeElement(std::string_view Name, std::string_view Code);
std::string TemplateIdElement(std::string_view OID);
std::string NullFlavorElement(std::string_view Name, std::string_view Flavor);
std::string LOINCCodeElement(std::string_view Code, std::string_view DisplayName,
                             std::string_view ContentMarkup = {});
// <Name><reference value="#Id"/></Name>
std::string ReferenceElement(std::string_view NarrativeId, std::string_view Name);
// telecom mailto: (any text holding '@') or tel: (10 digits, or '+' and 11), else "".
std::string TelecomElement(std::string_view Contact);
// reasonOf/detectedIssueEvent carrying the code and the reason text.
std::string DetectedIssueReason(std::string_view Code, std::string_view Text);

// ---- ebRIM query pieces (no prefix) ----

std::string AdhocQueryElement(std::string_view StoredQueryId, std::string_view SlotsMarkup);
// The value is markup: the caller writes the stored-query syntax ('...', (...))
// around values it escaped (an HL7 CX value is already escaped).
std::string QuerySlot(std::string_view Name, std::string_view ValueMarkup);
// <Name><ns2:LocalizedString charset="UTF8" value="(escaped)" xml:lang="FR"/></Name>
std::string LocalizedStringElement(std::string_view Name, std::string_view Text);

}  // namespace Vantrel
