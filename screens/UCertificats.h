// Import of a software certificate pair: an authentication and a signature
// PKCS #12 file, each opened with its password to show its holder, then
// handed as they are (still password-protected) to the local database.
#pragma once

#include <QDialog>
#include <QString>

#include <functional>
#include <string>
#include <string_view>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace Carvelin {

// A password edit's text in UTF-8, for the caller to wipe after use.
std::string PasswordText(const QLineEdit* Edit);
// The masked password edits of a pair and the box "Mot de passe identique"
// (ticked), as the certificate forms have them; Change runs at every text change.
void MakePasswordEdits(QWidget* Parent, QLineEdit*& AuthPwd, QLineEdit*& SignPwd, QCheckBox*& SamePwd,
                       const std::function<void()>& Change);
// Ticks Same when the two password edits hold the same text.
void FollowSamePassword(const QLineEdit* AuthPwd, const QLineEdit* SignPwd, QCheckBox* Same);

// Stores a pair under the holder's name.
using TAddCertificatsEvent = std::function<void(const std::string& Nom, std::string_view Auth, std::string_view Sign)>;

class TCertificats : public QDialog {
  Q_OBJECT
 public:
  TCertificats(QWidget* Parent, TAddCertificatsEvent AddCertificats);

  // True when a pair was handed to AddCertificats.
  static bool Execute(QWidget* Sender, TAddCertificatsEvent AddCertificats);

  // The holder as the label shows it, from a certificate's subject name
  // (DER): given name, surname, common name in brackets, title. Empty when
  // one of the four is missing.
  static QString HolderLabel(std::string_view Subject);

  void btBrowseAuthClick();
  void btBrowseSignClick();
  void edSignPwdChange();
  void btOKClick();

  QLineEdit* edAuthFile;
  QPushButton* btBrowseAuth;
  QLineEdit* edAuthPwd;
  QLabel* lbAuth;
  QLineEdit* edSignFile;
  QPushButton* btBrowseSign;
  QLineEdit* edSignPwd;
  QLabel* lbSign;
  QCheckBox* cbSamePwd;
  QPushButton* btOK;
  QPushButton* btCancel;

 private:
  bool ReadCertificate(QLineEdit* FileEdit, QLineEdit* PasswordEdit, QLabel* Label, std::string& Bytes);
  void Browse(QLineEdit* FileEdit);

  TAddCertificatsEvent FAddCertificats;
};

}  // namespace Carvelin
