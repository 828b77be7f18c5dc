// The CPS card's PIN dialog, and the PIN remembered for a card holder.
//
// A remembered PIN sits in the settings, section "Secret", under the
// holder's national identifier: the Base64 text of the protected string
// (Vantrel.Win.CryptString) of the PIN followed by that identifier. It is
// written only once the card accepted the PIN, and it is used without the
// dialog only while the card has all its tries left. A value that cannot be
// opened, or that names another holder, reads as nothing.
#pragma once

#include <QDialog>

#include <string>
#include <string_view>

#include "Talven.Carvelin.Types.h"
#include "Vantrel.IniFiles.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace Carvelin {

inline constexpr std::string_view SecretSection = "Secret";
inline constexpr size_t PinLength = 4;

// The PIN remembered for IdNational, or "".
std::string RememberedPIN(const Vantrel::TIniFile& Ini, std::string_view IdNational);
// True when a value (even one that no longer opens) is stored for IdNational.
bool HasRememberedPIN(const Vantrel::TIniFile& Ini, std::string_view IdNational);
// Stores PIN for IdNational (std::system_error when the key cannot be made).
void RememberPIN(Vantrel::TIniFile& Ini, std::string_view IdNational, std::string_view PIN);
// Empties the value of IdNational.
void ForgetPIN(Vantrel::TIniFile& Ini, std::string_view IdNational);

// What the dialog gives: the PIN, whether the user asked to remember it,
// and whether it came from the settings. The PIN is wiped when it goes.
struct TCodePIN {
  std::string Code;
  bool Save = false;
  bool Remembered = false;
  TCodePIN() = default;
  TCodePIN(const TCodePIN&) = delete;
  TCodePIN& operator=(const TCodePIN&) = delete;
  ~TCodePIN() { Clear(); }
  void Clear();
};

class TFrmCodePIN : public QDialog {
  Q_OBJECT
 public:
  TFrmCodePIN(QWidget* Parent, Talven::IVaspoCPS& CPS, int PinCount);

  // True with Pin filled when a PIN is available (remembered, or typed and
  // confirmed); false when the user cancelled.
  static bool GetCodePIN(QWidget* Sender, Talven::IVaspoCPS& CPS, Vantrel::TIniFile& Ini, TCodePIN& Pin);

  QLabel* lbTitle;
  QLabel* lbNom;
  QLabel* lbPinCount;
  QLineEdit* edCode;
  QCheckBox* cbSaveCode;
  QPushButton* btOK;
  QPushButton* btCancel;
};

}  // namespace Carvelin
