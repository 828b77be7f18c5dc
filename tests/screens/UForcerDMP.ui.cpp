// The access-justification dialog: the motive's edit follows the chosen
// mode, and OK accepts a consent, or an emergency access with a motive.
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "ModalAnswer.h"
#include "UForcerDMP.h"

using namespace Carvelin;

namespace {

const QString NoMode = QStringLiteral("Veuillez choisir un mode d'accès au dossier");
const QString NoMotive = QStringLiteral("Veuillez indiquer le motif d'accès en mode bris de glace");

Talven::TPatientInfo Patient(int Civilite) {
  Talven::TPatientInfo P;
  P.Identite.Civilite = Civilite;
  P.Identite.NomUsage = "<b>DUPONT</b>";
  P.Identite.Prenom = "Jean %1";
  return P;
}

}  // namespace

class TUForcerDMPTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { MotifBrisDeGlace = "motif précédent"; }

  // Clicks in order ('A' consent, 'B' emergency), then the motive's text;
  // the edit's state, and what OK gives: accepted with the motive, or the
  // warning with the focus where it leaves it and the dialog still open.
  void ok_accepts_a_consent_or_an_emergency_with_its_motive_data() {
    QTest::addColumn<QString>("Clicks");
    QTest::addColumn<QString>("Text");
    QTest::addColumn<bool>("Enabled");
    QTest::addColumn<QString>("Warning");  // empty: accepted
    QTest::addColumn<QString>("Motive");
    QTest::newRow("nothing chosen") << "" << "" << false << NoMode << "motif précédent";
    QTest::newRow("consent") << "A" << "" << false << "" << "";
    QTest::newRow("emergency with a motive") << "B" << "  Coma, patient seul \t" << true << ""
                                             << "Coma, patient seul";
    QTest::newRow("emergency without a motive") << "B" << "" << true << NoMotive << "";
    QTest::newRow("emergency, blanks only") << "B" << "   \t " << true << NoMotive << "";
    QTest::newRow("emergency, then consent") << "BA" << "Coma" << false << "" << "";
    QTest::newRow("consent, then emergency") << "AB" << "Coma" << true << "" << "Coma";
  }
  void ok_accepts_a_consent_or_an_emergency_with_its_motive() {
    QFETCH(QString, Clicks);
    QFETCH(QString, Text);
    QFETCH(bool, Enabled);
    QFETCH(QString, Warning);
    QFETCH(QString, Motive);
    bool EnabledAtStart = true, EnabledAfter = !Enabled, OpenAfterWarning = false;
    bool FocusOnMotive = false;
    QStringList Warnings;
    const auto Dialog = AnswerModal<TFrmForcerDMP>([&](TFrmForcerDMP& Form) {
      EnabledAtStart = Form.edBrisDeGlace->isEnabled();
      for (const QChar C : Clicks) QTest::mouseClick(C == QLatin1Char('A') ? Form.cbAutorise : Form.cbBrisDeGlace, Qt::LeftButton);
      EnabledAfter = Form.edBrisDeGlace->isEnabled();
      Form.edBrisDeGlace->setText(Text);
      const auto Box = AnswerModal<QMessageBox>([&](QMessageBox& B) {
        Warnings << B.text();
        B.accept();
      });
      QTest::mouseClick(Form.btOK, Qt::LeftButton);
      OpenAfterWarning = Form.isVisible();
      FocusOnMotive = Form.focusWidget() == Form.edBrisDeGlace;
      if (OpenAfterWarning) Form.reject();
    });
    QCOMPARE(TFrmForcerDMP::Execute(nullptr, Patient(1)), Warning.isEmpty());
    QVERIFY(!EnabledAtStart);
    QCOMPARE(EnabledAfter, Enabled);
    QCOMPARE(Warnings, Warning.isEmpty() ? QStringList{} : QStringList{Warning});
    QCOMPARE(OpenAfterWarning, !Warning.isEmpty());
    if (!Warning.isEmpty()) QCOMPARE(FocusOnMotive, Warning == NoMotive);
    QCOMPARE(QString::fromStdString(MotifBrisDeGlace), Motive);
  }

  void title_names_the_patient_data() {
    QTest::addColumn<int>("Civilite");
    QTest::addColumn<QString>("Name");
    QTest::newRow("no civility") << 0 << "<b>DUPONT</b> Jean %1";
    QTest::newRow("M") << 1 << "M <b>DUPONT</b> Jean %1";
    QTest::newRow("Mme") << 2 << "Mme <b>DUPONT</b> Jean %1";
    QTest::newRow("Mlle") << 3 << "Mlle <b>DUPONT</b> Jean %1";
  }
  void title_names_the_patient() {
    QFETCH(int, Civilite);
    QFETCH(QString, Name);
    TFrmForcerDMP Form(nullptr, Patient(Civilite));
    QCOMPARE(Form.windowTitle(), QStringLiteral("Dostrana - Accès au DMP"));
    QCOMPARE(Form.lbTitle->text(),
             QStringLiteral("Confirmez vous que %1 (ou son représentant légal) vous autorise à accéder à son DMP ?")
                 .arg(Name));
    QCOMPARE(Form.lbTitle->textFormat(), Qt::PlainText);
    QCOMPARE(Form.cbAutorise->text(),
             QStringLiteral("Le patient (ou son représentant légal) m'a autorisé à accéder à son DMP"));
    QCOMPARE(Form.cbBrisDeGlace->text(),
             QStringLiteral("J'accède en urgence au DMP. Le patient est hors d'état d'exprimer sa volonté, et il y a "
                            "un risque immédiat pour sa santé (accès bris de glace)"));
    QVERIFY(!Form.cbAutorise->isChecked() && !Form.cbBrisDeGlace->isChecked());
    QVERIFY(Form.btOK->isDefault());
  }

  // The modes' captions are read whole, however narrow the dialog is made.
  void modes_show_their_whole_captions() {
    TFrmForcerDMP Form(nullptr, Patient(1));
    Form.resize(1, 1);
    Form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Form));
    for (const QRadioButton* Mode : {Form.cbAutorise, Form.cbBrisDeGlace})
      QVERIFY2(Mode->width() >= Mode->fontMetrics().horizontalAdvance(Mode->text()) &&
                   Mode->mapTo(&Form, QPoint(Mode->width(), 0)).x() <= Form.width(),
               qPrintable(Mode->text()));
  }

  void cancel_keeps_the_last_motive() {
    const auto Dialog = AnswerModal<TFrmForcerDMP>([](TFrmForcerDMP& Form) {
      QTest::mouseClick(Form.cbBrisDeGlace, Qt::LeftButton);
      QTest::keyClicks(Form.edBrisDeGlace, QStringLiteral("Coma"));
      QTest::mouseClick(Form.btAnnuler, Qt::LeftButton);
    });
    QVERIFY(!TFrmForcerDMP::Execute(nullptr, Patient(2)));
    QCOMPARE(MotifBrisDeGlace, std::string("motif précédent"));
  }
};

QTEST_MAIN(TUForcerDMPTest)
#include "UForcerDMP.ui.moc"
