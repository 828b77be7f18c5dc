#include "FLogMessage.h"

#include <QCoreApplication>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QThread>
#include <QVBoxLayout>

#include <atomic>

namespace Carvelin {

namespace {

QPointer<TLogMessage> GInstance;      // user-interface thread only
std::atomic<bool> GExists = false;    // read by other threads before they queue a line

void DeleteInstance() {
  GExists = false;
  delete GInstance.data();
}

void Append(const QString& Text) {
  if (GInstance) GInstance->Memo1->appendPlainText(Text);
}

}  // namespace

TLogMessage::TLogMessage() : QWidget(nullptr, Qt::Window | Qt::WindowStaysOnTopHint) {
  setObjectName(QStringLiteral("LogMessage"));
  setWindowTitle(QStringLiteral("LogMessage"));
  Memo1 = new QPlainTextEdit(this);
  Memo1->setObjectName(QStringLiteral("Memo1"));
  Memo1->setAccessibleName(QStringLiteral("Journal"));
  Memo1->setReadOnly(true);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QFont Font(QStringLiteral("Courier New"));
  Font.setStyleHint(QFont::Monospace);
  if (!QFontInfo(Font).fixedPitch()) Font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  Memo1->setFont(Font);
  auto* Layout = new QVBoxLayout(this);
  Layout->setContentsMargins(0, 0, 0, 0);
  Layout->addWidget(Memo1);
  resize(624, 441);
  // Out of the main window's way: the screen's bottom right corner.
  if (const QScreen* Screen = QGuiApplication::primaryScreen()) {
    QRect Frame = geometry();
    Frame.moveBottomRight(Screen->availableGeometry().bottomRight());
    move(Frame.topLeft());
  }
}

TLogMessage* TLogMessage::Create() {
  Q_ASSERT(QThread::currentThread() == qApp->thread());
  if (!GInstance) {
    GInstance = new TLogMessage();
    GExists = true;
    qAddPostRoutine(DeleteInstance);
    GInstance->show();
  }
  return GInstance;
}

TLogMessage* TLogMessage::Instance() { return GInstance; }

void AddLogLine(const QString& Text) {
  if (!GExists) return;
  // Queued from every thread, the user-interface thread included, so that a
  // line never overtakes the lines other threads sent before it.
  QMetaObject::invokeMethod(qApp, [Text] { Append(Text); }, Qt::QueuedConnection);
}

void AddLogLine(std::string_view Text) { AddLogLine(QString::fromUtf8(Text.data(), qsizetype(Text.size()))); }

}  // namespace Carvelin
