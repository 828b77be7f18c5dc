// ProvideAndRegisterDocumentSet-b requests read back by Python's email
// parser and ElementTree: parts, Content-IDs, xop:Include references, ebRIM
// identifiers and associations, values with XML-special characters.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Talven.Carvelin.CDA.h"
#include "TestSupport.h"
#include "Vantrel.XML.Tree.h"
#include "Vantrel.XML.XDSb.MTOM.h"

namespace {

using namespace Vantrel;
using namespace Talven;
using TInfo = TXDSbInfo<TCDAInfo, TDOCInfo>;

// Reads the request (HTTP Content-Type first) and prints what it found:
// parts and defects, each part's Content-ID, type and SHA-256, whether the
// xop:Include references are exactly the attachments' Content-IDs, whether
// the ebRIM identifiers are unique and every reference to an object
// (classifications, external identifiers, associations) names one of the
// request, the associations, and a few values decoded.
constexpr const char* ReadRequest = R"PY(
import sys, email, hashlib
from email import policy
from xml.etree import ElementTree as ET
data = sys.stdin.buffer.read()
msg = email.message_from_bytes(data, policy=policy.default)
parts = list(msg.iter_parts())
defects = list(msg.defects) + [d for p in parts for d in p.defects]
print("parts=%d defects=%d multipart=%s" % (len(parts), len(defects), msg.is_multipart()))
for p in parts:
    print("%s %s %s" % (p["Content-ID"], p.get_content_type(),
                        hashlib.sha256(p.get_payload(decode=True)).hexdigest()))
env = ET.fromstring(parts[0].get_payload(decode=True))
XOP = "{http://www.w3.org/2004/08/xop/include}Include"
RIM = "{urn:oasis:names:tc:ebxml-regrep:xsd:rim:3.0}"
hrefs = sorted("<" + e.get("href")[4:] + ">" for e in env.iter(XOP))
cids = sorted(p["Content-ID"] for p in parts[1:])
print("hrefs-match=%s" % (hrefs == cids))
ids = [e.get("id") for e in env.iter() if e.tag.startswith(RIM) and e.get("id") is not None]
print("ids-unique=%s" % (len(ids) == len(set(ids))))
known = set(ids)
rplc = "urn:ihe:iti:2007:AssociationType:RPLC"
dangling = []
for e in env.iter():
    for a in ("classifiedObject", "registryObject", "sourceObject"):
        if e.get(a) is not None and e.get(a) not in known: dangling.append(e.get(a))
    if e.tag == RIM + "Association" and e.get("associationType") != rplc and e.get("targetObject") not in known:
        dangling.append(e.get("targetObject"))
print("dangling=%s" % dangling)
for e in env.iter(RIM + "Association"):
    print("%s %s %s %s" % (e.get("id"), e.get("associationType").rsplit(":", 1)[1],
                           e.get("sourceObject"), e.get("targetObject")))
for e in env.iter(RIM + "Slot"):
    if e.get("name") == "sourcePatientId":
        print("sourcePatientId=" + e.find(RIM + "ValueList/" + RIM + "Value").text)
pkg = env.find(".//" + RIM + "RegistryPackage")
print("lot=" + pkg.find(RIM + "Name/" + RIM + "LocalizedString").get("value"))
)PY";

std::string Sha256(std::string_view Bytes) {
  auto R = TestSupport::Run({"openssl", "dgst", "-sha256", "-r"}, Bytes);
  return R.Out.substr(0, 64);
}

std::string Split(const std::string& Request) {
  const std::string Http = "Content-Type: " + ProvideAndRegisterContentType() +
                           "\r\nMIME-Version: 1.0\r\n\r\n" + Request;
  auto R = TestSupport::RunPython(ReadRequest, {}, Http);
  EXPECT_EQ(R.Status, 0) << R.Err;
  return R.Out;
}

// The records behind the requests, with values that XML must escape.
struct TRecords {
  TPatientInfo Patient;
  TPorteur Porteur;
  TActivite Activite;
  TOIDValue Format{"urn:ihe:iti:xds-sd:text:2008", "1.3.6.1.4.1.19376.1.2.3", "Texte <brut>"};

  TRecords() {
    Patient.INSi = {"2800175123456", 'R', "1.2.250.1.213.1.4.8"};
    Patient.Identite.NomNaissance = "L'HÔPITAL & <FILS>";
    Patient.Identite.NomUsage = "\"MARTIN\"";
    Patient.Identite.Prenom = "Zoé";
    Patient.Identite.DateNaissance = "01/02/1980";
    Patient.Identite.Sexe = 'F';
    Porteur.TypeCarte = 0;
    Porteur.IdNational = "810001234567";
    Porteur.Nom = "DOC<TEUR>";
    Porteur.Prenom = "Jean & Marie";
    Porteur.Entite = {"SM26", "Qualifié en médecine générale", "1.2.250.1.213.1.1.4.5"};
    Activite.Entite = {"SA07", "Cabinet individuel", "1.2.250.1.71.4.2.4"};
    Activite.IdNational = "3-1234";
    Activite.RaisonSociale = "Cabinet \"Dr & Co\" <Paris>";
  }

  TInfo Info(int Number) const {
    TInfo I;
    I.CDA.Patient = &Patient;
    I.CDA.Porteur = &Porteur;
    I.CDA.Activite = &Activite;
    I.CDA.DocType = {"11488-4", "2.16.840.1.113883.6.1", "Note de consultation"};
    I.CDA.Classe = {"10", "1.2.250.1.213.1.1.4.1", "Compte rendu"};
    I.CDA.Practice = {"ETABLISSEMENT", "1.2.250.1.213.1.1.4.9", "Établissement"};
    I.CDA.DocTitle = "Compte rendu n°" + std::to_string(Number) + " <&>";
    I.CDA.NowUTC = 46082.5;
    I.CDA.CreateDate = 46082.25;
    I.CDA.StartDate = 46080;
    I.CDA.Confidentialite = 3;
    I.CDA.LPS_OID = "2.25.123\"456";
    I.CDA.PatientId = "P&12<3>";
    I.DOC.Format = &Format;
    I.DOC.DocID = "1.2.250.1.999.1." + std::to_string(Number);
    I.SubId = "1.2.250.1.999.7.7";
    I.SignId = "1.2.250.1.999.8.8";
    I.Lot = {"Lot <1> & \"2\"", "Titre", "Commentaire & co"};
    return I;
  }
};

std::string Document(int Number) {
  std::string S = TestSupport::ReadFile(TestSupport::Fixture("xades/cda.xml"));
  S.replace(S.find("DUPONT"), 6, "PATIENT" + std::to_string(Number));
  return S;
}

constexpr std::string_view SignatureDocument =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><ds:Signature "
    "xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"1.2.250.1.999.8.8\"/>";
constexpr std::string_view Security =
    "<wsse:Security xmlns:wsse=\"http://docs.oasis-open.org/wss/2004/01/"
    "oasis-200401-wss-wssecurity-secext-1.0.xsd\"/>";
constexpr std::string_view Destination = "https://repository.test/repository?a=1&b=2";

// Split's account of a request of these documents: every part where it
// belongs with the bytes it was given, references and identifiers sound.
void CheckSplit(const std::string& Out, const std::vector<std::string>& Docs,
                const std::string& Associations) {
  const std::string Head = "parts=" + std::to_string(Docs.size() + 2) +
                           " defects=0 multipart=True\n<root.message@carvelin.soap> application/xop+xml ";
  EXPECT_EQ(Out.rfind(Head, 0), 0u) << Out;
  std::string Parts = "<1@carvelin.xop> application/octet-stream " + Sha256(SignatureDocument) + "\n";
  for (size_t K = 0; K < Docs.size(); ++K)
    Parts += "<" + std::to_string(K + 2) + "@carvelin.xop> application/octet-stream " +
             Sha256(Docs[K]) + "\n";
  EXPECT_NE(Out.find(Parts + "hrefs-match=True\nids-unique=True\ndangling=[]\n" + Associations),
            std::string::npos)
      << Out;
  EXPECT_NE(Out.find("sourcePatientId=P&12<3>^^^&2.25.123\"456&ISO^PI\n"), std::string::npos) << Out;
  EXPECT_NE(Out.find("lot=Lot <1> & \"2\"\n"), std::string::npos) << Out;
}

const std::string HasMember = " HasMember SubmissionSet01 ";

TEST(MTOM, single_request_splits_into_three_parts) {
  SKIP_UNLESS_TOOL("openssl");
  TRecords R;
  for (const char* Replace : {"", "urn:uuid:0b8c7f3e-1111-4222-8333-944445555666"}) {
    SCOPED_TRACE(Replace);
    TInfo I = R.Info(1);
    I.ReplaceUuid = Replace;
    const std::string Doc = Document(1);
    const std::string Request =
        ProvideAndRegisterRequest(I, Security, Doc, Destination, SignatureDocument);
    std::string Associations = "association1" + HasMember + "document01\n" + "association2" +
                               HasMember + "Signature01\n" +
                               "association3 signs Signature01 SubmissionSet01\n";
    if (*Replace) Associations += "association4 RPLC document01 " + std::string(Replace) + "\n";
    CheckSplit(Split(Request), {Doc}, Associations);
  }
}

TEST(MTOM, batch_requests_split_into_two_n_plus_one_parts) {
  SKIP_UNLESS_TOOL("openssl");
  TRecords R;
  for (int N : {1, 2, 12}) {
    SCOPED_TRACE(N);
    std::vector<std::string> Docs;
    std::string Parts, Entries, Associations;
    for (int K = 1; K <= N; ++K) {
      Docs.push_back(Document(K));
      Parts += K == 1 ? Docs.back() : MTOMDocumentPart(K, Docs.back());
      Entries += XDSbDocumentEntry(R.Info(K), K);
      Associations += "association" + std::to_string(K) + HasMember + "document" +
                      (K < 10 ? "0" : "") + std::to_string(K) + "\n";
    }
    Associations += "association" + std::to_string(N + 1) + HasMember + "Signature01\n";
    Associations += "association" + std::to_string(N + 2) + " signs Signature01 SubmissionSet01\n";
    const std::string Request = ProvideAndRegisterLotRequest(R.Info(1), Security, Parts, N,
                                                             Destination, Entries, SignatureDocument);
    CheckSplit(Split(Request), Docs, Associations);
  }
}

TEST(MTOM, request_layout_is_byte_exact_at_its_edges) {
  TRecords R;
  const std::string Request =
      ProvideAndRegisterRequest(R.Info(1), Security, "DOC", Destination, "SIG");
  const std::string Head =
      "--=_carvelin_boundary_\r\n"
      "Content-Type: application/xop+xml; charset=UTF-8; type=\"application/soap+xml\"; "
      "action=\"urn:ihe:iti:2007:ProvideAndRegisterDocumentSet-b\";\r\n"
      "Content-Transfer-Encoding: binary\r\n"
      "Content-ID: <root.message@carvelin.soap>\r\n\r\n"
      "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\"><soap:Header>";
  EXPECT_EQ(Request.substr(0, Head.size()), Head);
  const std::string Tail =
      "</soap:Envelope>\r\n"
      "--=_carvelin_boundary_\r\nContent-Type: application/octet-stream\r\n"
      "Content-Transfer-Encoding: binary\r\nContent-ID: <1@carvelin.xop>\r\n\r\nSIG\r\n"
      "--=_carvelin_boundary_\r\nContent-Type: application/octet-stream\r\n"
      "Content-Transfer-Encoding: binary\r\nContent-ID: <2@carvelin.xop>\r\n\r\nDOC\r\n"
      "--=_carvelin_boundary_--";
  ASSERT_GE(Request.size(), Tail.size());
  EXPECT_EQ(Request.substr(Request.size() - Tail.size()), Tail);
}

TEST(MTOM, document_entry_metadata) {
  TRecords R;
  struct Case {
    const char* Usage;
    const char* Birth;
    std::vector<std::string> Values;
  } Cases[] = {
      {"DURAND", "DURAND", {"PID-5|DURAND^Zoé^Zoé^^^^L"}},
      {"MARTIN", "DURAND", {"PID-5|DURAND^Zoé^Zoé^^^^L", "PID-5|MARTIN^Zoé^^^^^D"}},
      {"MARTIN", "", {"PID-5|MARTIN^Zoé^^^^^D"}},
      {"", "A&B", {"PID-5|A&amp;B^Zoé^Zoé^^^^L"}},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Usage + std::string("/") + C.Birth);
    TRecords Local;
    Local.Patient.Identite.NomUsage = C.Usage;
    Local.Patient.Identite.NomNaissance = C.Birth;
    const std::string Entry = XDSbDocumentEntry(Local.Info(1), 1);
    std::string Values;
    for (const std::string& V : C.Values) Values += "<ns2:Value>" + V + "</ns2:Value>";
    Values += "<ns2:Value>PID-7|19800201</ns2:Value><ns2:Value>PID-8|F</ns2:Value>";
    EXPECT_NE(Entry.find("<ns2:Slot name=\"sourcePatientInfo\"><ns2:ValueList>" + Values +
                         "</ns2:ValueList></ns2:Slot>"),
              std::string::npos)
        << Entry;
  }
  // Document k carries "ei" + (k + 1) + "1"/"2"; the signature entry's come
  // after the last document's, so a batch never repeats one.
  EXPECT_NE(XDSbDocumentEntry(R.Info(2), 2).find("id=\"ei31\""), std::string::npos);
  EXPECT_NE(XDSbDocumentEntry(R.Info(12), 12).find("id=\"ei132\""), std::string::npos);
  const std::string Single = ProvideAndRegisterRequest(R.Info(1), Security, "D", Destination, "S");
  EXPECT_NE(Single.find("registryObject=\"Signature01\" id=\"ei31\""), std::string::npos);
  const std::string Lot = ProvideAndRegisterLotRequest(R.Info(1), Security, "D", 2, Destination,
                                                       "", "S");
  EXPECT_NE(Lot.find("registryObject=\"Signature01\" id=\"ei41\""), std::string::npos);
  // The signature entry is always normal, hidden from professionals and from the patient.
  for (const char* Code : {"\"N\"", "\"MASQUE_PS\"", "\"INVISIBLE_PATIENT\""})
    EXPECT_NE(Single.find("classifiedObject=\"Signature01\" nodeRepresentation=" +
                          std::string(Code)),
              std::string::npos)
        << Code;
}

TEST(MTOM, batch_bounds_are_checked) {
  TRecords R;
  for (int N : {0, -1, 100})
    EXPECT_THROW(ProvideAndRegisterLotRequest(R.Info(1), Security, "", N, Destination, "", ""),
                 std::invalid_argument)
        << N;
  for (int K : {1, 100}) EXPECT_THROW(MTOMDocumentPart(K, "x"), std::invalid_argument) << K;
  for (int K : {0, 100}) EXPECT_THROW(XDSbDocumentEntry(R.Info(1), K), std::invalid_argument) << K;
}

// The update re-read by ElementTree: what changed and what was kept.
constexpr const char* ReadUpdate = R"PY(
import sys
from xml.etree import ElementTree as ET
RIM = "urn:oasis:names:tc:ebxml-regrep:xsd:rim:3.0"
e = ET.fromstring('<w xmlns:ns2="%s" xmlns:rim="%s">' % (RIM, RIM) + sys.stdin.read() + '</w>')[0]
R = "{%s}" % RIM
print(e.tag.replace(R, "ns2:"), e.get("id"), e.get("lid"), e.get("home"), e.get("status"))
for c in e:
    tag = c.tag.replace(R, "")
    if tag == "Classification":
        print(tag, c.get("classifiedObject"), c.get("nodeRepresentation"))
    elif tag == "VersionInfo":
        print(tag, c.get("versionName"))
    elif tag == "Name":
        print(tag, c[0].get("value"))
    elif tag == "Note":
        print(tag, c.text)
    else:
        print(tag)
)PY";

TEST(MTOM, updated_entry_carries_next_version_and_new_confidentiality_once) {
  const std::string Source = TestSupport::ReadFile(TestSupport::Fixture("xades/registry-entry.xml"));
  TXMLTree Tree;
  Tree.Build(Source);
  std::string Text, Old, Id;
  UpdatedDocumentEntry(&Tree.Root(), 0b101, Text, Old, Id);
  EXPECT_EQ(Old, "3");
  EXPECT_EQ(Id, "document01");
  EXPECT_EQ(Text.rfind("<ns2:ExtrinsicObject id=\"document01\" xmlns:rim=", 0), 0u) << Text;
  auto R = TestSupport::RunPython(ReadUpdate, {}, Text);
  ASSERT_EQ(R.Status, 0) << R.Err << Text;
  EXPECT_EQ(R.Out,
            "ns2:ExtrinsicObject document01 urn:uuid:0b8c7f3e-1111-4222-8333-944445555666 "
            "say \"hi\" urn:oasis:names:tc:ebxml-regrep:StatusType:Approved\n"
            "Slot\nSlot\nName Compte rendu <urgent> & suivi\nDescription\n"
            "Classification document01 N\n"
            "Classification document01 MASQUE_PS\n"
            "Classification document01 INVISIBLE_REPRESENTANTS_LEGAUX\n"
            "Classification urn:uuid:0b8c7f3e-1111-4222-8333-944445555666 10\n"
            "ExternalIdentifier\nNote a <b> & c\nVersionInfo 4\n");
  // The source's escaping is kept as written.
  EXPECT_NE(Text.find("value=\"Compte rendu &lt;urgent&gt; &amp; suivi\""), std::string::npos);
  EXPECT_NE(Text.find("<ns2:Value>P&amp;12^^^&amp;1.2.3&amp;ISO^PI</ns2:Value>"),
            std::string::npos);
}

// The reader lets through names that are no XML names (":a", "a<b"): such an
// entry is refused; what is written is well-formed for xmllint, with every
// attribute under its name as written and the reader's leniencies escaped.
TEST(MTOM, updated_entry_is_well_formed_or_refused) {
  SKIP_UNLESS_TOOL("xmllint");
  struct Case {
    const char* Entry;
    const char* Refusal;  // nullptr: written
    std::vector<std::string> Written;
  } Cases[] = {
      {"<Extrinsicect :><=\"\"><VersionInfo versionName=\"1\"/></Extrinsicect>",
       "Entrée du registre non réécrite : nom d'attribut invalide \":><\"", {}},
      {"<E :id=\"x\"><VersionInfo versionName=\"1\"/></E>",
       "Entrée du registre non réécrite : nom d'attribut invalide \":id\"", {}},
      {"<E a<b=\"1\"><VersionInfo versionName=\"1\"/></E>",
       "Entrée du registre non réécrite : nom d'attribut invalide \"a<b\"", {}},
      {"<E p:=\"1\"><VersionInfo versionName=\"1\"/></E>",
       "Entrée du registre non réécrite : nom d'attribut invalide \"p:\"", {}},
      {"<E a:b:c=\"1\"><VersionInfo versionName=\"1\"/></E>",
       "Entrée du registre non réécrite : nom d'attribut invalide \"a:b:c\"", {}},
      {"<E><VersionInfo versionName=\"1\"/><Slot n\"x=\"1\"/></E>",
       "Entrée du registre non réécrite : nom d'attribut invalide \"n\"x\"", {}},
      {"<E><VersionInfo versionName=\"1\"/><a\"b/></E>",
       "Entrée du registre non réécrite : nom d'élément invalide \"a\"b\"", {}},
      {"<1E><VersionInfo versionName=\"1\"/></1E>",
       "Entrée du registre non réécrite : nom d'élément invalide \"1E\"", {}},
      {"<E a=\"1\" a=\"2\"><VersionInfo versionName=\"1\"/></E>",
       "Entrée du registre non réécrite : attribut en double \"a\"", {}},
      {"<rim:E xmlns:rim=\"urn:r\" rim:lid=\"l\" xml:lang=\"fr\" \xC3\xA9t\xC3\xA9=\"1\" id=\"old\">"
       "<VersionInfo versionName=\"1\"/><Slot name='a \"&amp; b' v=\"x & y &#12\">1 > 0 ]]> &#xE9; & &#0;</Slot></rim:E>",
       nullptr,
       {"<ns2:E id=\"document01\" xmlns:rim=\"urn:r\" rim:lid=\"l\" xml:lang=\"fr\" \xC3\xA9t\xC3\xA9=\"1\">",
        "<ns2:Slot name=\"a &quot;&amp; b\" v=\"x &amp; y &amp;#12\">1 &gt; 0 ]]&gt; &#xE9; &amp; &amp;#0;</ns2:Slot>"}},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Entry);
    TXMLTree Tree;
    Tree.Build(C.Entry);
    std::string Text = "kept", Old, Id;
    if (C.Refusal) {
      try {
        UpdatedDocumentEntry(&Tree.Root(), 0, Text, Old, Id);
        ADD_FAILURE() << "written: " << Text;
      } catch (const std::runtime_error& E) {
        EXPECT_STREQ(E.what(), C.Refusal);
      }
      EXPECT_EQ(Text, "kept");
      continue;
    }
    UpdatedDocumentEntry(&Tree.Root(), 0, Text, Old, Id);
    for (const std::string& Piece : C.Written) EXPECT_NE(Text.find(Piece), std::string::npos) << Text;
    const auto R = TestSupport::Run(
        {"xmllint", "--noout", "-"}, "<w xmlns:ns2=\"urn:oasis:names:tc:ebxml-regrep:xsd:rim:3.0\">" + Text + "</w>");
    EXPECT_EQ(R.Status, 0) << R.Err << Text;
    EXPECT_EQ(R.Err, "") << Text;
  }
}

TEST(MTOM, updated_entry_needs_a_decimal_version) {
  struct Case {
    const char* Entry;
    const char* Message;
  } Cases[] = {
      {"<ExtrinsicObject id=\"x\"><Slot/></ExtrinsicObject>", "'' is not a valid integer value"},
      {"<ExtrinsicObject><VersionInfo versionName=\"1.1\"/></ExtrinsicObject>",
       "'1.1' is not a valid integer value"},
      {"<ExtrinsicObject><VersionInfo versionName=\"\"/></ExtrinsicObject>",
       "'' is not a valid integer value"},
      {"<ExtrinsicObject><VersionInfo versionName=\"99999999999\"/></ExtrinsicObject>",
       "'99999999999' is not a valid integer value"},
  };
  for (const Case& C : Cases) {
    TXMLTree Tree;
    Tree.Build(C.Entry);
    std::string Text = "kept", Old, Id;
    try {
      UpdatedDocumentEntry(&Tree.Root(), 0, Text, Old, Id);
      ADD_FAILURE() << C.Entry;
    } catch (const std::runtime_error& E) {
      EXPECT_STREQ(E.what(), C.Message);
    }
    EXPECT_EQ(Text, "kept");
  }
  TXMLTree Tree;
  Tree.Build("<ExtrinsicObject><VersionInfo versionName=\"2147483647\"/></ExtrinsicObject>");
  std::string Text, Old, Id;
  UpdatedDocumentEntry(&Tree.Root(), 0, Text, Old, Id);
  EXPECT_NE(Text.find("versionName=\"2147483648\""), std::string::npos) << Text;
}

}  // namespace
