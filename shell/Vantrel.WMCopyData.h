// Messages between running copies of the program and host programs over the
// D-Bus session bus. Each running main window owns a bus name beginning with
// WMCopyDataServicePrefix and serves the object WMCopyDataPath with the
// interface WMCopyDataInterface, whose method CopyData(u code, s text) -> i
// stands for a window's copy-data message: a code, a text, an integer answer.
#pragma once

#include <QDBusConnection>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace Vantrel {

inline constexpr char WMCopyDataServicePrefix[] = "org.talven.Carvelin2.p";
inline constexpr char WMCopyDataPath[] = "/Vaspo";
inline constexpr char WMCopyDataInterface[] = "Talven.Vaspo.Message";
inline constexpr int WMCopyDataTimeoutMs = 5000;

// Codes of the messages.
inline constexpr uint32_t WMCD_PING = 0xA000;
inline constexpr uint32_t WMCD_SUBMIT = 0xA003;
inline constexpr uint32_t WMCD_BUSY = 0xA004;
inline constexpr uint32_t WMCD_URL = 0xA005;
inline constexpr uint32_t WMCD_DELETE = 0xA008;

// The bus names of the running copies, in the order the bus lists them.
QStringList PeerInstances(const QDBusConnection& Bus);

// Calls CopyData on Service; nullopt when it does not answer (gone, busy
// past the time-out, or not serving the interface).
std::optional<int> SendCopyData(const QDBusConnection& Bus, const QString& Service, uint32_t Code,
                                const QString& Text);

// The first peer that answers PING with PING, or "" when none does.
QString FindPeerInstance(const QDBusConnection& Bus);

}  // namespace Vantrel
