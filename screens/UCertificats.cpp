#include "UCertificats.h"

#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <optional>

#include "ScreensTr.h"
#include "Vantrel.QtText.h"
#include "Vantrel.WinSSPI.h"
#include "Vantrel.Winapi.BCrypt.h"
#include "VCLPatches.h"

namespace Carvelin {

using Vantrel::Q;

namespace {

QLabel* HolderText(QWidget* Parent, const QString& Name) {
  auto* Label = new QLabel(Parent);
  Label->setObjectName(Name);
  Label->setTextFormat(Qt::PlainText);
  Label->hide();
  return Label;
}

// Holder names and library texts come from the files: never read as markup.
int ShowMessage(QWidget* Parent, QMessageBox::Icon Icon, const QString& Text,
                QMessageBox::StandardButtons Buttons = QMessageBox::Ok) {
  QMessageBox Box(Icon, QStringLiteral("Carvelin"), Text, Buttons, Parent);
  Box.setTextFormat(Qt::PlainText);
  return Box.exec();
}

}  // namespace

std::string PasswordText(const QLineEdit* Edit) {
  QByteArray Utf8 = Edit->text().toUtf8();
  std::string Password(Utf8.constData(), size_t(Utf8.size()));
  Vantrel::SecureZeroMemory(Utf8.data(), size_t(Utf8.size()));
  return Password;
}

void MakePasswordEdits(QWidget* Parent, QLineEdit*& AuthPwd, QLineEdit*& SignPwd, QCheckBox*& SamePwd,
                       const std::function<void()>& Change) {
  auto Make = [&](const QString& Name) {
    auto* Edit = new QLineEdit(Parent);
    Edit->setObjectName(Name);
    Edit->setEchoMode(QLineEdit::Password);
    QObject::connect(Edit, &QLineEdit::textChanged, Parent, Change);
    return Edit;
  };
  AuthPwd = Make(QStringLiteral("edAuthPwd"));
  SignPwd = Make(QStringLiteral("edSignPwd"));
  SamePwd = new QCheckBox(ScreensTr::tr("Mot de passe identique"), Parent);
  SamePwd->setObjectName(QStringLiteral("cbSamePwd"));
  SamePwd->setChecked(true);
}

void FollowSamePassword(const QLineEdit* AuthPwd, const QLineEdit* SignPwd, QCheckBox* Same) {
  Same->setChecked(AuthPwd->text() == SignPwd->text());
}

TCertificats::TCertificats(QWidget* Parent, TAddCertificatsEvent AddCertificats)
    : QDialog(Parent), FAddCertificats(std::move(AddCertificats)) {
  setObjectName(QStringLiteral("Certificats"));
  setWindowTitle(ScreensTr::tr("Importation d'un certificat"));
  auto MakeFileEdit = [this](const QString& Name) {
    auto* Edit = new QLineEdit(this);
    Edit->setObjectName(Name);
    Edit->setToolTip(ScreensTr::tr("Fichier au format P12"));
    return Edit;
  };
  auto MakeBrowse = [this](const QString& Name) {
    auto* Button = new QPushButton(QStringLiteral("..."), this);
    Button->setObjectName(Name);
    Button->setAutoDefault(false);
    return Button;
  };
  edAuthFile = MakeFileEdit(QStringLiteral("edAuthFile"));
  btBrowseAuth = MakeBrowse(QStringLiteral("btBrowseAuth"));
  lbAuth = HolderText(this, QStringLiteral("lbAuth"));
  edSignFile = MakeFileEdit(QStringLiteral("edSignFile"));
  btBrowseSign = MakeBrowse(QStringLiteral("btBrowseSign"));
  lbSign = HolderText(this, QStringLiteral("lbSign"));
  MakePasswordEdits(this, edAuthPwd, edSignPwd, cbSamePwd, [this] { edSignPwdChange(); });
  MakeOKCancel(this, btOK, btCancel, "btCancel", [this] { btOKClick(); });

  connect(btBrowseAuth, &QPushButton::clicked, this, [this] { btBrowseAuthClick(); });
  connect(btBrowseSign, &QPushButton::clicked, this, [this] { btBrowseSignClick(); });

  auto* Grid = new QGridLayout;
  auto AddPart = [&](int Row, const QString& Title, QLineEdit* File, QPushButton* Browse, QLineEdit* Pwd,
                     QLabel* Holder) {
    Grid->addWidget(new QLabel(Title, this), Row, 0, 1, 3);
    Grid->addWidget(new QLabel(ScreensTr::tr("Nom du fichier"), this), Row + 1, 0);
    Grid->addWidget(File, Row + 1, 1);
    Grid->addWidget(Browse, Row + 1, 2);
    Grid->addWidget(new QLabel(ScreensTr::tr("Mot de passe"), this), Row + 2, 0);
    Grid->addWidget(Pwd, Row + 2, 1);
    Grid->addWidget(Holder, Row + 3, 1, 1, 2);
  };
  AddPart(0, ScreensTr::tr("Certificat d'authentification :"), edAuthFile, btBrowseAuth, edAuthPwd, lbAuth);
  AddPart(4, ScreensTr::tr("Certificat de signature :"), edSignFile, btBrowseSign, edSignPwd, lbSign);
  Grid->addWidget(cbSamePwd, 8, 1);
  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch(1);
  Buttons->addWidget(btOK);
  Buttons->addWidget(btCancel);
  auto* Column = new QVBoxLayout(this);
  Column->addLayout(Grid);
  Column->addStretch(1);
  Column->addLayout(Buttons);
  resize(480, 300);
}

bool TCertificats::Execute(QWidget* Sender, TAddCertificatsEvent AddCertificats) {
  TCertificats Form(Sender, std::move(AddCertificats));
  return Form.exec() == QDialog::Accepted;
}

QString TCertificats::HolderLabel(std::string_view Subject) {
  const std::string Text = Vantrel::CertNameText(Subject, Vantrel::CERT_X500_NAME_STR);
  std::optional<std::string> Title, Given, Common, Surname;
  auto Take = [](std::string_view Part, std::string_view Prefix, std::optional<std::string>& Into) {
    if (Part.substr(0, Prefix.size()) == Prefix) Into = std::string(Part.substr(Prefix.size()));
  };
  auto Split = [](std::string_view Whole, std::string_view Separator, auto&& Each) {
    for (size_t From = 0;;) {
      const size_t At = Whole.find(Separator, From);
      Each(Whole.substr(From, At == std::string_view::npos ? std::string_view::npos : At - From));
      if (At == std::string_view::npos) return;
      From = At + Separator.size();
    }
  };
  Split(Text, ", ", [&](std::string_view Relative) {
    Split(Relative, " + ", [&](std::string_view Part) {
      for (std::string_view Prefix : {"T=", "S="}) Take(Part, Prefix, Title);
      for (std::string_view Prefix : {"G=", "O="}) Take(Part, Prefix, Given);
      Take(Part, "CN=", Common);
      for (std::string_view Prefix : {"SN=", "OU="}) Take(Part, Prefix, Surname);
    });
  });
  if (!Title || !Given || !Common || !Surname) return {};
  return Q(*Given + " " + *Surname + " (" + *Common + ") " + *Title);
}

bool TCertificats::ReadCertificate(QLineEdit* FileEdit, QLineEdit* PasswordEdit, QLabel* Label, std::string& Bytes) {
  Label->clear();
  QFile File(FileEdit->text());
  if (FileEdit->text().isEmpty() || !File.open(QIODevice::ReadOnly)) {
    ShowMessage(this, QMessageBox::Warning, ScreensTr::tr("Impossible de lire le certificat."));
    FileEdit->setFocus();
    return false;
  }
  // One byte more than a file may hold, so that a larger one is refused.
  const QByteArray Data = File.read(qint64(Vantrel::MaxPFXSize) + 1);
  Bytes.assign(Data.constData(), size_t(Data.size()));
  std::string Password = PasswordText(PasswordEdit);
  Vantrel::TPFXContent Content;
  std::string Error;
  const bool Opened = Vantrel::PFXImportCertStore(Bytes, Password, Content, Error);
  Vantrel::WipeBytes(Password);
  if (!Opened) {
    ShowMessage(this, QMessageBox::Warning,
                ScreensTr::tr("Impossible de charger le certificat.") + QLatin1Char('\n') + Q(Error));
    PasswordEdit->setFocus();
    return false;
  }
  // The holder is the certificate of the private key, wherever the file
  // puts it among its authorities.
  if (Content.Certificates.size() < 3 || Content.KeyCertificate < 0) return false;
  const QString Holder =
      HolderLabel(Vantrel::CertSubjectName(Content.Certificates[size_t(Content.KeyCertificate)]));
  if (Holder.isEmpty()) return false;
  Label->setText(Holder);
  Label->show();
  return true;
}

void TCertificats::Browse(QLineEdit* FileEdit) {
  const QString Name = QFileDialog::getOpenFileName(
      this, {}, {}, ScreensTr::tr("Certificat P12 (*.P12 *.p12)") + QStringLiteral(";;") + ScreensTr::tr("Tous les fichiers (*)"));
  if (!Name.isEmpty()) FileEdit->setText(Name);
}

void TCertificats::btBrowseAuthClick() { Browse(edAuthFile); }

void TCertificats::btBrowseSignClick() { Browse(edSignFile); }

void TCertificats::edSignPwdChange() { FollowSamePassword(edAuthPwd, edSignPwd, cbSamePwd); }

void TCertificats::btOKClick() {
  std::string Auth, Sign;
  if (!ReadCertificate(edAuthFile, edAuthPwd, lbAuth, Auth)) return;
  if (!ReadCertificate(edSignFile, cbSamePwd->isChecked() ? edAuthPwd : edSignPwd, lbSign, Sign)) return;
  const QString Question =
      lbAuth->text() != lbSign->text()
          ? ScreensTr::tr("Voulez-vous ajouter les certificats suivants : ") + QLatin1Char('\n') + lbAuth->text() +
                QLatin1Char('\n') + lbSign->text()
          : ScreensTr::tr("Voulez-vous ajouter le certificat ") + lbAuth->text() + QStringLiteral(" ?");
  if (ShowMessage(this, QMessageBox::Question, Question, QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
    return;
  try {
    FAddCertificats(lbAuth->text().toStdString(), Auth, Sign);
  } catch (const std::exception& E) {
    ShowMessage(this, QMessageBox::Critical, QString::fromUtf8(E.what()));
    return;
  }
  accept();
}

}  // namespace Carvelin
