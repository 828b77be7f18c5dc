// The practitioner choice of a software-certificate session, over the
// practitioners a real local database knows for the structure.
#include <QPushButton>
#include <QtTest>

#include "FakeCarvelin.h"
#include "ModalAnswer.h"
#include "TestSupport.h"
#include "UChoixPraticien.h"

using namespace Carvelin;
using namespace Talven;
using TestSupport::TFakeCarvelin;

class TChoixPraticienTest : public QObject {
  Q_OBJECT

  std::unique_ptr<TestSupport::TempDir> Dir;
  TVaspoDatabase Database;

  static TVaspoPraticien Row(std::string Nom, std::string IdNational, std::string idStruct) {
    TVaspoPraticien P;
    P.Nom = std::move(Nom);
    P.Prenom = "Anne";
    P.IdNational = std::move(IdNational);
    P.idStruct = std::move(idStruct);
    P.codeStruct = "SA07";
    P.Profession = "10";
    P.Specialite = "SM54";
    P.numFacturation = "991234567";
    return P;
  }

 private slots:
  void initTestCase() {
    Dir = std::make_unique<TestSupport::TempDir>();
    Database.Init((*Dir / "carvelin.db").string());
    for (TVaspoPraticien P : {Row("MARTIN", "810001", "S1"), Row("DURAND", "810002", "S1"), Row("AUTRE", "810003", "S2")})
      Database.SavePraticien(P);
  }
  void cleanupTestCase() { Database.Close(); }

  void window_and_columns() {
    TChoixPraticien Form(nullptr, {Row("MARTIN", "810001", "S1")});
    QCOMPARE(Form.windowTitle(), QStringLiteral("Choix du praticien"));
    const QStringList Captions = {"Nom", "Prénom", "Id National"};
    const QList<int> Widths = {150, 150, 205};
    QCOMPARE(Form.Headers->SectionCount(), 3);
    for (int N = 0; N < 3; ++N) {
      QCOMPARE(Form.Headers->SectionText(N), Captions[N]);
      QCOMPARE(Form.Headers->SectionWidth(N), Widths[N]);
    }
    QCOMPARE(TChoixPraticien::RowTexts(Form.Praticiens[0]), QStringList({"MARTIN", "Anne", "810001"}));
  }

  void no_practitioner_of_the_structure_shows_nothing() {
    auto Fake = std::make_shared<TFakeCarvelin>();
    auto CRT = Fake->NewCertificateSession();
    TActivite Act;
    Act.IdNational = "S9";
    bool Shown = false;
    auto Watch = AnswerModal<TChoixPraticien>([&Shown](TChoixPraticien& Form) {
      Shown = true;
      Form.reject();
    });
    TVaspoPraticien Praticien;
    QVERIFY(!TChoixPraticien::Execute(nullptr, Database, *CRT, Act, Praticien));
    QCoreApplication::processEvents();
    QVERIFY(!Shown);
    QVERIFY(Fake->Calls().empty());
  }

  // OK without a row does nothing; with one, that row is copied and set on
  // the session; cancel sets nothing.
  void chosen_row_is_copied_and_set() {
    auto Fake = std::make_shared<TFakeCarvelin>();
    auto CRT = Fake->NewCertificateSession();
    TActivite Act;
    Act.IdNational = "S1";
    int Rows = -1;
    auto Answer = AnswerModal<TChoixPraticien>([&Rows](TChoixPraticien& Form) {
      Rows = Form.ListBox->Count();
      Form.btOK->click();
      QVERIFY(Form.isVisible());
      Form.ListBox->SetItemIndex(1);  // ordered by name: DURAND, MARTIN
      Form.btOK->click();
    });
    TVaspoPraticien Praticien;
    QVERIFY(TChoixPraticien::Execute(nullptr, Database, *CRT, Act, Praticien));
    QCOMPARE(Rows, 2);
    QCOMPARE(Praticien.Nom, std::string("MARTIN"));
    QCOMPARE(Praticien.IdNational, std::string("810001"));
    QCOMPARE(Praticien.numFacturation, std::string("991234567"));
    QCOMPARE(Fake->Calls().size(), size_t(1));
    QCOMPARE(Fake->Calls()[0].Name, std::string("SetPraticien"));
    QCOMPARE(Fake->Calls()[0].Args, std::string("810001"));

    auto Cancel = AnswerModal<TChoixPraticien>([](TChoixPraticien& Form) {
      Form.ListBox->SetItemIndex(0);
      Form.btCancel->click();
    });
    TVaspoPraticien Unchanged;
    QVERIFY(!TChoixPraticien::Execute(nullptr, Database, *CRT, Act, Unchanged));
    QCOMPARE(Unchanged.IdNational, std::string());
    QCOMPARE(Fake->Calls().size(), size_t(1));
  }
};

QTEST_MAIN(TChoixPraticienTest)
#include "UChoixPraticien.ui.moc"
