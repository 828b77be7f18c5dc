// The closing dialog: its title names the record's patient, OK needs a
// motive that is not blank, and the motive comes back trimmed.
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include "FakeCarvelin.h"
#include "ModalAnswer.h"
#include "UFermerDMP.h"

using namespace Carvelin;
using namespace Talven;

class TUFermerDMPTest : public QObject {
  Q_OBJECT

  std::shared_ptr<TestSupport::TFakeCarvelin> Fake;
  std::shared_ptr<IDossierMedical> DOS;

 private slots:
  void init() {
    Fake = std::make_shared<TestSupport::TFakeCarvelin>();
    TIdentite& Id = Fake->Core->Data.Dossier.Patient.Identite;
    Id.Civilite = 3;
    Id.NomUsage = "MARTIN";
    Id.Prenom = "Zoé";
    QCOMPARE(Fake->xmlDossierExiste("", DOS), ERR_OK);
  }

  void cleanup() {
    DOS.reset();
    Fake.reset();
  }

  // Null Text keeps the pre-filled motive.
  void ok_needs_a_motive_and_trims_it_data() {
    QTest::addColumn<QString>("Text");
    QTest::addColumn<QString>("Motive");  // empty: refused
    QTest::newRow("pre-filled") << QString() << "Fermeture à la demande du patient";
    QTest::newRow("typed, with blanks around") << " \n Départ à l'étranger\t\n" << "Départ à l'étranger";
    QTest::newRow("two lines") << "Déménagement\nà l'étranger" << "Déménagement\nà l'étranger";
    QTest::newRow("emptied") << "" << "";
    QTest::newRow("blanks and line breaks") << "  \n\t \n" << "";
  }
  void ok_needs_a_motive_and_trims_it() {
    QFETCH(QString, Text);
    QFETCH(QString, Motive);
    QString Title, Prefilled;
    QStringList Warnings;
    bool OpenAfterWarning = false;
    const auto Dialog = AnswerModal<TFermerDMP>([&](TFermerDMP& Form) {
      Title = Form.windowTitle() + "|" + Form.lbTitle->text();
      Prefilled = Form.mmMotif->toPlainText();
      if (!Text.isNull()) Form.mmMotif->setPlainText(Text);
      const auto Box = AnswerModal<QMessageBox>([&](QMessageBox& B) {
        Warnings << B.text();
        B.accept();
      });
      QTest::mouseClick(Form.btOK, Qt::LeftButton);
      OpenAfterWarning = Form.isVisible();
      if (OpenAfterWarning) Form.reject();
    });
    std::string Result = "untouched";
    QCOMPARE(TFermerDMP::Execute(nullptr, *DOS, Result), !Motive.isEmpty());
    QCOMPARE(Title, QStringLiteral("Fermeture du DMP|Confirmez vous que Mlle MARTIN Zoé (ou son représentant légal) "
                                   "vous autorise à accéder à fermer son DMP ?"));
    QCOMPARE(Prefilled, QStringLiteral("Fermeture à la demande du patient"));
    QCOMPARE(QString::fromStdString(Result), Motive.isEmpty() ? QStringLiteral("untouched") : Motive);
    QCOMPARE(Warnings, Motive.isEmpty() ? QStringList{QStringLiteral("Le motif est obligatoire")} : QStringList{});
    QCOMPARE(OpenAfterWarning, Motive.isEmpty());
  }

  void cancel_answers_false_and_keeps_the_motive() {
    const auto Dialog = AnswerModal<TFermerDMP>([](TFermerDMP& Form) { Form.btAnnuler->click(); });
    std::string Motif = "untouched";
    QVERIFY(!TFermerDMP::Execute(nullptr, *DOS, Motif));
    QCOMPARE(Motif, std::string("untouched"));
  }
};

QTEST_MAIN(TUFermerDMPTest)
#include "UFermerDMP.ui.moc"
