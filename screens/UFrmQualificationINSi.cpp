#include "UFrmQualificationINSi.h"

#include <QButtonGroup>
#include <QDesktopServices>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QUrl>
#include <QVBoxLayout>

#include <array>

#include "ScreensTr.h"
#include "Vantrel.ImageIcons.h"

namespace Carvelin {

namespace {

// The identity-check values of the patient's documents, then of the
// guardian's; the patient's last two are a minor's and need the guardian's.
constexpr std::array PatientValues = {4, 8, 16, 32, 64};
constexpr std::array GuardianValues = {4, 8, 16};
constexpr int FirstMinorDocument = 3;

QGroupBox* RadioGroup(QWidget* Parent, const QString& Title, const QStringList& Items, QButtonGroup*& Group) {
  auto* Box = new QGroupBox(Title, Parent);
  auto* Layout = new QVBoxLayout(Box);
  Group = new QButtonGroup(Box);
  for (int I = 0; I < Items.size(); ++I) {
    auto* Item = new QRadioButton(Items[I], Box);
    Group->addButton(Item, I);
    Layout->addWidget(Item);
  }
  return Box;
}

QLabel* Value(QWidget* Parent, const std::string& Text) {
  auto* Label = new QLabel(QString::fromStdString(Text), Parent);
  Label->setTextFormat(Qt::PlainText);  // the service's text, never markup
  QFont Bold = Label->font();
  Bold.setBold(true);
  Label->setFont(Bold);
  return Label;
}

}  // namespace

TFrmQualificationINSi::TFrmQualificationINSi(QWidget* Parent) : QDialog(Parent) {
  setWindowTitle(ScreensTr::tr("Validation de l'identité numérique"));
  auto* Notice = new QLabel(ScreensTr::tr("Le \"Référentiel national d'identitovigilance\"*\n"
                                          "de l'Agence du Numérique en Santé réclame\n"
                                          "un contrôle de cohérence de l'identité numérique des patients"),
                            this);
  Notice->setTextFormat(Qt::PlainText);
  lbURL = new QLabel(QStringLiteral("* <a href=\"%1\">%2</a>")
                         .arg(QString::fromLatin1(RNIVAddress), ScreensTr::tr("RNIV 1 Principes communs")),
                     this);
  lbURL->setObjectName(QStringLiteral("lbURL"));
  lbURL->setTextFormat(Qt::RichText);
  connect(lbURL, &QLabel::linkActivated, this, [](const QString& Url) { QDesktopServices::openUrl(QUrl(Url)); });
  auto* Official = new QLabel(ScreensTr::tr("Seuls les dispositifs officiels à haut niveau de confiance sont acceptés"),
                              this);

  lbNom = Value(this, {});
  lbPrenoms = Value(this, {});
  lbNaissance = Value(this, {});
  lbSexe = Value(this, {});
  lbCommune = Value(this, {});
  lbPrenomsCaption = new QLabel(ScreensTr::tr("Prénoms"), this);
  Identity = new QFormLayout;
  Identity->addRow(ScreensTr::tr("Nom de naissance"), lbNom);
  Identity->addRow(lbPrenomsCaption, lbPrenoms);
  Identity->addRow(ScreensTr::tr("Date de naissance"), lbNaissance);
  Identity->addRow(ScreensTr::tr("Sexe"), lbSexe);
  Identity->addRow(ScreensTr::tr("INSEE Commune"), lbCommune);
  auto* Picture = new QLabel(this);
  Picture->setPixmap(QPixmap::fromImage(Vantrel::ImageIcon(40, 64)));
  auto* IdentityRow = new QHBoxLayout;
  IdentityRow->addLayout(Identity, 1);
  IdentityRow->addWidget(Picture, 0, Qt::AlignTop);

  RadioGroup1 = RadioGroup(this, ScreensTr::tr("Contrôle de l'identité du patient"),
                           {ScreensTr::tr("Carte d'identité du patient"), ScreensTr::tr("Passeport du patient"),
                            ScreensTr::tr("Titre permanent de séjour"),
                            ScreensTr::tr("Livret de famille du patient mineur"),
                            ScreensTr::tr("Extrait d'acte de naissance du patient mineur")},
                           Documents1);
  RadioGroup1->setObjectName(QStringLiteral("RadioGroup1"));
  RadioGroup2 = RadioGroup(this, ScreensTr::tr("Contrôle de l'identité du parent ou tuteur"),
                           {ScreensTr::tr("Carte d'identité du patient"), ScreensTr::tr("Passeport du patient"),
                            ScreensTr::tr("Titre permanent de séjour")},
                           Documents2);
  RadioGroup2->setObjectName(QStringLiteral("RadioGroup2"));
  RadioGroup2->hide();
  connect(Documents1, &QButtonGroup::idClicked, this, [this] { RadioGroup1Click(); });

  Button1 = new QPushButton(ScreensTr::tr("Je confirme le contrôle d'identité du patient"), this);
  Button1->setObjectName(QStringLiteral("Button1"));
  btCancel = new QPushButton(ScreensTr::tr("Annuler"), this);
  btCancel->setObjectName(QStringLiteral("btCancel"));
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(btCancel, &QPushButton::clicked, this, &QDialog::reject);
  auto* Buttons = new QHBoxLayout;
  Buttons->addStretch();
  Buttons->addWidget(Button1);
  Buttons->addWidget(btCancel);

  auto* Layout = new QVBoxLayout(this);
  Layout->addWidget(Notice);
  Layout->addWidget(lbURL);
  Layout->addWidget(Official);
  Layout->addLayout(IdentityRow);
  Layout->addWidget(RadioGroup1);
  Layout->addWidget(RadioGroup2);
  Layout->addLayout(Buttons);
}

int TFrmQualificationINSi::Execute(QWidget* Sender, const Talven::TINSiResponse& INSi) {
  TFrmQualificationINSi Form(Sender);
  Form.lbNom->setText(QString::fromStdString(INSi.Nom));
  Form.lbPrenoms->setText(QString::fromStdString(INSi.Prenoms));
  Form.lbNaissance->setText(QString::fromStdString(INSi.DateNaissance));
  Form.lbSexe->setText(QString::fromStdString(INSi.Sexe));
  Form.lbCommune->setText(QString::fromStdString(INSi.LieuNaissance));
  return Form.exec() == QDialog::Accepted ? Form.GetControle() : -1;
}

int TFrmQualificationINSi::ExecuteAPCV(QWidget* Sender, const Talven::TIdentiteAMO& Identite) {
  TFrmQualificationINSi Form(Sender);
  Form.lbNom->setText(QString::fromStdString(Identite.NomFamille));
  Form.lbPrenomsCaption->setText(ScreensTr::tr("Nom d'usage"));
  Form.lbPrenoms->setText(QString::fromStdString(Identite.NomUsage));
  Form.lbNaissance->setText(QString::fromStdString(Identite.DateNaissance));
  Form.Identity->setRowVisible(Form.lbSexe, false);
  Form.Identity->setRowVisible(Form.lbCommune, false);
  return Form.exec() == QDialog::Accepted ? Form.GetControle() : 0;
}

int TFrmQualificationINSi::GetControle() const {
  const int Patient = Documents1->checkedId();
  if (Patient < 0) return 0;
  if (Patient < FirstMinorDocument) return PatientValues[size_t(Patient)];
  const int Guardian = Documents2->checkedId();
  return Guardian < 0 ? 0 : PatientValues[size_t(Patient)] + GuardianValues[size_t(Guardian)];
}

void TFrmQualificationINSi::Button1Click() {
  if (GetControle() != 0) return accept();
  QMessageBox::warning(this, windowTitle(),
                       ScreensTr::tr("Le Référentiel national d'identitovigilance de l'Agence du Numérique en Santé "
                                     "conditionne l'usage de l'identité numérique du patient à un contrôle "
                                     "d'identité\n\nVeuillez indiquez le document qui vous a permis d'effectuer ce "
                                     "contrôle"));
}

void TFrmQualificationINSi::RadioGroup1Click() {
  RadioGroup2->setVisible(Documents1->checkedId() >= FirstMinorDocument);
}

}  // namespace Carvelin
