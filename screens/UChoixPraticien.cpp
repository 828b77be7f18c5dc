#include "UChoixPraticien.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "ScreensTr.h"
#include "Vantrel.QtText.h"

namespace Carvelin {

using Vantrel::Q;

TChoixPraticien::TChoixPraticien(QWidget* Parent, std::vector<TVaspoPraticien> APraticiens)
    : QDialog(Parent), Praticiens(std::move(APraticiens)) {
  setObjectName(QStringLiteral("ChoixPraticien"));
  setWindowTitle(ScreensTr::tr("Choix du praticien"));
  Headers = new THeaderControl(this);
  Headers->setObjectName(QStringLiteral("Headers"));
  for (const auto& [Caption, Width] :
       {std::pair{ScreensTr::tr("Nom"), 150}, {ScreensTr::tr("Prénom"), 150}, {ScreensTr::tr("Id National"), 205}})
    Headers->AddSection(Caption, Width);
  ListBox = new TVirtualListBox(this);
  ListBox->setObjectName(QStringLiteral("ListBox"));
  ListBox->SetHeaders(Headers);
  ListBox->SetCount(int(Praticiens.size()));
  ListBox->OnDrawItem = [this](TVirtualListBox*, QPainter& Canvas, int Index, QRect Rect, bool Selected) {
    Canvas.fillRect(Rect, palette().color(Selected ? QPalette::Highlight : QPalette::Base));
    if (Index < 0 || size_t(Index) >= Praticiens.size()) return;
    Canvas.setPen(palette().color(Selected ? QPalette::HighlightedText : QPalette::Text));
    DrawHeaderCells(Canvas, *Headers, Rect, RowTexts(Praticiens[size_t(Index)]));
  };
  // OK needs a row.
  MakeOKCancel(this, btOK, btCancel, "btCancel", [this] {
    if (ListBox->ItemIndex() >= 0 && size_t(ListBox->ItemIndex()) < Praticiens.size()) accept();
  });

  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(btOK);
  Buttons->addWidget(btCancel);
  auto* Column = new QVBoxLayout(this);
  Column->addWidget(new QLabel(ScreensTr::tr("Veuillez sélectionner le praticien"), this));
  Column->addWidget(Headers);
  Column->addWidget(ListBox, 1);
  Column->addLayout(Buttons);
  resize(560, 320);
}

QStringList TChoixPraticien::RowTexts(const TVaspoPraticien& P) { return {Q(P.Nom), Q(P.Prenom), Q(P.IdNational)}; }

bool TChoixPraticien::Execute(QWidget* Sender, TVaspoDatabase& Database, Talven::IVaspoCRT& aCRT,
                              const Talven::TActivite& Act, TVaspoPraticien& Praticien) {
  std::vector<TVaspoPraticien> Known;
  if (!Database.GetPraticiens(Act.IdNational, Known)) return false;
  TChoixPraticien Form(Sender, std::move(Known));
  if (Form.exec() != QDialog::Accepted) return false;
  Praticien = Form.Praticiens[size_t(Form.ListBox->ItemIndex())];
  aCRT.SetPraticien(Praticien.IdNational, Praticien.Nom, Praticien.Prenom, Praticien.Profession,
                    Praticien.Specialite, Praticien.Pharmacien, Praticien.codeStruct, Praticien.numFacturation);
  return true;
}

}  // namespace Carvelin
