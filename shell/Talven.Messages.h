// The registered host message WM_HOST_API: on the session bus, the signal
// HostMessage(s window, u code) of the interface named like the message,
// sent from WMCopyDataPath. A host asks for the program's window with
// HOSTMSG_QUERY (0 or 1) and its own unique name; a program window
// announces itself with HOSTMSG_ANNOUNCE and its unique name.
#pragma once

#include <QDBusConnection>
#include <QString>

#include <cstdint>

#include "Vantrel.WMCopyData.h"

namespace Talven {

inline constexpr const char* WM_HOST_API = Vantrel::WMCopyDataInterface;
inline constexpr char HostMessageSignal[] = "HostMessage";
inline constexpr uint32_t HOSTMSG_QUERY = 0;  // 1 asks as well
inline constexpr uint32_t HOSTMSG_ANNOUNCE = 3;

inline bool IsHostQuery(uint32_t Code) { return Code == HOSTMSG_QUERY || Code == 1; }

// Emits HostMessage(Window, Code masked to 7 bits): to Target alone when
// given, else to every listener. False when the bus refused it.
bool PostHostMessage(const QDBusConnection& Bus, const QString& Window, uint32_t Code, const QString& Target = {});

}  // namespace Talven
