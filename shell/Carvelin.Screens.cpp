#include "Carvelin.Screens.h"

#include <type_traits>

#include "Carvelin.MessageDlg.h"
#include "DMP2Main.h"
#include "ShellTr.h"
#include "Talven.Carvelin.Hosts.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "Talven.eSante.CryptoLibV5.h"
#include "UAccesMineur.h"
#include "UAccesWeb.h"
#include "UAjoutDocument.h"
#include "UApropos.h"
#include "UBeneficiaires.h"
#include "UCertificats.h"
#include "UChoixPraticien.h"
#include "UDocumentViewer.h"
#include "UFermerDMP.h"
#include "UForcerDMP.h"
#include "UFrameDossiers.h"
#include "UFramePatients.h"
#include "UFrmQualificationINSi.h"
#include "UFrmNoteVaccination.h"
#include "UFrmSearchiNS.h"
#include "UListePraticiens.h"
#include "ULoadCertificat.h"
#include "UStatistiques.h"
#include "UStructures.h"
#include "UVoletAdministratif.h"

namespace Carvelin {

namespace {

[[maybe_unused]] QWidget* FirstWidget() { return nullptr; }
template <class T, class... Rest>
QWidget* FirstWidget(T&& First, Rest&&...) {
  if constexpr (std::is_convertible_v<T, QWidget*>)
    return First;
  else
    return nullptr;
}

void ShowUnavailable(QWidget* Parent) {
  MessageDlg(Parent, QMessageBox::Information, ShellTr::tr("Cet écran n'est pas encore disponible"));
}

template <class R, class... A>
void Unavailable(std::function<R(A...)>& Entry, R Cancelled) {
  Entry = [Cancelled](A... Args) -> R {
    ShowUnavailable(FirstWidget(Args...));
    return Cancelled;
  };
}

template <class... A>
void Unavailable(std::function<void(A...)>& Entry) {
  Entry = [](A... Args) { ShowUnavailable(FirstWidget(Args...)); };
}

// Starts a job of the window; false when none started.
bool SubmitJob(TDMPMain& Main, std::function<int()> Proc, std::function<void(int Error)> Done) {
  if (Busy()) return false;
  Main.SubmitSearch(std::move(Proc), std::move(Done));
  return Busy();  // not started while the window closes
}

// The vaccination form's view of the main window.
class TNoteVaccinationHost final : public INoteVaccinationHost {
 public:
  explicit TNoteVaccinationHost(TDMPMain& Main) : FMain(Main) {}
  bool Submit(std::function<int()> Proc, std::function<void(int Error)> Done) override {
    return SubmitJob(FMain, std::move(Proc), std::move(Done));
  }
  int AddNoteVaccination(const Talven::TProprietesDocument& Props, const Talven::TNoteVaccination& Note,
                         std::string& UniqueId) override {
    return FMain.DOS ? FMain.DOS->AddNoteVaccination(Props, Note, UniqueId) : Talven::ERR_SESSION;
  }
  void ShowError(int Error) override { FMain.ShowSearchError(Error); }
  void SaveDocument(const std::string& UniqueId, const Talven::TProprietesDocument& Props) override {
    FMain.SaveDocument(UniqueId, Props);
  }
  void ReloadDocuments() override { FMain.ReloadDocuments(); }

 private:
  TDMPMain& FMain;
};

// The administrative panel's view of the main window.
class TVoletAdministratifHost final : public IVoletAdministratifHost {
 public:
  TVoletAdministratifHost(TDMPMain& Main, std::shared_ptr<Talven::ICarvelin> DMP)
      : FMain(Main), FDMP(std::move(DMP)) {}
  bool HoldBusy() override { return FMain.HoldBusy(); }
  void ReleaseBusy() override { FMain.ReleaseBusy(); }
  bool Submit(std::function<int()> Proc, std::function<void(int Error)> Done) override {
    return SubmitJob(FMain, std::move(Proc), std::move(Done));
  }
  void ShowError(int Error) override { ShowDmpError(FDMP.get(), Error); }

 private:
  TDMPMain& FMain;
  std::shared_ptr<Talven::ICarvelin> FDMP;
};

}  // namespace

TScreens TScreens::Unavailable() {
  using Carvelin::Unavailable;
  TScreens S;
  Unavailable(S.GetCodePIN, false);
  Unavailable(S.StructuresSelect, -1);
  Unavailable(S.BeneficiairesSelect, -1);
  Unavailable(S.StatistiquesExecute);
  Unavailable(S.AProposExecute);
  Unavailable(S.FramePatientsCreate, static_cast<QWidget*>(nullptr));
  Unavailable(S.FrameDossiersCreate, static_cast<QWidget*>(nullptr));
  S.SearchFrameDone = [](QWidget*) {};
  Unavailable(S.AjoutDocumentExecute, false);
  Unavailable(S.Replace, false);
  Unavailable(S.ReplaceID, false);
  Unavailable(S.SendFile2, false);
  S.Process = [] { return Talven::ERR_NON_SUPPORTE; };
  S.NextDocument = [] { return false; };
  S.AjoutDocumentShown = [] { return false; };
  S.AjoutDocumentDeposer = [] {};
  S.AjoutDocumentClose = [] {};
  S.AjoutDocumentFiled = [](std::string&) -> const Talven::TProprietesDocument* { return nullptr; };
  Unavailable(S.DocumentsLocauxCreate, static_cast<QWidget*>(nullptr));
  S.DocumentsLocauxLoad = [](QWidget*, TVaspoDatabase&, int64_t, int64_t, const std::string&) {};
  S.DocumentsLocauxCategorie = [](QWidget*) { return -1; };
  S.DocumentsLocauxFavoris = [](QWidget*) { return std::string(); };
  Unavailable(S.NoteVaccinationExecute, false);
  Unavailable(S.NoteVaccinationReplace, false);
  Unavailable(S.VoletAdministratifExecute, false);
  Unavailable(S.ListePraticiensExecute);
  Unavailable(S.ForcerDMPExecute, false);
  Unavailable(S.AccesMineurExecute, false);
  Unavailable(S.FermerDMPExecute, false);
  Unavailable(S.AccesWebExecute);
  S.AccesWebSteps = [](QWidget*) { return std::function<int(int)>([](int) { return Talven::ERR_NON_SUPPORTE; }); };
  S.AccesWebTaskDialog = [](QWidget*) { return mrCancel; };
  S.AccesWebBuildPDF = [](QWidget*) { return false; };
  Unavailable(S.SearchINSExecute);
  Unavailable(S.QualificationINSiExecute, -1);
  Unavailable(S.QualificationINSiExecuteAPCV, 0);
  Unavailable(S.AppVitaleExecute, mrCancel);
  Unavailable(S.BeneficiairesAMOSelect, -1);
  Unavailable(S.CertificatsExecute, false);
  Unavailable(S.LoadCertificatExecute, false);
  Unavailable(S.ChoixPraticienExecute, false);
  Unavailable(S.DocumentShow);
  Unavailable(S.SyntheseExecute);
  Unavailable(S.Covid19Execute);
  return S;
}

TScreens TScreens::Program() {
  TScreens S = Unavailable();
  S.GetCodePIN = TFrmCodePIN::GetCodePIN;
  S.StructuresSelect = TFrmStructures::Select;
  S.BeneficiairesSelect = TFrmBeneficiaires::Select;
  S.DocumentShow = ShowDocumentViewer;
  S.FramePatientsCreate = [](QWidget* Owner, ISearchHost& Host) { return new TFramePatients(Owner, Host); };
  S.FrameDossiersCreate = [](QWidget* Owner, ISearchHost& Host) { return new TFrameDossiers(Owner, Host); };
  S.SearchFrameDone = [](QWidget* Frame) {
    if (auto* Search = qobject_cast<TSearchFrame*>(Frame)) Search->Done();
  };
  S.AjoutDocumentExecute = TAjoutDocument::Execute;
  S.Replace = TAjoutDocument::Replace;
  S.ReplaceID = TAjoutDocument::ReplaceID;
  S.SendFile2 = TAjoutDocument::SendFile2;
  // The entries below reach the form a class-level entry is showing.
  S.Process = [] {
    TAjoutDocument* Form = AjoutDocument.data();
    return Form ? Form->Process() : Talven::ERR_PARAMETRE;
  };
  S.NextDocument = [] { return AjoutDocument && AjoutDocument->NextDocument(); };
  S.AjoutDocumentShown = [] { return !AjoutDocument.isNull(); };
  S.AjoutDocumentDeposer = [] {
    if (AjoutDocument) AjoutDocument->Deposer();
  };
  S.AjoutDocumentClose = [] {
    if (AjoutDocument) AjoutDocument->accept();
  };
  S.AjoutDocumentFiled = [](std::string& UniqueID) -> const Talven::TProprietesDocument* {
    if (!AjoutDocument || AjoutDocument->FUniqueID.empty()) return nullptr;
    UniqueID = AjoutDocument->FUniqueID;
    return &AjoutDocument->Prop;
  };
  S.DocumentsLocauxCreate = [](QWidget* Owner, IDocumentsLocauxHost& Host) {
    auto* Frame = new TDocumentsLocaux(Owner, Host);
    Frame->FOnFavoris = [&Host](TDocumentsLocaux* Sender) { Host.OnFavoris(Sender); };
    return Frame;
  };
  S.DocumentsLocauxLoad = [](QWidget* Frame, TVaspoDatabase& Database, int64_t Praticien, int64_t Patient,
                             const std::string& Favoris) {
    if (auto* Locaux = qobject_cast<TDocumentsLocaux*>(Frame)) {
      Locaux->Load(Database, Praticien, Patient);
      Locaux->SetFavoris(Favoris);
    }
  };
  S.DocumentsLocauxCategorie = [](QWidget* Frame) {
    auto* Locaux = qobject_cast<TDocumentsLocaux*>(Frame);
    return Locaux ? Locaux->CurrentCategorie() : -1;
  };
  S.DocumentsLocauxFavoris = [](QWidget* Frame) {
    auto* Locaux = qobject_cast<TDocumentsLocaux*>(Frame);
    return Locaux ? Locaux->GetFavoris() : std::string();
  };
  S.SearchINSExecute = TFrmSearchINS::Execute;
  S.VoletAdministratifExecute = [](QWidget* Sender, std::shared_ptr<Talven::ICarvelin> DMP,
                                   std::shared_ptr<Talven::IDossierMedical> DOS, bool& ContactChanged) {
    ContactChanged = false;
    auto* Main = qobject_cast<TDMPMain*>(Sender);
    if (!Main) return false;
    TVoletAdministratifHost Host(*Main, std::move(DMP));
    return TVoletAdministratif::Execute(Sender, Host, std::move(DOS), ContactChanged);
  };
  S.ListePraticiensExecute = TListePraticiens::Execute;
  S.ForcerDMPExecute = [](QWidget* Sender, const Talven::TPatientInfo& Patient, std::string& Motif) {
    if (!TFrmForcerDMP::Execute(Sender, Patient)) return false;
    Motif = MotifBrisDeGlace;
    return true;
  };
  S.AccesMineurExecute = [](QWidget* Sender, Talven::IDossierMedical& Dossier) {
    return TFrmAccesMineur::Execute(Sender, Dossier,
                                    [&Dossier](int Error) { ShowDmpError(Dossier.Carvelin().get(), Error); });
  };
  S.FermerDMPExecute = TFermerDMP::Execute;
  S.AccesWebExecute = TAccesWeb::Execute;
  S.AccesWebSteps = [](QWidget* Form) {
    auto* Acces = qobject_cast<TAccesWeb*>(Form);
    return Acces ? Acces->Steps() : std::function<int(int)>([](int) { return Talven::ERR_PARAMETRE; });
  };
  S.AccesWebTaskDialog = [](QWidget* Form) {
    auto* Acces = qobject_cast<TAccesWeb*>(Form);
    const int Choice = Acces ? Acces->TaskDialog() : QDialog::Rejected;
    return Choice == QDialog::Rejected ? mrCancel : Choice;
  };
  S.AccesWebBuildPDF = [](QWidget* Form) {
    auto* Acces = qobject_cast<TAccesWeb*>(Form);
    return Acces && Acces->BuildPDF(Talven::HostsConfig().Maker);
  };
  S.QualificationINSiExecute = TFrmQualificationINSi::Execute;
  S.QualificationINSiExecuteAPCV = TFrmQualificationINSi::ExecuteAPCV;
  S.StatistiquesExecute = [](QWidget* Sender, TVaspoDatabase& DB) {
    TStatistiques Form(Sender, &DB);
    // A row opens its record while the window's INS box is offered.
    if (auto* Main = qobject_cast<TDMPMain*>(Sender); Main && Main->edINSC && Main->edINSC->isVisible())
      Form.OpenINS = [Main](const std::string& INS) {
        Main->edINSC->setText(QString::fromStdString(INS));
        Main->ibINSCClick();
      };
    Form.exec();
  };
  S.NoteVaccinationExecute = [](QWidget* Sender, int64_t PatientId) {
    auto* Main = qobject_cast<TDMPMain*>(Sender);
    if (!Main) return false;
    TNoteVaccinationHost Host(*Main);
    return TFrmNoteVaccination::Execute(Sender, Host, PatientId);
  };
  S.NoteVaccinationReplace = [](QWidget* Sender, const std::string& UniqueID, int64_t PatientId,
                                const TVaspoVaccin& Vaccin) {
    auto* Main = qobject_cast<TDMPMain*>(Sender);
    if (!Main) return false;
    TNoteVaccinationHost Host(*Main);
    return TFrmNoteVaccination::Replace(Sender, Host, UniqueID, PatientId, Vaccin);
  };
  S.AProposExecute = [](QWidget* Sender) {
    const auto* Main = qobject_cast<const TDMPMain*>(Sender);
    const std::string Module = Main && Main->INI ? Main->INI->ReadString("Services", "CryptoLib", "") : "";
    // The outside pages' addresses are not known here: their labels stay hidden.
    TFrmAPropos::Execute(Sender, {}, Module.empty() ? Talven::eSante::TCryptoLibV5::DefaultModule() : Module);
  };
  S.CertificatsExecute = [](QWidget* Sender, TVaspoDatabase& Database) {
    return TCertificats::Execute(Sender, [&Database](const std::string& Nom, std::string_view Auth,
                                                     std::string_view Sign) { Database.AddCertificats(Nom, Auth, Sign); });
  };
  S.LoadCertificatExecute = [](QWidget* Sender, Talven::ICarvelin& DMP, const TCertificat& Certificat,
                               std::shared_ptr<Talven::IVaspoCRT>& CRT) {
    return TLoadCertificat::Execute(Sender, DMP, Certificat, CRT, [&DMP](int Error, const std::string& Detail) {
      if (Detail.empty())
        ShowDmpError(&DMP, Error);
      else
        ShowDmpError(&DMP, Error, Detail);
    });
  };
  S.ChoixPraticienExecute = [](QWidget* Sender, Talven::IVaspoCRT& CRT, const Talven::TActivite& Act,
                               TVaspoPraticien& Praticien) {
    auto* Main = qobject_cast<TDMPMain*>(Sender);
    return Main && TChoixPraticien::Execute(Sender, Main->Database, CRT, Act, Praticien);
  };
  return S;
}

}  // namespace Carvelin
