#include "Vantrel.HL7Query.h"
#include "Vantrel.SOAP.h"

#include <set>

#include <gtest/gtest.h>

using namespace Vantrel;

namespace {

TDateTime At(int Y, int Mo, int D, int H, int Mi, int S, int Ms) {
  TDateTime V = 0;
  EXPECT_TRUE(TryEncodeDateTime({Y, Mo, D, H, Mi, S, Ms}, V));
  return V;
}

// Restores the clock-only time source when a test ends.
struct TSourceGuard {
  ~TSourceGuard() { SetServiceTimeSource(nullptr); }
};

}  // namespace

TEST(SOAP, element_forms_follow_attributes_and_content) {
  struct Case { std::string_view Name, Attributes, Content, Expected; } Cases[] = {
      {"a", "", "", "<a/>"},
      {"a", "x=\"1\"", "", "<a x=\"1\"/>"},
      {"a", "", "t", "<a>t</a>"},
      {"a", "x=\"1\" y=\"2\"", "<b/>", "<a x=\"1\" y=\"2\"><b/></a>"},
  };
  for (const auto& C : Cases) EXPECT_EQ(XMLElement(C.Name, C.Attributes, C.Content), C.Expected);
  EXPECT_EQ(XMLOptionalElement("a", "x=\"1\"", ""), "");
  EXPECT_EQ(XMLOptionalElementW("a", "", u"é"), "<a>é</a>");
  EXPECT_EQ(XMLElementOrNASK("family", "qualifier=\"BR\"", u"", true),
            "<family qualifier=\"BR\" nullFlavor=\"NASK\"/>");
  EXPECT_EQ(XMLElementOrNASK("country", "", u"", true), "<country/>");
  EXPECT_EQ(XMLElementOrNASK("family", "qualifier=\"BR\"", u"", false), "");
  EXPECT_EQ(XMLElementOrNASK("family", "", u"Dupont", true), "<family>Dupont</family>");
  EXPECT_EQ(IntToXMLStr(-42), "-42");
  EXPECT_EQ(IntToXMLStr(0), "0");
}

TEST(SOAP, escape_replaces_four_characters_and_keeps_the_rest) {
  EXPECT_EQ(XMLEscape("a\"b&c<d>e'f"), "a&quot;b&amp;c&lt;d&gt;e'f");
  EXPECT_EQ(XMLEscape("\"&<>").size(), 4u + 5 + 4 + 3 + 3);
  EXPECT_EQ(XMLEscape("é\x80\xff 😀"), "é\x80\xff 😀");
  EXPECT_EQ(XMLEscape(""), "");
  EXPECT_EQ(XMLEscape("&&"), "&amp;&amp;");
  EXPECT_EQ(XMLEscapeW(u"<é😀>"), "&lt;é😀&gt;");
  std::string Plain(1000, 'x');
  const char* Buffer = Plain.data();
  EXPECT_EQ(XMLEscape(std::move(Plain)).data(), Buffer);  // moved through, not copied
}

TEST(SOAP, envelope_and_ws_blocks_have_their_fixed_shape) {
  EXPECT_EQ(SOAPEnvelope("", "<b/>", " xmlns:x=\"urn:x\""),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
            "xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\" "
            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
            "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:x=\"urn:x\">"
            "<soap:Header/><soap:Body><b/></soap:Body></soap:Envelope>");
  const std::string H = WSAddressingHabilitations("setAuthorization", "https://h/s");
  const std::string Ns = " xmlns=\"http://www.w3.org/2005/08/addressing\"";
  const std::string Anonymous = "<Address>http://www.w3.org/2005/08/addressing/anonymous</Address>";
  const std::string Prefix = "<MessageID" + Ns + ">uuid:";
  ASSERT_EQ(H.substr(0, Prefix.size()), Prefix);
  EXPECT_EQ(H.substr(Prefix.size() + 36),
            "</MessageID><To" + Ns + ">https://h/s</To><ReplyTo" + Ns + ">" + Anonymous +
                "</ReplyTo><FaultTo" + Ns + ">" + Anonymous + "</FaultTo><Action" + Ns +
                ">urn:si-dmp-habilitations:HabilitationsEndPoint:setAuthorization</Action>");
  EXPECT_NE(WSAddressingPatientSpecific("op", "d").find(
                ">urn:si-dmp-patients:PatientSpecificEndPoint:op</Action>"),
            std::string::npos);
  EXPECT_EQ(WSSecurityHeader("<a/>"),
            "<wsse:Security xmlns:wsse=\"http://docs.oasis-open.org/wss/2004/01/"
            "oasis-200401-wss-wssecurity-secext-1.0.xsd\"><a/></wsse:Security>");
}

TEST(SOAP, guid_texts_and_oids) {
  const TGUID G = GUIDFromBytes({0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA,
                                 0x98, 0x76, 0x54, 0x32, 0x10});
  EXPECT_EQ(G.D1, 0x01234567u);
  EXPECT_EQ(G.D2, 0x89ABu);
  EXPECT_EQ(GUIDToUUIDText(G), "01234567-89ab-cdef-fedc-ba9876543210");
  EXPECT_EQ(GUIDToOIDUUID(G), "2.25.1512366075204170947332355369683137040");
  EXPECT_EQ(OIDUUIDToGUIDText("2.25.1512366075204170947332355369683137040"),
            "{01234567-89AB-CDEF-FEDC-BA9876543210}");
  EXPECT_EQ(OIDUUIDToGUIDText(u"2.25.1512366075204170947332355369683137040"),
            "{01234567-89AB-CDEF-FEDC-BA9876543210}");
  EXPECT_EQ(GUIDToOIDUUID(TGUID{}), "2.25.0");
  EXPECT_EQ(OIDUUIDToGUID("2.25.0"), TGUID{});
  for (std::string_view Short : {"", "2.25.", "x"}) EXPECT_EQ(OIDUUIDToGUID(Short), TGUID{});
  // Overflow past 128 bits is dropped: 2^128 + 5 reads as 5.
  EXPECT_EQ(OIDUUIDToGUIDText("2.25.340282366920938463463374607431768211461"),
            "{00000000-0000-0000-0000-000000000005}");

  const std::string Id = NewUUIDXmlId();
  EXPECT_EQ(Id.substr(0, 5), "uuid-");
  EXPECT_EQ(Id.size(), 41u);
  EXPECT_EQ(NewOIDUUID().substr(0, 5), "2.25.");
}

TEST(SOAP, new_identifiers_are_distinct_and_upper_case_in_id_elements) {
  std::set<std::string> Seen;
  for (int I = 0; I < 100; ++I) {
    const std::string E = NewUUIDIdElement();
    ASSERT_EQ(E.size(), std::string("<id root=\"\"/>").size() + 36) << E;
    for (char C : E.substr(10, 36)) EXPECT_TRUE(!islower(static_cast<unsigned char>(C))) << E;
    EXPECT_TRUE(Seen.insert(E).second);
    EXPECT_TRUE(Seen.insert(NewUUIDText()).second);
  }
}

TEST(SOAP, zone_offset_writes_hours_and_minutes) {
  struct Case { int Minutes; std::string_view Expected; } Cases[] = {
      {-60, "+0100"}, {-120, "+0200"}, {300, "-0500"}, {-330, "+0530"}, {570, "-0930"},
      {0, "-0000"},   {-765, "+1245"}, {-6039, "+9959"}, {100000, "-9959"},
  };
  for (auto C : Cases) EXPECT_EQ(HL7ZoneOffset(C.Minutes), C.Expected) << C.Minutes;
  EXPECT_EQ(HL7TimeStamp(-60, At(2024, 1, 15, 11, 0, 0, 0)), "20240115110000+0100");
}

TEST(SOAP, time_texts_use_fixed_patterns) {
  EXPECT_EQ(XSDTime(At(2024, 1, 15, 10, 0, 0, 123)), "2024-01-15T10:00:00.123Z");
  // A value a hair below midnight rounds to the next day, never to ":60".
  EXPECT_EQ(XSDTime(At(2024, 12, 31, 23, 59, 59, 999) + 0.6 / 86400000.0),
            "2025-01-01T00:00:00.000Z");
  EXPECT_EQ(HL7Date(At(2024, 2, 29, 23, 59, 59, 0)), "20240229");
  EXPECT_EQ(HL7Time(At(2024, 2, 29, 23, 59, 59, 999)), "20240229235959");
}

TEST(SOAP, service_time_parses_only_plain_seconds) {
  const std::string TooLong(65, '1');
  struct Case { std::string_view Text; std::optional<std::string_view> Expected; } Cases[] = {
      {"1705312800.123", "2024-01-15T10:00:00.123Z"},
      {" 1705312800.5\r\n", "2024-01-15T10:00:00.500Z"},
      {"1705312800", "2024-01-15T10:00:00.000Z"},
      {"1705312800.9996", "2024-01-15T10:00:01.000Z"},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"<html>down</html>", std::nullopt},
      {"-5", std::nullopt},
      {"1e9", std::nullopt},
      {"nan", std::nullopt},
      {"1705312800,123", std::nullopt},
      {"1.2.3", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"253402300799.999", "9999-12-31T23:59:59.999Z"},
      {"253402300799.9999", std::nullopt},  // rounds into the year 10000
      {std::string_view("1705312800\0", 11), std::nullopt},
      {TooLong, std::nullopt},
  };
  for (const auto& C : Cases) {
    auto T = ParseServiceTime(C.Text);
    ASSERT_EQ(T.has_value(), C.Expected.has_value()) << C.Text;
    if (T) {
      EXPECT_EQ(XSDTime(*T), *C.Expected);
    }
  }
}

TEST(SOAP, service_time_falls_back_to_the_clock) {
  TSourceGuard Guard;
  auto NearClock = [](TDateTime T) { return std::abs(DateTimeToUnix(T) - DateTimeToUnix(NowUTC())) < 5; };
  EXPECT_TRUE(NearClock(ServiceTimeUTC()));

  const TDateTime Fixed = At(2030, 6, 1, 12, 0, 0, 250);
  std::chrono::milliseconds Given{0};
  SetServiceTimeSource([&](std::chrono::milliseconds TimeOut) -> std::optional<TDateTime> {
    Given = TimeOut;
    return Fixed;
  });
  EXPECT_EQ(ServiceTimeUTC(), Fixed);
  EXPECT_EQ(Given, std::chrono::milliseconds(2000));
  EXPECT_EQ(XSDTimeNow(), "2030-06-01T12:00:00.250Z");
  EXPECT_EQ(XSDTimeNowPlus(-1.0 / 1440), "2030-06-01T11:59:00.250Z");
  EXPECT_EQ(HL7TimeNow(), "20300601120000");

  SetServiceTimeSource([](std::chrono::milliseconds) { return std::optional<TDateTime>(); });
  EXPECT_TRUE(NearClock(ServiceTimeUTC()));
  SetServiceTimeSource([](std::chrono::milliseconds) -> std::optional<TDateTime> {
    throw std::runtime_error("connection refused");
  });
  EXPECT_TRUE(NearClock(ServiceTimeUTC()));
}

TEST(SOAP, hl7_code_reference_and_reason_elements) {
  EXPECT_EQ(XMLCodeElement("code", "X"), "<code code=\"X\"/>");
  EXPECT_EQ(TemplateIdElement("1.2.3"), "<templateId root=\"1.2.3\"/>");
  EXPECT_EQ(NullFlavorElement("id", "UNK"), "<id nullFlavor=\"UNK\"/>");
  EXPECT_EQ(LOINCCodeElement("11488-4", "CR"),
            "<code code=\"11488-4\" displayName=\"CR\" codeSystem=\"2.16.840.1.113883.6.1\" "
            "codeSystemName=\"LOINC\"/>");
  EXPECT_EQ(ReferenceElement("n1", "originalText"),
            "<originalText><reference value=\"#n1\"/></originalText>");
  EXPECT_EQ(DetectedIssueReason("BRIS", "urgence"),
            "<reasonOf typeCode=\"RSON\"><detectedIssueEvent classCode=\"ALRT\" moodCode=\"EVN\">"
            "<code code=\"BRIS\" codeSystem=\"1.2.250.1.213.4.1.2.4\"/><text>urgence</text>"
            "</detectedIssueEvent></reasonOf>");
  EXPECT_EQ(AdhocQueryElement("urn:uuid:1", QuerySlot("$X", "('a')")),
            "<AdhocQuery id=\"urn:uuid:1\"><Slot name=\"$X\"><ValueList><Value>('a')</Value>"
            "</ValueList></Slot></AdhocQuery>");
  EXPECT_EQ(LocalizedStringElement("ns2:Name", "R&D"),
            "<ns2:Name><ns2:LocalizedString charset=\"UTF8\" value=\"R&amp;D\" xml:lang=\"FR\"/>"
            "</ns2:Name>");
}

TEST(SOAP, telecom_keeps_mail_or_ten_digit_numbers) {
  struct Case { std::string_view Contact, Expected; } Cases[] = {
      {"01 23 45 67 89", "<telecom value=\"tel:0123456789\"/>"},
      {"+33 6 12 34 56 78", "<telecom value=\"tel:+33612345678\"/>"},
      {"(01).23-45.67.89", "<telecom value=\"tel:0123456789\"/>"},
      {"1234", ""},
      {"01234567890", ""},
      {"33+612345678", ""},
      {"0123456789 poste 12", ""},
      {"", ""},
      {"a b@c.fr", "<telecom value=\"mailto:a b@c.fr\"/>"},
      {"a&\"b\"@c.fr", "<telecom value=\"mailto:a&amp;&quot;b&quot;@c.fr\"/>"},
  };
  for (auto C : Cases) EXPECT_EQ(TelecomElement(C.Contact), C.Expected) << C.Contact;
}

TEST(SOAP, query_by_parameter_and_living_subject) {
  const std::string Q = QueryByParameter("1.2.3", "<p/>");
  const std::string Start = "<queryByParameter><queryId extension=\"";
  EXPECT_EQ(Q.substr(0, Start.size()), Start);
  EXPECT_NE(Q.find("\" root=\"1.2.3.4\"/><statusCode code=\"new\"/><parameterList><p/>"
                   "</parameterList></queryByParameter>"),
            std::string::npos);
  EXPECT_EQ(LivingSubjectName("", "Jean", false),
            "<livingSubjectName><value><given>Jean</given></value>"
            "<semanticsText>LivingSubject.name</semanticsText></livingSubjectName>");
  EXPECT_EQ(LivingSubjectName("Dupont", "", true),
            "<livingSubjectName><value use=\"SRCH\"><family>Dupont</family></value>"
            "<semanticsText>LivingSubject.name</semanticsText></livingSubjectName>");
  EXPECT_EQ(LivingSubjectName("", "", true), "");
  EXPECT_EQ(LivingSubjectGender(""), "");
  EXPECT_EQ(LivingSubjectGender("F"),
            "<livingSubjectAdministrativeGender><value code=\"F\"/><semanticsText>"
            "LivingSubject.administrativeGender</semanticsText></livingSubjectAdministrativeGender>");
  EXPECT_EQ(LivingSubjectBirthTime(""), "");
  EXPECT_EQ(LivingSubjectBirthTime("19800101"),
            "<livingSubjectBirthTime><value value=\"19800101\"/><semanticsText>"
            "LivingSubject.birthTime</semanticsText></livingSubjectBirthTime>");
}

TEST(SOAP, authn_instant_is_set_once_a_minute_before) {
  TSourceGuard Guard;
  SetServiceTimeSource([](std::chrono::milliseconds) -> std::optional<TDateTime> {
    return UnixToDateTime(1705312800.0);
  });
  EXPECT_EQ(AuthnInstant(), "");
  InitAuthnInstant();
  EXPECT_EQ(AuthnInstant(), "2024-01-15T09:59:00.000Z");
  SetServiceTimeSource([](std::chrono::milliseconds) -> std::optional<TDateTime> {
    return UnixToDateTime(1805312800.0);
  });
  InitAuthnInstant();
  EXPECT_EQ(AuthnInstant(), "2024-01-15T09:59:00.000Z");
}
