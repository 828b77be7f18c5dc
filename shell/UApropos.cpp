#include "UApropos.h"

#include <sys/utsname.h>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include <filesystem>
#include <optional>

#include "ShellTr.h"
#include "Talven.eSante.CryptoLibV5.h"
#include "Vantrel.SysUtils.h"

namespace Carvelin {

namespace {

// The product's certification history, as the window shows it.
const char* const Historique =
    "Carvelin 2.0\n"
    "\n"
    "2024 : homologation du logiciel pour le DMP version 2 (alimentation,\n"
    "       consultation, gestion des dossiers, accès web du patient).\n"
    "2023 : lecture de l'application carte Vitale, recherche de l'INS par\n"
    "       le téléservice INSi, notes de vaccination.\n"
    "2022 : dossier de synthèse et gestion des mineurs.\n"
    "2021 : connexion par certificat logiciel d'établissement.\n"
    "2020 : première homologation (carte CPS, lecture de la carte Vitale).\n";

// The version compiled in, as four numbers.
Vantrel::TFileVersion ProgramVersion() {
  Vantrel::TFileVersion V{};
  const std::vector<std::string> Parts = Vantrel::SplitText(".", CARVELIN_VERSION);
  for (size_t I = 0; I < Parts.size() && I < V.size(); ++I) V[I] = uint16_t(std::stoi(Parts[I]));
  return V;
}

bool IsProgram(const std::string& File) {
  std::error_code Ec;
  const std::string Exe = QCoreApplication::applicationFilePath().toStdString();
  return !Exe.empty() && std::filesystem::equivalent(File, Exe, Ec);
}

QLabel* LinkLabel(const QString& Text, const QString& Address, QWidget* Parent) {
  auto* Label = new QLabel(QStringLiteral("<a href=\"%1\">%2</a>")
                               .arg(Address.toHtmlEscaped(), Text.toHtmlEscaped()),
                           Parent);
  Label->setToolTip(Address);
  Label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  Label->setVisible(!Address.isEmpty());
  QObject::connect(Label, &QLabel::linkActivated, Label, [](const QString& Url) { QDesktopServices::openUrl(QUrl(Url)); });
  return Label;
}

// The file name without folder, a tab, "Version " and the version; with a
// verdict, a tab and "OK" or "pas OK".
QString VersionLine(const std::string& File, const QString& Version, std::optional<bool> Ok = std::nullopt) {
  QString Line = QString::fromStdString(std::filesystem::path(File).filename().string()) + QLatin1Char('\t') +
                 ShellTr::tr("Version ") + Version;
  if (Ok) Line += QLatin1Char('\t') + (*Ok ? ShellTr::tr("OK") : ShellTr::tr("pas OK"));
  return Line;
}

}  // namespace

QString FileVersionLine(const std::string& File, uint32_t Minimum) {
  Vantrel::TFileVersion V{};
  bool Known;
  if (IsProgram(File)) {
    V = ProgramVersion();
    Known = true;
  } else {
    Known = Vantrel::LibraryFileVersion(File, V);
  }
  const QString Version = Known ? QStringLiteral("%1.%2.%3.%4").arg(V[0]).arg(V[1]).arg(V[2]).arg(V[3])
                                : ShellTr::tr("inconnue");
  if (Minimum == 0) return VersionLine(File, Version);
  return VersionLine(File, Version, Known && (uint32_t(V[0]) << 16 | V[1]) >= Minimum);
}

QString CardModuleLine(const std::string& File) {
  Vantrel::TFileVersion Unused{};
  CK_VERSION V{};
  if (Vantrel::LibraryFileVersion(File, Unused) || !Talven::eSante::TCryptoLibV5::LibraryVersion(File, V))
    return FileVersionLine(File, TFrmAPropos::CardModuleMinimum);
  return VersionLine(File, QStringLiteral("%1.%2").arg(V.major).arg(V.minor), true);
}

QString SystemDescription() {
  QString Name;
  for (const std::string& Line : Vantrel::SplitText("\n", Vantrel::FileToUTF8("/etc/os-release"))) {
    if (!Line.starts_with("PRETTY_NAME=")) continue;
    std::string Value = Line.substr(12);
    if (Value.size() >= 2 && (Value.front() == '"' || Value.front() == '\'') && Value.back() == Value.front())
      Value = Value.substr(1, Value.size() - 2);
    Name = QString::fromStdString(Value);
  }
  if (Name.isEmpty()) Name = QStringLiteral("Linux");
  utsname U{};
  if (uname(&U) == 0) Name += QStringLiteral(" (%1 %2)").arg(QString::fromUtf8(U.release), QString::fromUtf8(U.machine));
  return Name;
}

TFrmAPropos::TFrmAPropos(QWidget* Owner, const TAproposLinks& Links, const std::string& CardModule)
    : QDialog(Owner) {
  setObjectName(QStringLiteral("FrmAPropos"));
  setWindowTitle(QStringLiteral("Carvelin"));
  auto* Layout = new QVBoxLayout(this);
  auto* Product = new QLabel(ShellTr::tr("Carvelin %1 - le Dossier Médical Partagé")
                                 .arg(QStringLiteral(CARVELIN_VERSION)), this);
  Product->setObjectName(QStringLiteral("lbProduit"));
  Layout->addWidget(Product);
  Label3 = LinkLabel(ShellTr::tr("Consulter la matrice de compatibilité des Navigateurs avec le DMP"),
                     Links.Navigateurs, this);
  Label3->setObjectName(QStringLiteral("Label3"));
  Layout->addWidget(Label3);

  PageControl1 = new QTabWidget(this);
  PageControl1->setObjectName(QStringLiteral("PageControl1"));
  Memo1 = new QPlainTextEdit(QString::fromUtf8(Historique), PageControl1);
  Memo1->setObjectName(QStringLiteral("Memo1"));
  Memo1->setAccessibleName(ShellTr::tr("Historique des versions"));
  Memo1->setReadOnly(true);
  PageControl1->addTab(Memo1, ShellTr::tr("Version"));

  auto* Systeme = new QWidget(PageControl1);
  auto* SystemeLayout = new QVBoxLayout(Systeme);
  Label4 = LinkLabel(ShellTr::tr("Cliquez ici pour télécharger la Cryptolib V5"), Links.CryptoLib, Systeme);
  Label4->setObjectName(QStringLiteral("Label4"));
  Label6 = LinkLabel(ShellTr::tr("Cliquez ici pour tester l'accès SSL (ou rendez-vous sur l'espace pro Ameli)"),
                     Links.TestSSL, Systeme);
  Label6->setObjectName(QStringLiteral("Label6"));
  mmSystem = new QPlainTextEdit(Systeme);
  mmSystem->setObjectName(QStringLiteral("mmSystem"));
  mmSystem->setAccessibleName(ShellTr::tr("Système et versions"));
  mmSystem->setReadOnly(true);
  mmSystem->setLineWrapMode(QPlainTextEdit::NoWrap);
  // One tab stop at 100 dialog units (a dialog unit is a quarter of the
  // average character width).
  mmSystem->setTabStopDistance(100.0 * mmSystem->fontMetrics().averageCharWidth() / 4);
  mmSystem->setPlainText(QStringList{SystemDescription(), QString(),
                                     FileVersionLine(QCoreApplication::applicationFilePath().toStdString(), 0),
                                     QString(), CardModuleLine(CardModule)}
                             .join(QLatin1Char('\n')));
  SystemeLayout->addWidget(Label4);
  SystemeLayout->addWidget(Label6);
  SystemeLayout->addWidget(mmSystem);
  PageControl1->addTab(Systeme, ShellTr::tr("Système"));
  Layout->addWidget(PageControl1);

  auto* Buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  Buttons->button(QDialogButtonBox::Ok)->setText(ShellTr::tr("OK"));
  connect(Buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  Layout->addWidget(Buttons);
  resize(fontMetrics().averageCharWidth() * 100, fontMetrics().height() * 24);
}

void TFrmAPropos::Execute(QWidget* Sender, const TAproposLinks& Links, const std::string& CardModule) {
  TFrmAPropos Form(Sender, Links, CardModule);
  Form.exec();
}

}  // namespace Carvelin
