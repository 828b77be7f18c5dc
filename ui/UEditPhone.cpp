#include "UEditPhone.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>

namespace Carvelin {

void TEdit::Paste() {
  if (DisablePaste) return;
  if (maxLength() != 10) return paste();
  QString Digits;
  for (const QChar C : QGuiApplication::clipboard()->text())
    if (C >= u'0' && C <= u'9') Digits += C;
  // insert() replaces the selection and stops at the maximum length.
  insert(Digits);
}

void TEdit::keyPressEvent(QKeyEvent* Event) {
  if (Event->matches(QKeySequence::Paste)) {
    Paste();
    Event->accept();
    return;
  }
  QLineEdit::keyPressEvent(Event);
}

void TEdit::contextMenuEvent(QContextMenuEvent* Event) {
  QMenu* Menu = createStandardContextMenu();
  Menu->setAttribute(Qt::WA_DeleteOnClose);
  if (QAction* PasteAction = Menu->findChild<QAction*>(QStringLiteral("edit-paste"))) {
    disconnect(PasteAction, &QAction::triggered, nullptr, nullptr);
    PasteAction->setEnabled(!DisablePaste && PasteAction->isEnabled());
    connect(PasteAction, &QAction::triggered, this, &TEdit::Paste);
  }
  Menu->popup(Event->globalPos());
}

void TEdit::mouseReleaseEvent(QMouseEvent* Event) {
  // The middle-button paste of the X selection would bypass the digit rule.
  if (Event->button() == Qt::MiddleButton) {
    Event->accept();
    return;
  }
  QLineEdit::mouseReleaseEvent(Event);
}

}  // namespace Carvelin
