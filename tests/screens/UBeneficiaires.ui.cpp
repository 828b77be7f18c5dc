// The beneficiary choice of a Vitale card and the copy of the card's XML,
// over the scripted core's card.
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>

#include "FakeCarvelin.h"
#include "ModalAnswer.h"
#include "UBeneficiaires.h"
#include "Vantrel.SysUtils.h"

using namespace Carvelin;
using namespace Talven;
using TestSupport::TFakeCarvelin;

class TUBeneficiairesTest : public QObject {
  Q_OBJECT

  std::shared_ptr<TFakeCarvelin> Fake;
  std::shared_ptr<IVaspoCSV> CSV;

 private slots:
  void init() {
    Fake = std::make_shared<TFakeCarvelin>();
    QCOMPARE(Fake->GetCSV(CSV), ERR_OK);
  }

  void cleanup() {
    CSV.reset();
    Fake.reset();
  }

  void nir_column_shows_the_certified_nir_else_the_card_one() {
    std::vector<TBeneficiaire>& Rows = Fake->Core->Data.Beneficiaires;
    Rows[1].NomUsage = "<b>DUPONT</b>";  // drawn as text, never as markup
    TFrmBeneficiaires Form(nullptr, *CSV);
    QCOMPARE(Form.Cells(0), (QStringList{"DUPONT", "MARIE", "15/03/1979", "279035121518989"}));
    QCOMPARE(Form.Cells(1), (QStringList{"<b>DUPONT</b>", "LEA", "02/06/2015", "2790351215189"}));
  }

  void double_click_chooses_only_a_row_data() {
    QTest::addColumn<int>("Selected");
    QTest::addColumn<int>("Row");  // where the double-click lands; 2 is below the rows
    QTest::addColumn<int>("Result");
    QTest::addColumn<bool>("LeftOpen");
    QTest::newRow("on a row") << -1 << 1 << 1 << false;
    QTest::newRow("on another row than the current") << 0 << 1 << 1 << false;
    QTest::newRow("below the rows, none selected") << -1 << 2 << -1 << true;
    QTest::newRow("below the rows, one selected") << 0 << 2 << 0 << false;
  }
  void double_click_chooses_only_a_row() {
    QFETCH(int, Selected);
    QFETCH(int, Row);
    QFETCH(int, Result);
    QFETCH(bool, LeftOpen);
    if (Selected >= 0) QCOMPARE(CSV->SelectionBeneficiaire(Selected), ERR_OK);
    bool Open = false, Focused = false;
    const auto Answer = AnswerModal<TFrmBeneficiaires>([&](TFrmBeneficiaires& Form) {
      Focused = QApplication::focusWidget() == Form.List;
      // A double-click is a click, then the double-click event.
      const QPoint At = Form.List->ItemRect(Row).center();
      QTest::mouseClick(Form.List->viewport(), Qt::LeftButton, {}, At);
      QTest::mouseDClick(Form.List->viewport(), Qt::LeftButton, {}, At);
      Open = Form.isVisible();
      if (Open) Form.reject();
    });
    QCOMPARE(TFrmBeneficiaires::Select(nullptr, *CSV), Result);
    QVERIFY(Focused);
    QCOMPARE(Open, LeftOpen);
  }

  void shift_press_on_the_form_saves_the_card() {
    const std::string File = VitaleXMLFile();
    std::filesystem::remove(File);
    TFrmBeneficiaires Form(nullptr, *CSV);
    Form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Form));
    QString Said;
    const auto Answer = AnswerModal<QMessageBox>([&](QMessageBox& Box) {
      Said = Box.text();
      Box.accept();
    });
    QTest::mouseClick(&Form, Qt::LeftButton, Qt::ShiftModifier, QPoint(2, 2));
    std::string_view XML;
    CSV->GetXML(XML);
    QCOMPARE(Said, QStringLiteral("Carte vitale enregistrée dans le fichier Vitale.xml"));
    QCOMPARE(Vantrel::FileToBytes(File), std::string(XML));
    std::filesystem::remove(File);
  }
};

QTEST_MAIN(TUBeneficiairesTest)
#include "UBeneficiaires.ui.moc"
