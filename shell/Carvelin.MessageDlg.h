// The one way the shell runs its message boxes, so that a test can answer
// them: with a hook set, the box is handed to the hook instead of being run,
// and the hook's answer is the result.
//
// User-interface thread only.
#pragma once

#include <QMessageBox>

#include <functional>
#include <string>

namespace Carvelin {

using TMessageBoxHook = std::function<int(QMessageBox& Box)>;
// nullptr runs the boxes again.
void SetMessageBoxHook(TMessageBoxHook Hook);

// While one lives (a host request's step or completion on this thread), no
// box is run: nobody may be there to click, and the request would hold its
// worker until someone did. A box answers NoButton; the text of the first
// error box (critical or warning) is kept for the request's reply.
class TBoxCatcher {
 public:
  TBoxCatcher();
  ~TBoxCatcher();
  TBoxCatcher(const TBoxCatcher&) = delete;
  TBoxCatcher& operator=(const TBoxCatcher&) = delete;
  const std::string& Error() const { return FError; }

 private:
  friend int ExecMessageBox(QMessageBox& Box);
  TBoxCatcher* FOuter;
  std::string FError;
};

// Runs Box modally (or through the hook); the button pressed.
int ExecMessageBox(QMessageBox& Box);
// A box with the window title "Carvelin", Icon, Text and Buttons.
int MessageDlg(QWidget* Parent, QMessageBox::Icon Icon, const QString& Text,
               QMessageBox::StandardButtons Buttons = QMessageBox::Ok);

}  // namespace Carvelin
