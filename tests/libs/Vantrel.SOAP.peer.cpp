// The message builders against independent readers: xmllint for
// well-formedness, Python's xml.etree for the values carried, Python's uuid
// for the 2.25 OIDs, coreutils' date for the zone rules.
#include "Vantrel.HL7Query.h"
#include "Vantrel.SOAP.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <thread>

#include "TestSupport.h"

using namespace Vantrel;
using TestSupport::ToHex;

namespace {

const std::string Hostile = "R&D <x> \"q\" 'a' éèçÀ 😀";
const std::u16string HostileW = u"R&D <x> \"q\" 'a' éèçÀ 😀";

struct TCheck {
  std::string Element, Attribute, Value;  // Attribute "#text" for the element's text
};
struct TDoc {
  std::string Xml;
  std::vector<TCheck> Checks;
};

// Binds every prefix the builders write so that a fragment can stand alone.
std::string Wrap(const std::string& Fragment) {
  return "<root xmlns:ns2=\"urn:oasis:names:tc:ebxml-regrep:xsd:rim:3.0\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">" +
         Fragment + "</root>";
}

// Every document is well-formed for xmllint and carries the expected values for xml.etree.
void ExpectWellFormedWithValues(const std::vector<TDoc>& Docs) {
  TestSupport::TempDir Dir;
  std::vector<std::string> Argv = {"xmllint", "--noout", "--nonet"};
  std::string Input;
  for (size_t I = 0; I < Docs.size(); ++I) {
    const auto Path = Dir / ("doc" + std::to_string(I) + ".xml");
    TestSupport::WriteFile(Path, Docs[I].Xml);
    Argv.push_back(Path.string());
    Input += "DOC " + ToHex(Docs[I].Xml) + "\n";
    for (const auto& C : Docs[I].Checks)
      Input += "CHECK " + ToHex(C.Element) + " " + ToHex(C.Attribute) + " " + ToHex(C.Value) + "\n";
  }
  auto Lint = TestSupport::Run(Argv);
  EXPECT_EQ(Lint.Status, 0) << Lint.Err;
  auto Py = TestSupport::RunPython(
      TestSupport::ReadFile(TestSupport::Fixture("soap/check_values.py")), {}, Input);
  EXPECT_EQ(Py.Status, 0) << Py.Err;
  EXPECT_EQ(Py.Out, "");
}

class TZone {
 public:
  explicit TZone(const std::string& Zone) {
    if (const char* Old = getenv("TZ")) FOld = Old;
    setenv("TZ", Zone.c_str(), 1);
    tzset();
  }
  ~TZone() {
    if (FOld) setenv("TZ", FOld->c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> FOld;
};

std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> L;
  std::istringstream In(Text);
  for (std::string Line; std::getline(In, Line);) L.push_back(Line);
  return L;
}

// `date` under a zone, one output line per input date.
std::vector<std::string> DateIn(const std::string& Zone, const std::string& Format,
                                const std::string& Dates) {
  auto R = TestSupport::Run({"env", "TZ=" + Zone, "date", "-f", "-", Format}, Dates);
  EXPECT_EQ(R.Status, 0) << R.Err;
  return Lines(R.Out);
}

}  // namespace

TEST(SOAP, every_builder_keeps_hostile_values_well_formed) {
  SKIP_UNLESS_TOOL("xmllint");
  const std::string H = Hostile;
  const std::string Destination = "https://h.example/s?a=1&b=<2>";
  std::vector<TDoc> Docs;

  Docs.push_back({SOAPEnvelope(WSAddressingHeader(H, H, Destination) +
                                   WSSecurityHeader(XMLElement("t", {}, XMLEscape(H))),
                               XMLElement("body", "a=\"" + XMLEscape(H) + "\"", XMLEscape(H))),
                  {{"To", "#text", Destination},
                   {"Action", "#text", H + ":" + H},
                   {"t", "#text", H},
                   {"body", "a", H},
                   {"body", "#text", H}}});

  Docs.push_back({Wrap(XMLCodeElement("c", H) + TemplateIdElement(H) + NullFlavorElement("n", H) +
                       LOINCCodeElement(H, H, XMLElement("inner", {}, XMLEscape(H))) +
                       ReferenceElement(H, "ref") + TelecomElement(H + "@x.fr") +
                       DetectedIssueReason(H, H) +
                       XMLOptionalElement("w", {}, XMLEscapeW(HostileW)) +
                       XMLElementOrNASK("family", "qualifier=\"BR\"", u"", true)),
                  {{"c", "code", H},
                   {"templateId", "root", H},
                   {"n", "nullFlavor", H},
                   {"code", "displayName", H},
                   {"inner", "#text", H},
                   {"reference", "value", "#" + H},
                   {"telecom", "value", "mailto:" + H + "@x.fr"},
                   {"code", "code", H},
                   {"text", "#text", H},
                   {"w", "#text", H},
                   {"family", "nullFlavor", "NASK"}}});

  Docs.push_back({Wrap(AdhocQueryElement(H, QuerySlot(H, "('" + XMLEscape(H) + "')")) +
                       LocalizedStringElement("ns2:Name", H)),
                  {{"AdhocQuery", "id", H},
                   {"Slot", "name", H},
                   {"Value", "#text", "('" + H + "')"},
                   {"LocalizedString", "value", H},
                   {"LocalizedString", "lang", "FR"}}});

  Docs.push_back({Wrap(QueryByParameter(H, LivingSubjectName(H, H + "2", true) +
                                               LivingSubjectGender(H) +
                                               LivingSubjectBirthTime(H + "3"))),
                  {{"queryId", "root", H + ".4"},
                   {"family", "#text", H},
                   {"given", "#text", H + "2"},
                   {"value", "code", H},
                   {"value", "value", H + "3"},
                   {"value", "use", "SRCH"},
                   {"semanticsText", "#text", "LivingSubject.name"}}});
  ExpectWellFormedWithValues(Docs);
}

// Line breaks and tabs in a value written as an attribute come back as written.
TEST(SOAP, attribute_values_keep_line_breaks_and_tabs) {
  SKIP_UNLESS_TOOL("xmllint");
  const std::string V = "ligne 1\nligne 2\r\n\tfin & <x>";
  ExpectWellFormedWithValues({{Wrap(LocalizedStringElement("ns2:Description", V) + TemplateIdElement(V)),
                               {{"LocalizedString", "value", V}, {"templateId", "root", V}}}});
}

TEST(SOAP, oid_of_random_uuids_agrees_with_python_uuid) {
  std::vector<TGUID> Guids = {TGUID{}, GUIDFromBytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})};
  for (int I = 0; I < 200; ++I) Guids.push_back(NewGUID());
  std::string Input;
  for (const auto& G : Guids) {
    const std::string Text = GUIDToUUIDText(G), OID = GUIDToOIDUUID(G);
    Input += Text + " " + OID + "\n";
    EXPECT_EQ(OIDUUIDToGUID(OID), G) << OID;
    std::string Upper = Text;
    for (char& C : Upper) C = char(toupper(static_cast<unsigned char>(C)));
    EXPECT_EQ(OIDUUIDToGUIDText(OID), "{" + Upper + "}");
  }
  // Python's uuid: the text's 128-bit value is the OID's number; our new
  // GUIDs are RFC 4122 version 4.
  auto R = TestSupport::RunPython(R"(
import sys, uuid
for n, line in enumerate(sys.stdin):
    text, oid = line.split()
    u = uuid.UUID(text)
    if oid != '2.25.' + str(u.int) or str(u) != text:
        print('mismatch', text, oid)
    if n >= 2 and (u.version != 4 or u.variant != uuid.RFC_4122):
        print('not version 4', text)
)", {}, Input);
  EXPECT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(R.Out, "");
}

TEST(SOAP, hl7_and_xsd_times_agree_with_date_in_each_zone) {
  SKIP_UNLESS_TOOL("date");
  // Around the 2024 changes of Paris and New York, plus mid-winter and mid-summer.
  std::vector<int64_t> Epochs = {1705320000, 1721044800};
  for (int64_t T : {1711846800, 1729990800, 1710054000, 1730613600})
    for (int64_t D : {-3600, -1, 0, 1, 1800, 3599})
      Epochs.push_back(T + D);
  std::string AtEpochs;
  for (auto E : Epochs) AtEpochs += "@" + std::to_string(E) + "\n";

  for (const std::string Zone : {"Europe/Paris", "America/New_York", "Asia/Kolkata", "Pacific/Marquesas"}) {
    SCOPED_TRACE(Zone);
    const auto Expected = DateIn(Zone, "+%Y%m%d%H%M%S%z", AtEpochs);
    ASSERT_EQ(Expected.size(), Epochs.size());
    TZone Guard(Zone);
    std::string LocalTexts;
    std::vector<TDateTime> Locals;
    for (size_t I = 0; I < Epochs.size(); ++I) {
      const TDateTime UTC = UnixToDateTime(double(Epochs[I]));
      EXPECT_EQ(HL7TimeFromUTC(UTC), Expected[I]) << Epochs[I];
      const std::string L = Expected[I];
      LocalTexts += L.substr(0, 4) + "-" + L.substr(4, 2) + "-" + L.substr(6, 2) + " " +
                    L.substr(8, 2) + ":" + L.substr(10, 2) + ":" + L.substr(12, 2) + "\n";
      TDateTime Local = UTC;
      UTCToLocalTime(Local);
      Locals.push_back(Local);
    }
    // From local time: the zone `date` gives to the same wall-clock text.
    const auto FromLocal = DateIn(Zone, "+%Y%m%d%H%M%S%z", LocalTexts);
    ASSERT_EQ(FromLocal.size(), Locals.size());
    const auto UtcOfLocal = DateIn(Zone, "+%s", LocalTexts);
    for (size_t I = 0; I < Locals.size(); ++I) {
      EXPECT_EQ(HL7TimeLocal(Locals[I]), FromLocal[I]);
      EXPECT_EQ(HL7TimeUTC(Locals[I]),
                HL7Time(UnixToDateTime(std::stod(UtcOfLocal[I]))));
    }
  }
}

TEST(SOAP, xsd_time_is_utc_whatever_the_zone) {
  SKIP_UNLESS_TOOL("date");
  const std::vector<std::string> Epochs = {"1705320000.123", "1711846799.999", "1729990800.5",
                                           "946684799.001", "4102444800.000"};
  std::string At;
  for (const auto& E : Epochs) At += "@" + E + "\n";
  const auto Expected = DateIn("UTC", "+%Y-%m-%dT%H:%M:%S.%3NZ", At);
  ASSERT_EQ(Expected.size(), Epochs.size());
  for (const std::string Zone : {"Europe/Paris", "Pacific/Marquesas"}) {
    TZone Guard(Zone);
    for (size_t I = 0; I < Epochs.size(); ++I)
      EXPECT_EQ(XSDTime(UnixToDateTime(std::stod(Epochs[I]))), Expected[I]) << Zone;
  }
}

namespace {

// A one-shot HTTP server on loopback: answers one request with Body, or
// holds the connection without a word when Body is empty.
class TTimeStub {
 public:
  explicit TTimeStub(std::string Body) : FBody(std::move(Body)) {
    FListen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Len = sizeof A;
    if (bind(FListen, reinterpret_cast<sockaddr*>(&A), sizeof A) || listen(FListen, 1) ||
        getsockname(FListen, reinterpret_cast<sockaddr*>(&A), &Len))
      throw std::runtime_error("stub server: no loopback port");
    FPort = ntohs(A.sin_port);
    FThread = std::thread([this] { Serve(); });
  }
  ~TTimeStub() {
    FStop = true;
    FThread.join();
    close(FListen);
  }
  std::string URL() const {
    return "http://127.0.0.1:" + std::to_string(FPort) + std::string(ServiceTimePath);
  }

 private:
  void Serve() {
    pollfd P{FListen, POLLIN, 0};
    if (poll(&P, 1, 10000) != 1) return;
    int C = accept(FListen, nullptr, nullptr);
    if (C < 0) return;
    std::string Request;
    char Buf[1024];
    while (Request.find("\r\n\r\n") == std::string::npos) {
      ssize_t N = read(C, Buf, sizeof Buf);
      if (N <= 0) break;
      Request.append(Buf, size_t(N));
    }
    if (!FBody.empty()) {
      const std::string Answer = "HTTP/1.1 200 OK\r\nContent-Length: " +
                                 std::to_string(FBody.size()) + "\r\nConnection: close\r\n\r\n" + FBody;
      (void)!write(C, Answer.data(), Answer.size());
    } else {
      for (int I = 0; I < 100 && !FStop; ++I) usleep(100000);  // silent, up to 10 s
    }
    close(C);
  }

  std::string FBody;
  int FListen = -1;
  uint16_t FPort = 0;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

// The time service reached over HTTP by curl, standing for the program's client.
TServiceTimeSource CurlSource(const std::string& URL) {
  return [URL](std::chrono::milliseconds TimeOut) -> std::optional<TDateTime> {
    auto R = TestSupport::Run({"curl", "-s", "-f", "--max-time",
                               std::to_string(double(TimeOut.count()) / 1000.0), URL});
    if (R.Status != 0) return std::nullopt;
    return ParseServiceTime(R.Out);
  };
}

}  // namespace

TEST(SOAP, service_time_from_a_local_stub_or_the_clock) {
  SKIP_UNLESS_TOOL("curl");
  struct Restore {
    ~Restore() { SetServiceTimeSource(nullptr); }
  } Guard;
  auto NearClock = [](TDateTime T) {
    return std::abs(DateTimeToUnix(T) - DateTimeToUnix(NowUTC())) < 10;
  };
  {
    TTimeStub Stub("1705312800.123\n");
    SetServiceTimeSource(CurlSource(Stub.URL()));
    EXPECT_EQ(XSDTime(ServiceTimeUTC()), "2024-01-15T10:00:00.123Z");
  }
  {
    TTimeStub Stub("<html>503 Service Unavailable</html>");
    SetServiceTimeSource(CurlSource(Stub.URL()));
    EXPECT_TRUE(NearClock(ServiceTimeUTC()));
  }
  {
    TTimeStub Stub("");
    SetServiceTimeSource(CurlSource(Stub.URL()));
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_TRUE(NearClock(ServiceTimeUTC()));
    // The time-out handed to the transport bounds the wait.
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(5));
  }
}
