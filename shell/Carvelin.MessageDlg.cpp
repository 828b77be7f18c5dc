#include "Carvelin.MessageDlg.h"

#include <QGridLayout>
#include <QLabel>
#include <QRegularExpression>
#include <QSpacerItem>

namespace Carvelin {

namespace {

TMessageBoxHook GHook;
TBoxCatcher* GCatcher = nullptr;

// Qt narrows a box to its longest word once a text wraps, so that a
// service's error would break at every second word: a spacer across the
// box's grid keeps it this wide.
constexpr int MinBoxWidth = 360;
// A text line widens its label up to this, past it the line wraps. The
// label asks for its whole line, not its longest word: Qt wraps a box's text
// only when the box would be too wide, so a narrower minimum would leave an
// unwrapped line cut at the box's edge.
constexpr int MaxLineWidth = 600;

void KeepBoxWide(QMessageBox& Box) {
  static const QRegularExpression TextLabel(QStringLiteral("^qt_msgbox_(informative)?label$"));
  for (QLabel* Label : Box.findChildren<QLabel*>(TextLabel)) {
    int Widest = 0;
    for (const QString& Line : Label->text().split(QLatin1Char('\n')))
      Widest = std::max(Widest, Label->fontMetrics().horizontalAdvance(Line));
    Label->setMinimumWidth(std::min(Widest, MaxLineWidth));
  }
  auto* Grid = qobject_cast<QGridLayout*>(Box.layout());
  if (!Grid) return;
  for (int I = 0; I < Grid->count(); ++I)
    if (const QSpacerItem* S = Grid->itemAt(I)->spacerItem(); S && S->sizeHint().width() == MinBoxWidth) return;
  Grid->addItem(new QSpacerItem(MinBoxWidth, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), Grid->rowCount(), 0, 1,
                Grid->columnCount());
}

}  // namespace

void SetMessageBoxHook(TMessageBoxHook Hook) { GHook = std::move(Hook); }

TBoxCatcher::TBoxCatcher() : FOuter(GCatcher) { GCatcher = this; }

TBoxCatcher::~TBoxCatcher() { GCatcher = FOuter; }

int ExecMessageBox(QMessageBox& Box) {
  if (GCatcher) {
    const bool Error = Box.icon() == QMessageBox::Critical || Box.icon() == QMessageBox::Warning;
    if (Error && GCatcher->FError.empty())
      GCatcher->FError = (Box.informativeText().isEmpty() ? Box.text() : Box.informativeText()).toStdString();
    return QMessageBox::NoButton;
  }
  KeepBoxWide(Box);
  return GHook ? GHook(Box) : Box.exec();
}

int MessageDlg(QWidget* Parent, QMessageBox::Icon Icon, const QString& Text, QMessageBox::StandardButtons Buttons) {
  QMessageBox Box(Icon, QStringLiteral("Carvelin"), Text, Buttons, Parent);
  Box.setTextFormat(Qt::PlainText);  // texts come from services, cards and hosts
  return ExecMessageBox(Box);
}

}  // namespace Carvelin
