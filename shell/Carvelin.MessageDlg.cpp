#include "Carvelin.MessageDlg.h"

namespace Carvelin {

namespace {
TMessageBoxHook GHook;
TBoxCatcher* GCatcher = nullptr;
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
  return GHook ? GHook(Box) : Box.exec();
}

int MessageDlg(QWidget* Parent, QMessageBox::Icon Icon, const QString& Text, QMessageBox::StandardButtons Buttons) {
  QMessageBox Box(Icon, QStringLiteral("Carvelin"), Text, Buttons, Parent);
  Box.setTextFormat(Qt::PlainText);  // texts come from services, cards and hosts
  return ExecMessageBox(Box);
}

}  // namespace Carvelin
