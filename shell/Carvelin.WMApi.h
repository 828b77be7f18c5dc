// The main window's host-message interface. The window derives from
// TWMApiForm so that the interface lives in the same window; the D-Bus
// object that answers host programs fills it.
#pragma once

#include <QMainWindow>

namespace Carvelin {

class TWMApiForm : public QMainWindow {
  Q_OBJECT
 public:
  using QMainWindow::QMainWindow;

  // Called when the session is free again: resumes host work deferred
  // while a job ran.
  virtual void WMApiIdle();
};

}  // namespace Carvelin
