// A completion list for an ordinary edit box: a hidden combo box behind the
// edit whose list opens under it. The owner refills the items in OnDropDown,
// 500 ms after the last change of the edit's text. The edit keeps its own
// change and key handling; only Enter, Escape, Up and Down are taken while
// the list is open (and Down while it is closed, to update it).
#pragma once

#include <QComboBox>
#include <QPointer>

#include <functional>

class QLineEdit;
class QTimer;

namespace Vantrel {

class TComboEdit : public QComboBox {
  Q_OBJECT
 public:
  using TDropDownEvent = std::function<void(TComboEdit*)>;

  // The combo is a child of the edit's parent, placed over the edit, behind it.
  TComboEdit(QLineEdit* Edit, TDropDownEvent OnDropDown);

  QLineEdit* Edit() const { return FEdit; }
  QTimer* Timer() const { return FTimer; }
  bool IsOpen() const;
  // Refills the items and opens or closes the list.
  void UpdateList();

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  bool Key(int Key);
  void Choose(int Index);
  QPointer<QLineEdit> FEdit;
  QTimer* FTimer;
  TDropDownEvent FOnDropDown;
};

}  // namespace Vantrel
