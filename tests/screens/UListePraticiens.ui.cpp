// The practitioners list: its columns, the texts of a row, and where the
// cells are drawn.
#include <QPushButton>
#include <QScrollBar>
#include <QtTest>

#include "ModalAnswer.h"
#include "UListePraticiens.h"

using namespace Carvelin;
using namespace Talven;

namespace {

TPraticien Praticien(std::string Nom, bool MT) {
  TPraticien P;
  P.IdNational = "810001234567";
  P.Prenom = "JEAN";
  P.Nom = std::move(Nom);
  P.DateAction = "02/04/2024";
  P.Mode = "ACTIVE";
  P.DateDebut = "01/01/2020";
  P.Entite = {"SM54", "Médecine générale", "1.2.250.1.71.4.2.5"};
  P.StatutMT = MT;
  return P;
}

}  // namespace

class TListePraticiensTest : public QObject {
  Q_OBJECT

 private slots:
  void columns_and_row_texts() {
    const std::vector<TPraticien> Rows = {Praticien("MARTIN", true), Praticien("DURAND", false)};
    TListePraticiens Empty(nullptr, {});
    QCOMPARE(Empty.windowTitle(), QStringLiteral("Liste des Praticiens ayant accès au dossier du patient."));
    const QStringList Captions = {"Nom", "Prénom", "RPPS", "Spécialité", "Mode", "Depuis", "MT", "Dernière action"};
    const QList<int> Widths = {150, 100, 100, 250, 100, 120, 50, 120};
    QCOMPARE(Empty.Headers->SectionCount(), int(Captions.size()));
    for (int N = 0; N < Captions.size(); ++N) {
      QCOMPARE(Empty.Headers->SectionText(N), Captions[N]);
      QCOMPARE(Empty.Headers->SectionWidth(N), Widths[N]);
    }
    TListePraticiens Form(nullptr, Rows);
    QCOMPARE(Form.ListBox->Count(), 2);
    QCOMPARE(TListePraticiens::RowTexts(Rows[0]),
             QStringList({"MARTIN", "JEAN", "810001234567", "Médecine générale", "ACTIVE", "01/01/2020", "Oui",
                          "02/04/2024"}));
    QCOMPARE(TListePraticiens::RowTexts(Rows[1])[6], QStringLiteral("Non"));
  }

  // Each cell runs from the previous right + 11 to that + its section's
  // width - 10: a long text is cut there and the 11 pixels between cells stay blank.
  void long_texts_stay_in_their_cells() {
    const QString Long = QString(60, QLatin1Char('W'));
    TPraticien P;
    P.Prenom = P.Nom = P.Mode = P.Entite.Nom = Long.toStdString();
    P.IdNational = "81000123456789";
    P.DateDebut = P.DateAction = "06/11/2025 10:00";
    P.StatutMT = true;
    const std::vector<TPraticien> Rows = {P};
    TListePraticiens Form(nullptr, Rows);
    Form.resize(1100, 300);
    Form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Form));
    const QRect Row = Form.ListBox->ItemRect(0);
    const QImage Image = Form.ListBox->viewport()->grab().toImage();
    const QRgb Background = Image.pixel(Row.left() + 1, Row.bottom());
    const auto Inked = [&](int From, int To) {
      for (int X = From; X <= To; ++X)
        for (int Y = Row.top(); Y <= Row.bottom(); ++Y)
          if (Image.pixel(X, Y) != Background) return true;
      return false;
    };
    int Right = Row.left() + 1 - 11;
    for (int N = 0; N < Form.Headers->SectionCount(); ++N) {
      const int Left = Right + 11;
      Right = Left + Form.Headers->SectionWidth(N) - 10;
      const QString Cell = QStringLiteral("cell %1 (%2..%3)").arg(N).arg(Left).arg(Right);
      QVERIFY2(Inked(Left, Left + 8), qPrintable(Cell));
      // Identifiers, dates and "Oui" are short; the others are cut at the cell's end.
      if (N == 2 || N >= 5) {
        const QString Text = TListePraticiens::RowTexts(P)[N];
        QCOMPARE(Form.fontMetrics().elidedText(Text, Qt::ElideRight, Right - Left), Text);
      } else {
        QVERIFY2(Inked(Right - 12, Right - 1), qPrintable(Cell + " cut short"));
      }
      QVERIFY2(!Inked(Right + 1, Right + 9), qPrintable(Cell + " overflows"));
    }
  }

  // At its own size the list shows every column beside its scroll bar.
  void every_column_shows_without_scrolling() {
    const std::vector<TPraticien> Rows(40, Praticien("MARTIN", true));
    TListePraticiens Form(nullptr, Rows);
    Form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Form));
    QVERIFY(Form.ListBox->verticalScrollBar()->isVisible());
    QCOMPARE(Form.ListBox->horizontalScrollBar()->maximum(), 0);
  }

  void execute_shows_the_list_modally() {
    const std::vector<TPraticien> Rows = {Praticien("MARTIN", true)};
    int Shown = -1;
    auto Answer = AnswerModal<TListePraticiens>([&](TListePraticiens& Form) {
      Shown = Form.ListBox->Count();
      Form.btFermer->click();
    });
    TListePraticiens::Execute(nullptr, Rows);
    QCOMPARE(Shown, 1);
  }
};

QTEST_MAIN(TListePraticiensTest)
#include "UListePraticiens.ui.moc"
