// The About box: the product's certification history, the system, the
// versions of the program and of the CPS card module, and links to outside
// pages.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTabWidget>

#include <cstdint>
#include <string>

namespace Carvelin {

// The outside pages, from the settings; a link without an address is hidden.
struct TAproposLinks {
  QString Navigateurs;  // the service's browser compatibility page
  QString CryptoLib;    // the card module's download page
  QString TestSSL;      // a TLS test page
};

// The line of a file's version: its name without folder, a tab, "Version "
// and "%d.%d.%d.%d" or "inconnue"; with a non-zero Minimum (major * 65536 +
// minor), a tab and "OK" or "pas OK" (also when unknown). The executable
// answers its compiled-in version; a library the suffix of its file name.
QString FileVersionLine(const std::string& File, uint32_t Minimum);
// The card module's line: FileVersionLine with the module's minimum when its
// file name carries a version; otherwise the libraryVersion its C_GetInfo
// gives ("major.minor") and "OK", since it loads and answers.
QString CardModuleLine(const std::string& File);
// The operating system: the PRETTY_NAME of /etc/os-release, then the
// kernel release and machine of uname.
QString SystemDescription();

class TFrmAPropos : public QDialog {
  Q_OBJECT
 public:
  // The card module's version must reach 2.12.
  static constexpr uint32_t CardModuleMinimum = 0x0002000C;

  TFrmAPropos(QWidget* Owner, const TAproposLinks& Links, const std::string& CardModule);
  // Shows the box modally, then frees it.
  static void Execute(QWidget* Sender, const TAproposLinks& Links, const std::string& CardModule);

  QLabel* Label3;
  QTabWidget* PageControl1;
  QPlainTextEdit* Memo1;
  QLabel* Label4;
  QLabel* Label6;
  QPlainTextEdit* mmSystem;
};

}  // namespace Carvelin
