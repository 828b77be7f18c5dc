// The one way the shell runs its message boxes, so that a test can answer
// them: with a hook set, the box is handed to the hook instead of being run,
// and the hook's answer is the result.
//
// User-interface thread only.
#pragma once

#include <QMessageBox>

#include <functional>

namespace Carvelin {

using TMessageBoxHook = std::function<int(QMessageBox& Box)>;
// nullptr runs the boxes again.
void SetMessageBoxHook(TMessageBoxHook Hook);

// Runs Box modally (or through the hook); the button pressed.
int ExecMessageBox(QMessageBox& Box);
// A box with the window title "Carvelin", Icon, Text and Buttons.
int MessageDlg(QWidget* Parent, QMessageBox::Icon Icon, const QString& Text,
               QMessageBox::StandardButtons Buttons = QMessageBox::Ok);

}  // namespace Carvelin
