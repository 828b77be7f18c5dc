#include "UListChoice.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "ScreensTr.h"

namespace Carvelin {

TFrmListChoice::TFrmListChoice(QWidget* Parent, const QString& Caption, const QString& Prompt,
                               std::initializer_list<TListSection> Sections)
    : QDialog(Parent) {
  setWindowTitle(Caption);
  lbPrompt = new QLabel(Prompt, this);
  lbPrompt->setTextFormat(Qt::PlainText);
  Headers = new THeaderControl(this);
  Headers->setObjectName(QStringLiteral("Headers"));
  for (const TListSection& S : Sections) Headers->AddSection(S.Text, S.Width);
  List = new TVirtualListBox(this);
  List->SetHeaders(Headers);
  List->OnDrawItem = [this](TVirtualListBox*, QPainter& Painter, int Row, QRect Rect, bool) {
    DrawRow(Painter, Row, Rect);
  };
  lbPrompt->setBuddy(List);
  btOK = new QPushButton(ScreensTr::tr("OK"), this);
  btOK->setObjectName(QStringLiteral("btOK"));
  btOK->setDefault(true);
  btCancel = new QPushButton(ScreensTr::tr("Annuler"), this);
  btCancel->setObjectName(QStringLiteral("btCancel"));
  connect(btOK, &QPushButton::clicked, this, &TFrmListChoice::accept);
  connect(btCancel, &QPushButton::clicked, this, &TFrmListChoice::reject);

  auto* Layout = new QVBoxLayout(this);
  Layout->addWidget(lbPrompt);
  Layout->addWidget(Headers);
  Layout->setSpacing(0);
  Layout->addWidget(List, 1);
  Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(btOK);
  Buttons->addWidget(btCancel);
  Layout->addSpacing(fontMetrics().height() / 2);
  Layout->addLayout(Buttons);
  int Width = 0;
  for (const TListSection& S : Sections) Width += S.Width;
  resize(Width + 2 * fontMetrics().height(), fontMetrics().height() * 16);
}

std::vector<QRect> TFrmListChoice::CellRects(const QRect& Row, const std::vector<int>& Widths) {
  std::vector<QRect> Rects;
  int Left = Row.left();
  for (const int W : Widths) {
    Rects.emplace_back(Left, Row.top(), W, Row.height());
    Left += W + 1;
  }
  return Rects;
}

void TFrmListChoice::DrawRow(QPainter& Painter, int Row, const QRect& Rect) const {
  std::vector<int> Widths;
  for (int I = 0; I < Headers->SectionCount(); ++I) Widths.push_back(Headers->SectionWidth(I));
  const QStringList Texts = Cells(Row);
  const std::vector<QRect> Rects = CellRects(Rect, Widths);
  for (size_t I = 0; I < Rects.size() && qsizetype(I) < Texts.size(); ++I) {
    const QRect R = Rects[I].adjusted(2, 0, -2, 0);
    Painter.drawText(R, Qt::AlignLeft | Qt::AlignVCenter,
                     Painter.fontMetrics().elidedText(Texts[qsizetype(I)], Qt::ElideRight, R.width()));
  }
}

int TFrmListChoice::Choose(int Count, int Selected) {
  List->SetCount(Count);
  List->SetItemIndex(Selected);
  return exec() == QDialog::Accepted ? List->ItemIndex() : -1;
}

void TFrmListChoice::accept() {
  if (List->ItemIndex() >= 0 && List->ItemIndex() < List->Count()) QDialog::accept();
}

void TFrmListChoice::showEvent(QShowEvent* Event) {
  QDialog::showEvent(Event);
  List->setFocus();
}

}  // namespace Carvelin
