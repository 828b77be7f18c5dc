// The edit box of the telephone fields. A paste into a ten-character field
// keeps only the clipboard text's digits; the clipboard itself is left alone.
#pragma once

#include <QLineEdit>

namespace Carvelin {

class TEdit : public QLineEdit {
  Q_OBJECT
 public:
  using QLineEdit::QLineEdit;

  bool DisablePaste = false;
  // The paste of the keyboard shortcut and of the context menu.
  void Paste();

 protected:
  void keyPressEvent(QKeyEvent* Event) override;
  void contextMenuEvent(QContextMenuEvent* Event) override;
  void mouseReleaseEvent(QMouseEvent* Event) override;
};

}  // namespace Carvelin
