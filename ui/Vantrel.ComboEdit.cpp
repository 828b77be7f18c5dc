#include "Vantrel.ComboEdit.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>

namespace Vantrel {

TComboEdit::TComboEdit(QLineEdit* Edit, TDropDownEvent OnDropDown)
    : QComboBox(Edit->parentWidget()), FEdit(Edit), FTimer(new QTimer(this)), FOnDropDown(std::move(OnDropDown)) {
  FTimer->setSingleShot(true);
  FTimer->setInterval(500);
  connect(FTimer, &QTimer::timeout, this, &TComboEdit::UpdateList);
  // Typing restarts the wait, so the list follows the last keystroke.
  connect(Edit, &QLineEdit::textEdited, this, [this] {
    if (FTimer->interval() != 0)
      FTimer->start();
    else
      UpdateList();
  });
  connect(this, qOverload<int>(&QComboBox::activated), this, &TComboEdit::Choose);
  Edit->installEventFilter(this);
  view()->installEventFilter(this);
  view()->window()->installEventFilter(this);  // the pop-up around the list
  setGeometry(Edit->geometry());
  stackUnder(Edit);
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::NoFocus);
  hide();
}

bool TComboEdit::IsOpen() const { return view()->isVisible(); }

void TComboEdit::UpdateList() {
  FTimer->stop();
  if (!FEdit) return;
  if (FOnDropDown) FOnDropDown(this);
  if (count() > 0) setVisible(true);
  const bool Wanted = count() >= 2 || (count() == 1 && itemText(0).compare(FEdit->text(), Qt::CaseInsensitive) != 0);
  if (Wanted == IsOpen()) return;
  if (Wanted) {
    setGeometry(FEdit->geometry());
    stackUnder(FEdit);
    showPopup();
    view()->setCurrentIndex(QModelIndex());
  } else {
    hidePopup();
  }
}

void TComboEdit::Choose(int Index) {
  if (FEdit && Index >= 0) FEdit->setText(itemText(Index));
  hidePopup();
}

// One key of the edit (or of the open list, which has the keyboard); true when consumed.
bool TComboEdit::Key(int Key) {
  if (!IsOpen()) {
    if (Key != Qt::Key_Down) return false;
    UpdateList();
    return true;
  }
  const int Row = view()->currentIndex().isValid() ? view()->currentIndex().row() : -1;
  switch (Key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (Row >= 0) FEdit->setText(itemText(Row));
      hidePopup();
      return true;
    case Qt::Key_Escape: hidePopup(); return true;
    case Qt::Key_Up:
      if (Row >= 0) view()->setCurrentIndex(Row > 0 ? model()->index(Row - 1, 0) : QModelIndex());
      return true;
    case Qt::Key_Down:
      if (Row < count()) view()->setCurrentIndex(Row + 1 < count() ? model()->index(Row + 1, 0) : QModelIndex());
      return true;
    default: return false;
  }
}

bool TComboEdit::eventFilter(QObject* Watched, QEvent* Event) {
  if (Event->type() != QEvent::KeyPress || !FEdit) return QComboBox::eventFilter(Watched, Event);
  auto* KeyEvent = static_cast<QKeyEvent*>(Event);
  if (Watched == FEdit) return Key(KeyEvent->key()) || QComboBox::eventFilter(Watched, Event);
  if (Watched == view() || Watched == view()->window()) {
    // The open list holds the keyboard: what it does not take goes to the edit.
    if (!Key(KeyEvent->key())) QCoreApplication::sendEvent(FEdit, Event);
    return true;
  }
  return QComboBox::eventFilter(Watched, Event);
}

}  // namespace Vantrel
