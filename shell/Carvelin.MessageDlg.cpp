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
// A longer word (an address, a file name) widens its line up to this; past
// it the line breaks inside the word.
constexpr int MaxWordWidth = 600;

void KeepBoxWide(QMessageBox& Box) {
  static const QRegularExpression TextLabel(QStringLiteral("^qt_msgbox_(informative)?label$"));
  static const QRegularExpression Blanks(QStringLiteral("\\s+"));
  for (QLabel* Label : Box.findChildren<QLabel*>(TextLabel)) {
    int Longest = 0;
    for (const QString& Word : Label->text().split(Blanks, Qt::SkipEmptyParts))
      Longest = std::max(Longest, Label->fontMetrics().horizontalAdvance(Word));
    Label->setMinimumWidth(std::min(Longest, MaxWordWidth));
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
