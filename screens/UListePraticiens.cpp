#include "UListePraticiens.h"

#include <algorithm>

#include <QHBoxLayout>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "ScreensTr.h"
#include "Vantrel.QtText.h"

namespace Carvelin {

using Vantrel::Q;

TListePraticiens::TListePraticiens(QWidget* Parent, std::span<const Talven::TPraticien> Praticiens)
    : QDialog(Parent), FPraticiens(Praticiens) {
  setObjectName(QStringLiteral("ListePraticiens"));
  setWindowTitle(ScreensTr::tr("Liste des Praticiens ayant accès au dossier du patient."));
  Headers = new THeaderControl(this);
  Headers->setObjectName(QStringLiteral("Headers"));
  for (const auto& [Caption, Width] : {std::pair{ScreensTr::tr("Nom"), 150}, {ScreensTr::tr("Prénom"), 100},
                                       {ScreensTr::tr("RPPS"), 100}, {ScreensTr::tr("Spécialité"), 250},
                                       {ScreensTr::tr("Mode"), 100}, {ScreensTr::tr("Depuis"), 120},
                                       {ScreensTr::tr("MT"), 50}, {ScreensTr::tr("Dernière action"), 120}})
    Headers->AddSection(Caption, Width);
  // Identifiers and dates are read whole: their columns grow to the widest
  // (a cell keeps 11 pixels at its left and 10 at its right).
  for (const int Column : {2, 5, 7}) {
    int Width = Headers->SectionWidth(Column);
    for (const Talven::TPraticien& P : FPraticiens)
      Width = std::max(Width, fontMetrics().horizontalAdvance(RowTexts(P)[Column]) + 21);
    Headers->SetSectionWidth(Column, Width);
  }
  ListBox = new TVirtualListBox(this);
  ListBox->setObjectName(QStringLiteral("ListBox"));
  ListBox->SetHeaders(Headers);
  ListBox->SetCount(int(FPraticiens.size()));
  ListBox->OnDrawItem = [this](TVirtualListBox*, QPainter& Canvas, int Index, QRect Rect, bool Selected) {
    Canvas.fillRect(Rect, palette().color(Selected ? QPalette::Highlight : QPalette::Base));
    if (Index < 0 || size_t(Index) >= FPraticiens.size()) return;
    Canvas.setPen(palette().color(Selected ? QPalette::HighlightedText : QPalette::Text));
    DrawHeaderCells(Canvas, *Headers, Rect, RowTexts(FPraticiens[size_t(Index)]));
  };
  btFermer = new QPushButton(ScreensTr::tr("Fermer"), this);
  btFermer->setObjectName(QStringLiteral("btFermer"));
  btFermer->setDefault(true);
  connect(btFermer, &QPushButton::clicked, this, &QDialog::reject);

  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(btFermer);
  auto* Column = new QVBoxLayout(this);
  Column->addWidget(Headers);
  Column->addWidget(ListBox, 1);
  Column->addLayout(Buttons);
  // Every column shows beside the vertical scroll bar.
  int Width = 0;
  for (int N = 0; N < Headers->SectionCount(); ++N) Width += Headers->SectionWidth(N);
  const QMargins Margins = Column->contentsMargins();
  Width += Margins.left() + Margins.right() + 2 * ListBox->frameWidth() +
           style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, ListBox);
  resize(std::max(1020, Width), 400);
}

QStringList TListePraticiens::RowTexts(const Talven::TPraticien& P) {
  return {Q(P.Nom),       Q(P.Prenom),    Q(P.IdNational),
          Q(P.Entite.Nom), Q(P.Mode),     Q(P.DateDebut),
          P.StatutMT ? ScreensTr::tr("Oui") : ScreensTr::tr("Non"), Q(P.DateAction)};
}

void TListePraticiens::Execute(QWidget* Sender, std::span<const Talven::TPraticien> Praticiens) {
  TListePraticiens Form(Sender, Praticiens);
  Form.exec();
}

}  // namespace Carvelin
