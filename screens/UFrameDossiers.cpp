#include "UFrameDossiers.h"

#include <QHBoxLayout>

#include "ScreensTr.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "Vantrel.DateTime.h"
#include "Vantrel.QtText.h"

namespace Carvelin {

using namespace Talven;
using Vantrel::Q;

TFrameDossiers::TFrameDossiers(QWidget* AOwner, ISearchHost& Host)
    : TSearchFrame(AOwner, Host, new QWidget) {
  setObjectName(QStringLiteral("FrameDossiers"));
  pnSearch = FSearchPanel;
  pnSearch->setObjectName(QStringLiteral("pnSearch"));
  cbDateMode = new QComboBox(pnSearch);
  cbDateMode->setObjectName(QStringLiteral("cbDateMode"));
  cbDateMode->addItems({ScreensTr::tr("Date d'autorisation"), ScreensTr::tr("Dernier document ajouté")});
  cbDateMode->setCurrentIndex(0);
  Label1 = new QLabel(ScreensTr::tr("à partir du"), pnSearch);
  dtDate = new TDateTimePicker(pnSearch);
  dtDate->setObjectName(QStringLiteral("dtDate"));
  dtDate->SetKind(TDateTimePicker::dtkDate);
  dtDate->SetParseInput(true);  // typed, rather than a click per month back in the calendar
  dtDate->SetDateTime(Vantrel::IncMonth(Vantrel::DateOf(Vantrel::Now()), -3));
  Label1->setBuddy(dtDate);
  btSearch = new QPushButton(ScreensTr::tr("Rechercher les dossiers"), pnSearch);
  btSearch->setObjectName(QStringLiteral("btSearch"));
  auto* Row = new QHBoxLayout(pnSearch);
  for (QWidget* W : std::initializer_list<QWidget*>{cbDateMode, Label1, dtDate, btSearch}) Row->addWidget(W);
  Row->addStretch(1);
  connect(btSearch, &QPushButton::clicked, this, [this] { btSearchClick(); });
  FFirstFocus = dtDate;

  AddSection(ScreensTr::tr("Nom d'usage"), 150);
  AddSection(ScreensTr::tr("Nom de famille"), 150);
  AddSection(ScreensTr::tr("Prénom"), 100);
  AddSection(ScreensTr::tr("Né(e) le"), 80);
  AddSection(ScreensTr::tr("INS"), 150);
  AddSection(ScreensTr::tr("MT"), 50);
  AddSection(ScreensTr::tr("Modifié"), 115);
  AddSection(ScreensTr::tr("Accès"), 115);
  AddSection(ScreensTr::tr("Document"), 100);
  ListBox->setAccessibleName(ScreensTr::tr("Dossiers trouvés"));
}

void TFrameDossiers::btSearchClick() {
  ListBox->SetCount(0);
  DateUTC = Vantrel::FormatDateTime("yyyymmddhhnnss", Vantrel::LocalToUTC(Vantrel::DateOf(dtDate->DateTime())));
  Mode = static_cast<TDateMode>(std::max(cbDateMode->currentIndex(), 0));
  FHost.SubmitSearch([this, CNX = FHost.SearchSession()] { return GetDossiers(CNX.get()); },
                     [this](int Error) {
                       ShowResult(Error, List ? List->GetCount() : 0,
                                  ScreensTr::tr("Aucun dossier trouvé pour cette date"));
                     });
}

int TFrameDossiers::GetDossiers(IVaspoCNX* CNX) {
  List.reset();
  if (!CNX) return ERR_SESSION;
  return CNX->GetDossiers(DateUTC, Mode, List);
}

const TPatientInfo* TFrameDossiers::RowPatient(int Index) {
  const TDossierItem* Item = List ? List->GetItem(Index) : nullptr;
  return Item ? &Item->Patient : nullptr;
}

QStringList TFrameDossiers::RowTexts(int Index) {
  const TDossierItem* Item = List ? List->GetItem(Index) : nullptr;
  if (!Item) return {};
  const TIdentite& Id = Item->Patient.Identite;
  const std::string& INS = Item->Patient.INSi.Code;
  return {Q(Id.NomUsage),
          Q(Id.NomNaissance),
          Q(Id.Prenom),
          Q(Id.DateNaissance),
          INS.empty() ? ScreensTr::tr("(NIR indisponible)") : Q(INS),
          Item->StatutMT ? ScreensTr::tr("Oui") : ScreensTr::tr("Non"),
          Q(Item->DateModification),
          Q(Item->DateDernierAcces),
          Q(Item->DateDernierDocument)};
}

int TFrameDossiers::RowDossier(int Index, std::shared_ptr<IDossierMedical>& DOS) {
  DOS.reset();
  return List ? List->GetDossier(Index, DOS) : ERR_INDEX;
}

}  // namespace Carvelin
