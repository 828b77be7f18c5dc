#include "UFramePatients.h"

#include <QHBoxLayout>

#include "ScreensTr.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.QtText.h"

namespace Carvelin {

using namespace Talven;
using Vantrel::Q;

TFramePatients::TFramePatients(QWidget* AOwner, ISearchHost& Host)
    : TSearchFrame(AOwner, Host, new QWidget) {
  setObjectName(QStringLiteral("FramePatients"));
  pnSearch = FSearchPanel;
  pnSearch->setObjectName(QStringLiteral("pnSearch"));
  const auto Edit = [this](const char* Name, const QString& Hint) {
    auto* E = new QLineEdit(pnSearch);
    E->setObjectName(QLatin1String(Name));
    E->setToolTip(Hint);
    E->setPlaceholderText(Hint);
    E->setAccessibleName(Hint);
    return E;
  };
  edNom = Edit("edNom", ScreensTr::tr("Nom d'usage"));
  edPrenom = Edit("edPrenom", ScreensTr::tr("Prénom"));
  cbSexe = new QComboBox(pnSearch);
  cbSexe->setObjectName(QStringLiteral("cbSexe"));
  cbSexe->addItems({ScreensTr::tr("Tous"), ScreensTr::tr("Homme"), ScreensTr::tr("Femme"), ScreensTr::tr("Inconnu")});
  cbSexe->setCurrentIndex(0);
  cbNaissance = new QCheckBox(ScreensTr::tr("Né(e) le"), pnSearch);
  cbNaissance->setObjectName(QStringLiteral("cbNaissance"));
  dtNaissance = new TDateTimePicker(pnSearch);
  dtNaissance->setObjectName(QStringLiteral("dtNaissance"));
  dtNaissance->SetKind(TDateTimePicker::dtkDate);
  dtNaissance->SetParseInput(true);  // a birth date is typed
  dtNaissance->SetDateTime(Vantrel::DateOf(Vantrel::Now()));
  cbNomPartiel = new QCheckBox(ScreensTr::tr("Nom \"approchant\""), pnSearch);
  cbNomPartiel->setObjectName(QStringLiteral("cbNomPartiel"));
  btSearch = new QPushButton(ScreensTr::tr("Rechercher"), pnSearch);
  btSearch->setObjectName(QStringLiteral("btSearch"));
  auto* Row = new QHBoxLayout(pnSearch);
  for (QWidget* W : std::initializer_list<QWidget*>{edNom, edPrenom, cbSexe, cbNaissance, dtNaissance, cbNomPartiel,
                                                    btSearch})
    Row->addWidget(W);
  Row->addStretch(1);
  connect(btSearch, &QPushButton::clicked, this, [this] { btSearchClick(); });
  FFirstFocus = edNom;

  AddSection(ScreensTr::tr("Nom d'usage"), 200);
  AddSection(ScreensTr::tr("Nom de famille"), 200);
  AddSection(ScreensTr::tr("Prénom"), 150);
  AddSection(ScreensTr::tr("Né(e) le"), 120);
  ListBox->setAccessibleName(ScreensTr::tr("Patients trouvés"));
}

void TFramePatients::GetCriteres() {
  ListBox->SetCount(0);
  Nom = edNom->text().trimmed().toStdString();
  Prenom = edPrenom->text().trimmed().toStdString();
  Naissance = cbNaissance->isChecked() ? Vantrel::FormatDateTime("yyyymmdd", dtNaissance->DateTime()) : std::string();
  Sexe = static_cast<TSexe>(std::max(cbSexe->currentIndex(), 0));
  NomPartiel = cbNomPartiel->isChecked();
}

void TFramePatients::btSearchClick() {
  GetCriteres();
  FHost.SubmitSearch([this, CNX = FHost.SearchSession()] { return GetPatients(CNX.get()); },
                     [this](int Error) {
                       ShowResult(Error, List ? List->GetCount() : 0,
                                  ScreensTr::tr("Aucun dossier trouvé avec ces critères"));
                     });
}

int TFramePatients::GetPatients(IVaspoCNX* CNX) {
  List.reset();
  if (!CNX) return ERR_SESSION;
  return CNX->GetPatients({Nom, Prenom, Naissance, Sexe, NomPartiel}, List);
}

const TPatientInfo* TFramePatients::RowPatient(int Index) {
  const TPatientItem* Item = List ? List->GetItem(Index) : nullptr;
  return Item ? &Item->Patient : nullptr;
}

QStringList TFramePatients::RowTexts(int Index) {
  const TPatientInfo* Patient = RowPatient(Index);
  if (!Patient) return {};
  const TIdentite& Id = Patient->Identite;
  return {Q(Id.NomUsage), Q(Id.NomNaissance), Q(Id.Prenom), Q(Id.DateNaissance)};
}

int TFramePatients::RowDossier(int Index, std::shared_ptr<IDossierMedical>& DOS) {
  DOS.reset();
  return List ? List->GetDossier(Index, DOS) : ERR_INDEX;
}

}  // namespace Carvelin
