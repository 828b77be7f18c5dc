#include "Talven.Messages.h"

#include <QDBusMessage>

namespace Talven {

bool PostHostMessage(const QDBusConnection& Bus, const QString& Window, uint32_t Code, const QString& Target) {
  const QString Path = QLatin1String(Vantrel::WMCopyDataPath);
  const QString Interface = QLatin1String(WM_HOST_API);
  const QString Name = QLatin1String(HostMessageSignal);
  QDBusMessage Signal = Target.isEmpty() ? QDBusMessage::createSignal(Path, Interface, Name)
                                         : QDBusMessage::createTargetedSignal(Target, Path, Interface, Name);
  Signal << Window << uint32_t(Code & 0x7F);
  return Bus.send(Signal);
}

}  // namespace Talven
