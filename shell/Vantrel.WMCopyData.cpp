#include "Vantrel.WMCopyData.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

namespace Vantrel {

QStringList PeerInstances(const QDBusConnection& Bus) {
  QStringList Peers;
  if (!Bus.isConnected() || !Bus.interface()) return Peers;
  const QDBusReply<QStringList> Names = Bus.interface()->registeredServiceNames();
  if (!Names.isValid()) return Peers;
  for (const QString& Name : Names.value())
    if (Name.startsWith(QLatin1String(WMCopyDataServicePrefix))) Peers << Name;
  return Peers;
}

std::optional<int> SendCopyData(const QDBusConnection& Bus, const QString& Service, uint32_t Code,
                                const QString& Text) {
  QDBusMessage Call = QDBusMessage::createMethodCall(Service, QLatin1String(WMCopyDataPath),
                                                     QLatin1String(WMCopyDataInterface), QStringLiteral("CopyData"));
  Call << Code << Text;
  const QDBusMessage Reply = Bus.call(Call, QDBus::Block, WMCopyDataTimeoutMs);
  if (Reply.type() != QDBusMessage::ReplyMessage || Reply.arguments().size() != 1) return std::nullopt;
  bool Ok = false;
  const int Answer = Reply.arguments().front().toInt(&Ok);
  return Ok ? std::optional(Answer) : std::nullopt;
}

QString FindPeerInstance(const QDBusConnection& Bus) {
  for (const QString& Peer : PeerInstances(Bus))
    if (SendCopyData(Bus, Peer, WMCD_PING, QStringLiteral("PING")) == int(WMCD_PING)) return Peer;
  return {};
}

}  // namespace Vantrel
