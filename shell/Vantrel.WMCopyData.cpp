#include "Vantrel.WMCopyData.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>

#include <algorithm>

#include "FLogMessage.h"

namespace Vantrel {

namespace {

QDBusMessage CopyDataCall(const TWMCopyDataHandler& Handler, uint32_t Code, const QString& Text) {
  QDBusMessage Call = QDBusMessage::createMethodCall(Handler.Target, QLatin1String(WMCopyDataPath),
                                                     QLatin1String(WMCopyDataInterface), QStringLiteral("CopyData"));
  Call << Code << Text;
  return Call;
}

int AnswerOf(const QDBusMessage& Reply) {
  if (Reply.type() != QDBusMessage::ReplyMessage || Reply.arguments().size() != 1) return 0;
  bool Ok = false;
  const int Answer = Reply.arguments().front().toInt(&Ok);
  return Ok ? Answer : 0;
}

void LogSend(const QString& Target, uint32_t Code, const QString& Text) {
  Carvelin::AddLogLine(QStringLiteral("SEND> [%1] %2 : %3").arg(Target).arg(Code).arg(Text));
}

}  // namespace

void SendCopyData(const TWMCopyDataHandler& Handler, uint32_t Code, const QString& Text, QObject* Context,
                  TCopyDataAnswer OnAnswer) {
  if (Handler.Target.isEmpty() || !Handler.Bus.isConnected()) {
    if (OnAnswer) OnAnswer(0);
    return;
  }
  const QDBusPendingCall Pending =
      Handler.Bus.asyncCall(CopyDataCall(Handler, Code, Text), WMCopyDataTimeoutMs);
  if (!OnAnswer) return;
  auto* Watcher = new QDBusPendingCallWatcher(Pending, Context);
  QObject::connect(Watcher, &QDBusPendingCallWatcher::finished, Context,
                   [OnAnswer = std::move(OnAnswer)](QDBusPendingCallWatcher* W) {
                     W->deleteLater();
                     OnAnswer(AnswerOf(W->reply()));
                   });
}

void SendToWindow(const TWMCopyDataHandler& Handler, uint32_t Code, const QString& Text, QObject* Context) {
  LogSend(Handler.Target, Code, Text);
  SendCopyData(Handler, Code, Text, Context);
}

void SendToAllWindows(const TWMCopyDataHandler& Handler, std::vector<QString>& Windows, uint32_t Code,
                      const QString& Text, QObject* Context) {
  LogSend(QStringLiteral("*ALL"), Code, Text);
  // A copy: without a bus the answers come at once and remove entries.
  const std::vector<QString> Targets = Windows;
  for (auto It = Targets.rbegin(); It != Targets.rend(); ++It) {
    TWMCopyDataHandler To = Handler;
    To.Target = *It;
    SendCopyData(To, Code, Text, Context, [&Windows, Name = *It](int Answer) {
      if (Answer == 0) std::erase(Windows, Name);
    });
  }
}

int SendCopyDataAndWait(const TWMCopyDataHandler& Handler, uint32_t Code, const QString& Text) {
  if (Handler.Target.isEmpty() || !Handler.Bus.isConnected()) return 0;
  return AnswerOf(Handler.Bus.call(CopyDataCall(Handler, Code, Text), QDBus::Block, WMCopyDataTimeoutMs));
}

bool PingWindow(const TWMCopyDataHandler& Handler) {
  return SendCopyDataAndWait(Handler, PING, QStringLiteral("PING")) == int(PING);
}

bool FindPeerWindow(TWMCopyDataHandler& Handler, const QString& Prefix) {
  Handler.Target.clear();
  if (!Handler.Bus.isConnected() || !Handler.Bus.interface()) return false;
  const QDBusReply<QStringList> Names = Handler.Bus.interface()->registeredServiceNames();
  if (!Names.isValid()) return false;
  for (const QString& Name : Names.value()) {
    if (!Name.startsWith(Prefix)) continue;
    Handler.Target = Name;
    if (PingWindow(Handler)) return true;
  }
  Handler.Target.clear();
  return false;
}

std::string CopyDataString(const QString& Text) { return Text.toStdString(); }

}  // namespace Vantrel
