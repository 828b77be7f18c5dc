// The records' JSON read by Python's json module: member order, nulls, left-out
// zero date-times; and JSON written by Python read back into the records.
#include "Carvelin.Database.h"

#include <gtest/gtest.h>

#include <sstream>

#include "TestSupport.h"
#include "Vantrel.JSON.UTF8.h"

namespace {

using namespace Carvelin;
using Vantrel::TDateTime;

TDateTime At(int Y, int M, int D, int H = 0, int N = 0, int S = 0) {
  TDateTime V = 0;
  EXPECT_TRUE(Vantrel::TryEncodeDateTime({Y, M, D, H, N, S, 0}, V));
  return V;
}

// Each input line parsed by Python and written back as its list of [member, value] pairs.
std::vector<std::string> PythonPairs(const std::vector<std::string>& Lines) {
  std::string Input;
  for (const auto& L : Lines) Input += L + "\n";
  auto R = TestSupport::RunPython(R"(
import json, sys
for line in sys.stdin:
    print(json.dumps(json.loads(line, object_pairs_hook=list), ensure_ascii=False))
)",
                                  {}, Input);
  EXPECT_EQ(R.Status, 0) << R.Err;
  std::vector<std::string> Out;
  std::istringstream In(R.Out);
  for (std::string L; std::getline(In, L);) Out.push_back(L);
  return Out;
}

TEST(DatabasePeer, records_are_written_in_field_order_with_nulls_and_without_zero_date_times) {
  if (!TestSupport::HaveTool(TestSupport::Python)) GTEST_SKIP() << "no Python";
  TVaspoPatient Empty;
  TVaspoPatient Full;
  Full.rowid = 1099511627776;
  Full.Nom = "D'Aubigné \"l'aîné\"";
  Full.Prenom = "Zoë\t";
  Full.Naissance = At(1950, 12, 31);
  Full.Nir = "2500375123456";
  Full.Rang = 2;
  Full.INSN = "255031234567812";
  Full.INSi = "<INSi/>";
  Full.INSiDate = At(2024, 1, 31, 10, 20, 30);
  Full.INSiStatus = 3;
  Full.Praticien = 7;
  Full.LastDate = At(2024, 2, 1);
  Full.crt = At(2024, 2, 2, 8, 0, 0);
  Full.upd = At(2024, 2, 3, 9, 0, 0);
  TVaspoPraticien Pr;
  Pr.IdNational = "810001234567";
  Pr.LPS_OID = "2.25.1";
  Pr.crt = At(2020, 1, 2, 3, 4, 5);
  TVaspoDocument Doc;
  Doc.uniqueId = "1.2^3";
  Doc.date = At(2024, 6, 1, 12, 0, 0);
  Doc.etat = 1;
  TVaspoFavoris Fav{{"Biologie", "Imagerie"}};
  TQueryPatient Query;
  Query.NIR = "250";
  Query.Open = true;
  TSendFileToDMP Send{"INS", "L1", "Titre", "/tmp/a.pdf", "application/pdf", "", "11488-4", At(2024, 3, 4, 5, 6, 7)};
  TSendFileToDMPReply Reply{-3, "Erreur", "L1", "", "1.2^3"};
  TChangeCategory Change{"INS", "Nom", "", "Cat"};
  TRecvFileFromDMP Recv{"INS", "f.pdf", "application/pdf", "T", 0, "C", "U", "11488-4", 0};

  auto Pairs = PythonPairs({
      Vantrel::JSON::buildJSON(Empty), Vantrel::JSON::buildJSON(Full), Vantrel::JSON::buildJSON(Pr),
      Vantrel::JSON::buildJSON(Doc), Vantrel::JSON::buildJSON(Fav), Vantrel::JSON::buildJSON(Query),
      Vantrel::JSON::buildJSON(Send), Vantrel::JSON::buildJSON(Reply), Vantrel::JSON::buildJSON(Change),
      Vantrel::JSON::buildJSON(Recv),
  });
  const std::vector<std::string> Expected = {
      R"([["rowid", 0], ["Nom", null], ["Prenom", null], ["Naissance", null], ["Nir", null], ["Rang", 0], )"
      R"(["Nir2", null], ["INSC", null], ["INSN", null], ["INSi", null], ["INSiStatus", 0], ["Praticien", 0], )"
      R"(["Status", 0]])",
      R"([["rowid", 1099511627776], ["Nom", "D'Aubigné \"l'aîné\""], ["Prenom", "Zoë\t"], )"
      R"(["Naissance", "1950-12-31"], ["Nir", "2500375123456"], ["Rang", 2], ["Nir2", null], ["INSC", null], )"
      R"(["INSN", "255031234567812"], ["INSi", "<INSi/>"], ["INSiDate", "2024-01-31T10:20:30"], )"
      R"(["INSiStatus", 3], ["Praticien", 7], ["Status", 0], ["LastDate", "2024-02-01T00:00:00"], )"
      R"(["crt", "2024-02-02T08:00:00"], ["upd", "2024-02-03T09:00:00"]])",
      R"([["rowid", 0], ["IdNational", "810001234567"], ["Nom", null], ["Prenom", null], ["idStruct", null], )"
      R"(["codeStruct", null], ["RaisonSociale", null], ["Profession", null], ["Specialite", null], )"
      R"(["Pharmacien", null], ["LPS_OID", "2.25.1"], ["UID", null], ["Favoris", null], )"
      R"(["numFacturation", null], ["crt", "2020-01-02T03:04:05"]])",
      R"([["rowid", 0], ["Patient", 0], ["Praticien", 0], ["uniqueId", "1.2^3"], ["titre", null], )"
      R"(["TypeDoc", null], ["date", "2024-06-01T12:00:00"], ["etat", 1]])",
      R"([["Favoris", ["Biologie", "Imagerie"]]])",
      R"([["Naissance", null], ["NIR", "250"], ["INS", null], ["Search", false], ["Open", true]])",
      R"([["INS", "INS"], ["LocalId", "L1"], ["Title", "Titre"], ["FileName", "/tmp/a.pdf"], )"
      R"(["MimeType", "application/pdf"], ["ReplaceId", null], ["Category", "11488-4"], )"
      R"(["Date", "2024-03-04T05:06:07"]])",
      R"([["ErrNo", -3], ["Error", "Erreur"], ["LocalId", "L1"], ["Server", null], ["UniqueId", "1.2^3"]])",
      R"([["INS", "INS"], ["Nom", "Nom"], ["Prenom", null], ["Categorie", "Cat"]])",
      R"([["INS", "INS"], ["FileName", "f.pdf"], ["TypeMime", "application/pdf"], ["Title", "T"], )"
      R"(["Categorie", "C"], ["UniqueID", "U"], ["TypeDoc", "11488-4"], ["Error", 0]])",
  };
  ASSERT_EQ(Pairs.size(), Expected.size());
  for (size_t I = 0; I < Expected.size(); ++I) EXPECT_EQ(Pairs[I], Expected[I]) << I;
}

TEST(DatabasePeer, json_written_by_python_reads_into_the_records) {
  if (!TestSupport::HaveTool(TestSupport::Python)) GTEST_SKIP() << "no Python";
  auto R = TestSupport::RunPython(R"(
import json
print(json.dumps({"naissance": "1950-03-04", "nir": "250", "INS": "255031234567812", "search": True,
                  "Open": False, "Inconnu": {"a": [1, 2]}}))
print(json.dumps({"INS": "I", "Title": "Compte rendu \u00e9\u00e8 \"x\"", "Date": "2024-03-04T05:06:07",
                  "Category": "11488-4", "ReplaceId": None}))
print(json.dumps({"Favoris": ["A", "B\u00e9"]}))
)");
  ASSERT_EQ(R.Status, 0) << R.Err;
  std::istringstream In(R.Out);
  std::string L1, L2, L3;
  std::getline(In, L1);
  std::getline(In, L2);
  std::getline(In, L3);
  TQueryPatient Q;
  Vantrel::JSON::parseJSON(L1, Q);
  EXPECT_DOUBLE_EQ(Q.Naissance, At(1950, 3, 4));
  EXPECT_EQ(Q.NIR, "250");
  EXPECT_EQ(Q.INS, "255031234567812");
  EXPECT_TRUE(Q.Search);
  EXPECT_FALSE(Q.Open);
  TSendFileToDMP S;
  S.ReplaceId = "reste?";
  Vantrel::JSON::parseJSON(L2, S);
  EXPECT_EQ(S.Title, "Compte rendu éè \"x\"");
  EXPECT_DOUBLE_EQ(S.Date, At(2024, 3, 4, 5, 6, 7));
  EXPECT_TRUE(S.ReplaceId.empty());
  TVaspoFavoris F;
  Vantrel::JSON::parseJSON(L3, F);
  EXPECT_EQ(F.Favoris, (std::vector<std::string>{"A", "Bé"}));
}

TEST(DatabasePeer, statistics_items_and_submit_data_are_objects) {
  TStatistique2 Item;
  Item.Praticien = "Martin Luc";
  Item.DateDMP = At(2024, 3, 1, 8, 0, 0);
  EXPECT_EQ(Vantrel::ObjectToJSON(&Item),
            R"({"Praticien":"Martin Luc","Patient":null,"DateDMP":"2024-03-01T08:00:00","INSNIR":null})");

  std::unique_ptr<TSubmitData> Received;
  uintptr_t From = 0;
  uint32_t Message = 0;
  const TSubmitData* Posted = TSubmitData::Create(
      [&](uintptr_t F, uint32_t M, std::unique_ptr<TSubmitData> D) {
        From = F;
        Message = M;
        Received = std::move(D);
      },
      42, 1025, 7, "{\"INS\":\"x\"}");
  ASSERT_TRUE(Received);
  EXPECT_EQ(Posted, Received.get());
  EXPECT_EQ(From, 42u);
  EXPECT_EQ(Message, 1025u);
  EXPECT_EQ(Received->Tag, 7);
  EXPECT_EQ(Received->Msg, "{\"INS\":\"x\"}");
}

TEST(DatabasePeer, patient_ins_prefers_the_ins_and_qualified_above_status_two) {
  const struct {
    const char* INSC;
    const char* INSN;
    int32_t Status;
    const char* INS;
    bool Qualified;
  } Cases[] = {
      {"C", "", 2, "C", false},
      {"C", "N", 3, "N", true},
      {"", "N", 0, "N", false},
      {"", "", 4, "", true},
  };
  for (const auto& C : Cases) {
    TVaspoPatient P;
    P.INSC = C.INSC;
    P.INSN = C.INSN;
    P.INSiStatus = C.Status;
    EXPECT_EQ(P.INS(), C.INS);
    EXPECT_EQ(P.INSiQualified(), C.Qualified);
  }
}

}  // namespace
