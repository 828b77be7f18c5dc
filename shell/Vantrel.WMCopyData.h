// Copy-data messages between running copies of the program and host programs
// over the D-Bus session bus. Each running main window owns a bus name
// beginning with WMCopyDataServicePrefix and serves the object WMCopyDataPath
// with the interface WMCopyDataInterface, whose method CopyData(u code,
// s text) -> i stands for a window's copy-data message: a code, a text, an
// integer answer. A unique bus name stands for a window handle; hosts serve
// the same method at the same path.
//
// The window never waits for a host: its messages go out asynchronously
// (one connection keeps them in order), each answer arriving later on the
// event loop. Only a copy that has no window yet (the hand-over of a link at
// start-up) waits for answers.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Vantrel {

inline constexpr char WMCopyDataServicePrefix[] = "org.talven.Carvelin2.p";
inline constexpr char WMCopyDataPath[] = "/Vaspo";
inline constexpr char WMCopyDataInterface[] = "Talven.Vaspo.Message";
inline constexpr int WMCopyDataTimeoutMs = 5000;

// Message codes.
inline constexpr uint32_t NOTIFY_PRATICIEN = 0x1001;
inline constexpr uint32_t NOTIFY_PATIENT = 0x1002;
inline constexpr uint32_t NOTIFY_FAVORIS = 0x1011;
inline constexpr uint32_t QUERY_PATIENT = 0x2001;
inline constexpr uint32_t OPEN_PATIENT = 0x2011;
inline constexpr uint32_t RECV_FILE = 0x4001;
inline constexpr uint32_t NOTIFY_CATEGORY = 0x4002;
inline constexpr uint32_t SEND_FILE = 0x4010;
inline constexpr uint32_t SEND_FILE_REPLY = 0x4011;
inline constexpr uint32_t PING = 0xA000;
inline constexpr uint32_t REGISTER = 0xA001;
inline constexpr uint32_t MESSAGE = 0xA002;
inline constexpr uint32_t URL = 0xA005;
inline constexpr uint32_t NOTIFY_PIN_CANCELLED = 0xA007;
inline constexpr uint32_t DELETE = 0xA008;
// Answers besides 0, 1, PING and the client core's codes.
inline constexpr int SUBMIT = 0xA003;  // accepted, carried out later
inline constexpr int BUSY = 0xA004;

// Who sends and who receives. Target "" reaches nobody.
struct TWMCopyDataHandler {
  QDBusConnection Bus = QDBusConnection::sessionBus();
  QString Sender;  // our own unique name
  QString Target;  // a bus name serving WMCopyDataPath
};

// An answer: the target's result, 0 for an error, a time-out or no target.
using TCopyDataAnswer = std::function<void(int Answer)>;

// Calls CopyData on the target without waiting; OnAnswer (optional) runs on
// Context's thread when the answer arrives, never after Context is gone.
void SendCopyData(const TWMCopyDataHandler& Handler, uint32_t Code, const QString& Text, QObject* Context,
                  TCopyDataAnswer OnAnswer = {});
// Log line "SEND> [target] code : text", then SendCopyData.
void SendToWindow(const TWMCopyDataHandler& Handler, uint32_t Code, const QString& Text, QObject* Context);
// Log line "SEND> [*ALL] code : text", then SendCopyData to every window
// from the last to the first; a window that answers 0 is removed from
// Windows when its answer arrives (the later ones move up). Windows must
// live as long as Context.
void SendToAllWindows(const TWMCopyDataHandler& Handler, std::vector<QString>& Windows, uint32_t Code,
                      const QString& Text, QObject* Context);

// Waits for the answer (up to WMCopyDataTimeoutMs): for a copy without a
// window only.
int SendCopyDataAndWait(const TWMCopyDataHandler& Handler, uint32_t Code, const QString& Text);
// The target answers PING with PING.
bool PingWindow(const TWMCopyDataHandler& Handler);
// Sets Handler.Target to the first bus name beginning with Prefix that
// answers PING; false (Target "") when none does.
bool FindPeerWindow(TWMCopyDataHandler& Handler, const QString& Prefix);

// The text of a received message, UTF-8.
std::string CopyDataString(const QString& Text);

}  // namespace Vantrel
