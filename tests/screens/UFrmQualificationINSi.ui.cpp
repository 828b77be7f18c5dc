// The identity-check dialog: the value of each document choice, the
// warning when a choice is missing, and the cancelled answers.
#include <QButtonGroup>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include "ModalAnswer.h"
#include "UFrmQualificationINSi.h"

using namespace Carvelin;

namespace {

const QString Warning = QStringLiteral(
    "Le Référentiel national d'identitovigilance de l'Agence du Numérique en Santé conditionne l'usage de "
    "l'identité numérique du patient à un contrôle d'identité\n\nVeuillez indiquez le document qui vous a permis "
    "d'effectuer ce contrôle");

Talven::TINSiResponse Answer() {
  Talven::TINSiResponse A;
  A.Nom = "<b>D'ARTAGNAN</b>";
  A.Prenoms = "CHARLES ODILE";
  A.DateNaissance = "1979-03-15";
  A.Sexe = "M";
  A.LieuNaissance = "2A004";
  return A;
}

constexpr int G = 10;  // the guardian's items in a click list

void Choose(QButtonGroup* Group, int Item) { Group->button(Item)->click(); }

}  // namespace

class TUFrmQualificationINSiTest : public QObject {
  Q_OBJECT

 private slots:
  // Clicks in order (patient's documents 0 to 4, guardian's G + 0 to 2);
  // the value Execute answers, or 0 for the warning with the dialog left open.
  void confirmation_answers_the_document_value_data() {
    QTest::addColumn<QList<int>>("Clicks");
    QTest::addColumn<bool>("GuardianShown");
    QTest::addColumn<int>("Value");
    QTest::newRow("nothing chosen") << QList<int>{} << false << 0;
    QTest::newRow("identity card") << QList<int>{0} << false << 4;
    QTest::newRow("passport") << QList<int>{1} << false << 8;
    QTest::newRow("residence permit") << QList<int>{2} << false << 16;
    QTest::newRow("family book alone") << QList<int>{3} << true << 0;
    QTest::newRow("birth extract alone") << QList<int>{4} << true << 0;
    QTest::newRow("family book and guardian's passport") << QList<int>{3, G + 1} << true << 40;
    QTest::newRow("birth extract and guardian's permit") << QList<int>{4, G + 2} << true << 80;
    QTest::newRow("birth extract and guardian's card") << QList<int>{4, G + 0} << true << 68;
    QTest::newRow("minor's documents, then an adult's") << QList<int>{3, G + 1, 2} << false << 16;
  }
  void confirmation_answers_the_document_value() {
    QFETCH(QList<int>, Clicks);
    QFETCH(bool, GuardianShown);
    QFETCH(int, Value);
    QStringList Warnings;
    bool Shown = false, OpenAfterWarning = false;
    const auto Dialog = AnswerModal<TFrmQualificationINSi>([&](TFrmQualificationINSi& Form) {
      QVERIFY(!Form.RadioGroup2->isVisible());
      for (int Click : Clicks) Choose(Click < G ? Form.Documents1 : Form.Documents2, Click % G);
      Shown = Form.RadioGroup2->isVisible();
      const auto Box = AnswerModal<QMessageBox>([&](QMessageBox& B) {
        Warnings << B.text();
        B.accept();
      });
      QTest::mouseClick(Form.Button1, Qt::LeftButton);
      OpenAfterWarning = Form.isVisible();
      if (OpenAfterWarning) Form.reject();
    });
    const int Result = TFrmQualificationINSi::Execute(nullptr, Answer());
    QCOMPARE(Shown, GuardianShown);
    QCOMPARE(Result, Value ? Value : -1);
    QCOMPARE(Warnings, Value ? QStringList{} : QStringList{Warning});
    QCOMPARE(OpenAfterWarning, Value == 0);
  }

  void teleservice_identity_is_shown_as_plain_text() {
    QStringList Shown;
    const auto Dialog = AnswerModal<TFrmQualificationINSi>([&](TFrmQualificationINSi& Form) {
      QCOMPARE(Form.windowTitle(), QStringLiteral("Validation de l'identité numérique"));
      for (QLabel* L : {Form.lbNom, Form.lbPrenoms, Form.lbNaissance, Form.lbSexe, Form.lbCommune}) {
        QVERIFY(L->isVisible());
        QCOMPARE(L->textFormat(), Qt::PlainText);
        Shown << L->text();
      }
      Shown << Form.lbPrenomsCaption->text();
      QVERIFY(Form.lbURL->text().contains(QLatin1String(RNIVAddress)));
      QVERIFY(Form.lbURL->text().contains(QStringLiteral("RNIV 1 Principes communs")));
      QTest::mouseClick(Form.btCancel, Qt::LeftButton);
    });
    QCOMPARE(TFrmQualificationINSi::Execute(nullptr, Answer()), -1);
    QCOMPARE(Shown, (QStringList{"<b>D'ARTAGNAN</b>", "CHARLES ODILE", "1979-03-15", "M", "2A004", "Prénoms"}));
  }

  void mobile_identity_shows_the_usage_name_and_cancels_to_zero_data() {
    QTest::addColumn<int>("Document");  // -1: cancelled
    QTest::addColumn<int>("Value");
    QTest::newRow("cancelled") << -1 << 0;
    QTest::newRow("passport") << 1 << 8;
  }
  void mobile_identity_shows_the_usage_name_and_cancels_to_zero() {
    QFETCH(int, Document);
    QFETCH(int, Value);
    Talven::TIdentiteAMO Identite;
    Identite.NomFamille = "MARTIN";
    Identite.NomUsage = "DUPONT";
    Identite.DateNaissance = "15/03/1979";
    QStringList Shown;
    bool SexeShown = true, CommuneShown = true;
    const auto Dialog = AnswerModal<TFrmQualificationINSi>([&](TFrmQualificationINSi& Form) {
      Shown << Form.lbNom->text() << Form.lbPrenomsCaption->text() << Form.lbPrenoms->text()
            << Form.lbNaissance->text();
      SexeShown = Form.lbSexe->isVisible();
      CommuneShown = Form.lbCommune->isVisible();
      if (Document < 0) return Form.reject();
      Choose(Form.Documents1, Document);
      QTest::mouseClick(Form.Button1, Qt::LeftButton);
    });
    QCOMPARE(TFrmQualificationINSi::ExecuteAPCV(nullptr, Identite), Value);
    QCOMPARE(Shown, (QStringList{"MARTIN", "Nom d'usage", "DUPONT", "15/03/1979"}));
    QVERIFY(!SexeShown);
    QVERIFY(!CommuneShown);
  }
};

QTEST_MAIN(TUFrmQualificationINSiTest)
#include "UFrmQualificationINSi.ui.moc"
