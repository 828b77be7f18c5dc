#include "UFrmSearchiNS.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

#include "ScreensTr.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "Talven.Carvelin.Hosts.h"
#include "Talven.Carvelin.Utils.Network.h"
#include "Vantrel.ComboEdit.h"
#include "Vantrel.HTTPClient.h"
#include "Vantrel.ImageButtons.h"
#include "Vantrel.JSON.UTF8.h"
#include "Vantrel.QtText.h"
#include "Vantrel.SysUtils.h"
#include "Vantrel.URL.h"
#include "Vantrel.UTF8.Utils.h"

namespace Carvelin {

using namespace Talven;
using Vantrel::Q;

namespace {

constexpr int HeaderImage = 40;

}  // namespace

// ---- Birthplace ----

QString TCommune::Caption() const { return Q(cp) + QLatin1Char(' ') + Q(nom) + QStringLiteral(" (") + Q(code) + ')'; }

std::string CommuneURL(std::string_view Maker, std::string_view Name, std::string_view BirthDate) {
  std::string URL = std::string(Maker) + "/vitale/commune.php?nom=" + Vantrel::URL::Encode(Name);
  if (!BirthDate.empty()) URL += "&date=" + std::string(BirthDate);
  return URL;
}

std::vector<TCommune> ReadCommunes(std::string_view Body) {
  std::vector<TCommune> Communes;
  if (Body.find_first_not_of(" \t\r\n") == std::string_view::npos) return Communes;
  try {
    Vantrel::JSON::parseJSON(Body, Communes);
  } catch (const std::exception&) {
    Communes.clear();
  }
  return Communes;
}

std::vector<TCommune> FetchCommunes(std::string_view Maker, std::string_view Name, std::string_view BirthDate) {
  // The patient's name and birth date never travel in clear.
  if (!Vantrel::StartsText("https://", Maker)) return {};
  const std::string URL = CommuneURL(Maker, Name, BirthDate);
  try {
    Vantrel::THTTPClient Client;
    Client.SetTimeout(CommuneTimeoutMs);
    Client.SetMaxBodySize(MaxCommuneAnswer);
    Client.SetContentType("application/soap+xml; charset=utf-8");
    Client.SetUserAgent("Vantrel SOAP 1.2");
    Client.SetKeepAlive(true);
    SetSystemProxy(Client, URL);
    const std::string Body = Client.Get(URL);
    return Client.ResponseCode() == 200 ? ReadCommunes(Body) : std::vector<TCommune>();
  } catch (const std::exception&) {
    return {};
  }
}

std::string BirthplaceCode(std::string_view Typed) {
  if (const size_t Open = Typed.find('('); Open != std::string_view::npos) {
    Typed.remove_prefix(Open + 1);
    Typed = Typed.substr(0, Typed.find(')'));
  }
  return Vantrel::IsCodeInsee(Typed) ? std::string(Typed) : std::string();
}

// ---- Search thread ----

TINSiThread::TINSiThread(TFrmSearchINS& AForm)
    : Form(AForm), FThread(QThread::create([this] { Execute(); })) {}

TINSiThread::~TINSiThread() {
  // Owned and joined, never left running.
  Terminate();
}

void TINSiThread::Start() {
  QObject::connect(FThread.get(), &QThread::finished, &Form, [this] {
    if (!FTerminated) Form.Completion();
  }, Qt::QueuedConnection);
  FThread->start();
}

void TINSiThread::Terminate() {
  FTerminated = true;
  // The thread may be waiting on a call queued to this thread: it is served
  // here (and then does nothing) until the thread ends, which the core's
  // time-out bounds. A plain wait would never end.
  while (!FThread->wait(QDeadlineTimer(10))) QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TINSiThread::Execute() {
  try {
    Form.Search(*this);
  } catch (...) {
    Form.INSiErr = ERR_EXCEPTION;
    Form.INSiStatus = -1;
  }
}

// ---- Dialog ----

TFrmSearchINS::TFrmSearchINS(QWidget* Parent, ISearchINSHost& Host, std::shared_ptr<ICarvelin> ADMP,
                             std::shared_ptr<IVaspoCNX> ACNX)
    : QDialog(Parent), FHost(Host), DMP(std::move(ADMP)), CNX(std::move(ACNX)) {
  setObjectName(QStringLiteral("FrmSearchINS"));
  setWindowTitle(ScreensTr::tr("Recherche d'un patient sans INS"));

  ibHeader = new Vantrel::TImageButton(this);
  ibHeader->setObjectName(QStringLiteral("ibHeader"));
  ibHeader->SetImages(FHost.SearchImages());
  ibHeader->SetImageIndex(HeaderImage);
  ibHeader->setFocusPolicy(Qt::NoFocus);
  ibHeader->setFixedSize(40, 40);
  auto* Title = new QLabel(ScreensTr::tr("Rechercher l'INS d'un patient avec le service INSi"), this);
  QFont Bold = Title->font();
  Bold.setBold(true);
  Title->setFont(Bold);
  auto* Header = new QHBoxLayout;
  Header->addWidget(ibHeader);
  Header->addWidget(Title, 1);

  pnInput = new QWidget(this);
  pnInput->setObjectName(QStringLiteral("pnInput"));
  const auto Edit = [this](const char* Name, const QString& Hint) {
    auto* E = new QLineEdit(pnInput);
    E->setObjectName(QLatin1String(Name));
    E->setToolTip(Hint);
    E->setAccessibleName(Hint);
    return E;
  };
  edNom = Edit("edNom", ScreensTr::tr("Nom du patient"));
  edPrenom = Edit("edPrenom", ScreensTr::tr("Prénom du patient"));
  edDateNaissance = Edit("edDateNaissance", ScreensTr::tr("Date de naissance du patient"));
  cbSexe = new QComboBox(pnInput);
  cbSexe->setObjectName(QStringLiteral("cbSexe"));
  cbSexe->addItems({ScreensTr::tr("Masculin"), ScreensTr::tr("Féminin")});
  cbSexe->setCurrentIndex(0);
  edLieu = Edit("edLieu", ScreensTr::tr("Commune de naissance"));
  auto* Fields = new QFormLayout(pnInput);
  Fields->addRow(ScreensTr::tr("Nom de naissance"), edNom);
  Fields->addRow(ScreensTr::tr("Prénom"), edPrenom);
  Fields->addRow(ScreensTr::tr("Date de naissance"), edDateNaissance);
  Fields->addRow(ScreensTr::tr("Sexe"), cbSexe);
  Fields->addRow(ScreensTr::tr("Lieu de naissance"), edLieu);
  connect(edDateNaissance, &QLineEdit::editingFinished, this, [this] { edDateNaissanceExit(); });
  Combo = new Vantrel::TComboEdit(edLieu, [this](Vantrel::TComboEdit*) { ComboDropDown(); });
  Combo->setObjectName(QStringLiteral("Combo"));

  pbWait = new TPaintBox(this);
  pbWait->setObjectName(QStringLiteral("pbWait"));
  pbWait->setAccessibleName(ScreensTr::tr("Recherche en cours"));
  pbWait->setFixedSize(fontMetrics().height() * 3, fontMetrics().height());
  pbWait->hide();
  btSearch = new QPushButton(ScreensTr::tr("Rechercher"), this);
  btSearch->setObjectName(QStringLiteral("btSearch"));
  btSearch->setDefault(true);
  btCancel = new QPushButton(ScreensTr::tr("Annuler"), this);
  btCancel->setObjectName(QStringLiteral("btCancel"));
  connect(btSearch, &QPushButton::clicked, this, [this] { btSearchClick(); });
  connect(btCancel, &QPushButton::clicked, this, &QDialog::reject);
  auto* Buttons = new QHBoxLayout;
  Buttons->addWidget(pbWait);
  Buttons->addStretch();
  Buttons->addWidget(btSearch);
  Buttons->addWidget(btCancel);

  auto* Layout = new QVBoxLayout(this);
  Layout->addLayout(Header);
  Layout->addWidget(pnInput);
  Layout->addLayout(Buttons);
}

TFrmSearchINS::~TFrmSearchINS() {
  Thread.reset();
  if (FHolding) FHost.ReleaseBusy();
  SetBusyIndicator(pbWait, false);
}

void TFrmSearchINS::Execute(QWidget* Sender, ISearchINSHost& Host, std::shared_ptr<ICarvelin> DMP,
                            std::shared_ptr<IVaspoCNX> CNX) {
  TFrmSearchINS Form(Sender, Host, std::move(DMP), std::move(CNX));
  Form.exec();
}

bool TFrmSearchINS::ReadFields() {
  const auto Refuse = [this](QLineEdit* Edit, const QString& Text) {
    FHost.ShowSearchInfo(Text);
    Edit->setFocus();
    return false;
  };
  Nom = edNom->text().trimmed().toStdString();
  if (Nom.empty()) return Refuse(edNom, ScreensTr::tr("Veuillez renseigner le nom du patient"));
  Prenom = edPrenom->text().trimmed().toStdString();
  if (Prenom.empty()) return Refuse(edPrenom, ScreensTr::tr("Veuillez renseigner le prénom du patient"));
  if (!Vantrel::ParseDateLoose(edDateNaissance->text().toStdString(), DNais))
    return Refuse(edDateNaissance, ScreensTr::tr("Date de naissance invalide"));
  Sexe = cbSexe->currentIndex() == 0 ? 'M' : 'F';
  Lieu = BirthplaceCode(edLieu->text().toStdString());
  return true;
}

void TFrmSearchINS::btSearchClick() {
  if (Searching() || !ReadFields()) return;
  // The search uses the client core outside the job runner: never beside a job or a host request.
  if (!FHost.HoldBusy()) return;
  FHolding = true;
  pbWait->show();
  SetBusyIndicator(pbWait, true);
  pnInput->setEnabled(false);
  Thread = std::make_unique<TINSiThread>(*this);
  Thread->Start();
}

void TFrmSearchINS::edDateNaissanceExit() {
  Vantrel::TDateTime Date = 0;
  if (Vantrel::ParseDateLoose(edDateNaissance->text().toStdString(), Date))
    edDateNaissance->setText(Q(Vantrel::FormatDateTime("dd/mm/yyyy", Date)));
}

void TFrmSearchINS::ComboDropDown() {
  Combo->clear();
  Vantrel::TDateTime Date = 0;
  const std::string BirthDate = Vantrel::ParseDateLoose(edDateNaissance->text().toStdString(), Date)
                                    ? Vantrel::FormatDateTime("yyyymmdd", Date)
                                    : std::string();
  const QString Name = edLieu->text().section(QLatin1Char('('), 0, 0).trimmed();
  FCommunes = FetchCommunes(HostsConfig().Maker, Name.toStdString(), BirthDate);
  for (const TCommune& Commune : FCommunes) Combo->addItem(Commune.Caption());
}

void TFrmSearchINS::Search(const TINSiThread& Self) {
  INSiStatus = -1;
  const TINSiTraits Traits{Nom, Prenom, Sexe, Vantrel::FormatDateTime("yyyy-mm-dd", DNais), Lieu};
  Patient = nullptr;
  INSiErr = CNX ? CNX->rechercherInsAvecTraitsIdentite(Traits, Patient) : ERR_SESSION;
  if (INSiErr == ERR_OK && !Patient) INSiErr = ERR_INS_PATIENT;
  if (INSiErr != ERR_OK) return;
  // The identity check's dialog and the local database belong to the
  // user-interface thread; once the form is going, it is skipped.
  int Status = 0;
  if (!Self.Terminated())
    QMetaObject::invokeMethod(
        this,
        [this, &Self, &Status] {
          if (Self.Terminated()) return;
          try {
            Status = FHost.ControlINSi(*Patient);
          } catch (...) {
            INSiErr = ERR_EXCEPTION;
            Status = -1;
          }
        },
        Qt::BlockingQueuedConnection);
  INSiStatus = Status;
  if (INSiStatus == 0 || INSiErr != ERR_OK) return;
  DOS.reset();
  DOSErr = CNX->DossierExiste(Patient->INS, INSTypeLetter(Patient->OID), DOS);
  if (DOSErr == ERR_OK)
    Msg = ScreensTr::tr("Voulez-vous accéder au DMP de %1 %2? ").arg(Q(Patient->Nom), Q(Patient->Prenoms));
}

void TFrmSearchINS::Completion() {
  Thread.reset();  // ended: only joined
  SetBusyIndicator(pbWait, false);
  pbWait->hide();
  pnInput->setEnabled(true);
  // Given back first: the record's documents are read by a job of the window.
  FHolding = false;
  FHost.ReleaseBusy();
  try {
    if (INSiStatus == 0) return;  // the identity was not confirmed
    if (INSiErr != ERR_OK) {
      FHost.ShowSearchError(INSiErr);
      if (INSiErr == ERR_CHANGEMENT_CARTE) {
        FHost.ibCloseCPXClick();
        reject();
      }
      return;
    }
    if (DOSErr != ERR_OK) return FHost.ShowSearchError(DOSErr);
    if (!FHost.AskSearchQuestion(Msg)) return;
    FHost.LoadDossier(DOS, Patient);
    accept();
  } catch (const std::exception&) {
    FHost.ShowSearchError(ERR_EXCEPTION);
  }
}

}  // namespace Carvelin
