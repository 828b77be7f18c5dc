#include "Carvelin.MessageDlg.h"

namespace Carvelin {

namespace {
TMessageBoxHook GHook;
}

void SetMessageBoxHook(TMessageBoxHook Hook) { GHook = std::move(Hook); }

int ExecMessageBox(QMessageBox& Box) { return GHook ? GHook(Box) : Box.exec(); }

int MessageDlg(QWidget* Parent, QMessageBox::Icon Icon, const QString& Text, QMessageBox::StandardButtons Buttons) {
  QMessageBox Box(Icon, QStringLiteral("Carvelin"), Text, Buttons, Parent);
  Box.setTextFormat(Qt::PlainText);  // texts come from services, cards and hosts
  return ExecMessageBox(Box);
}

}  // namespace Carvelin
