// The log window: the core's progress texts and the host traffic, line by
// line, for support and host developers. It exists only when asked for
// ("/log"); without it no line is kept anywhere.
//
// The single instance is made on the user-interface thread and lives until
// the application ends (closing it only hides it). AddLogLine may be called
// from any thread: lines are appended from the user-interface thread's event
// loop, in the order of the calls. Lines are plain text, never markup.
#pragma once

#include <QPlainTextEdit>
#include <QWidget>

#include <string_view>

namespace Carvelin {

class TLogMessage : public QWidget {
  Q_OBJECT
 public:
  // The single instance, made and shown on the first call.
  static TLogMessage* Create();
  // The instance, or nullptr when none was made.
  static TLogMessage* Instance();

  QPlainTextEdit* Memo1;

 private:
  TLogMessage();
};

void AddLogLine(const QString& Text);
void AddLogLine(std::string_view Text);  // UTF-8

}  // namespace Carvelin
