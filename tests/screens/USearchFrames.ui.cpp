// The patient and record search frames over the fake core's session, with
// a recording host in place of the main window.
#include <QtTest>

#include "FakeCarvelin.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "UFrameDossiers.h"
#include "UFramePatients.h"

using namespace Carvelin;
using namespace Talven;
using TestSupport::TFakeCarvelin;

namespace {
// Runs jobs at once on the calling thread, unless Busy.
struct THost : ISearchHost {
  std::shared_ptr<IVaspoCNX> CNX;
  bool Busy = false;
  std::vector<int> Errors;
  QStringList Infos;
  int V1 = 0, Opened = 0;
  std::shared_ptr<IDossierMedical> DOS;
  void SubmitSearch(std::function<int()> Proc, std::function<void(int)> Done) override {
    if (!Busy) Done(Proc());
  }
  void ShowSearchError(int Error) override { Errors.push_back(Error); }
  void ShowSearchInfo(const QString& Text) override { Infos << Text; }
  std::shared_ptr<IVaspoCNX> SearchSession() override { return CNX; }
  void SearchDossierV1(const TPatientInfo&) override { ++V1; }
  void OpenSearchedDossier(std::function<int(std::shared_ptr<IDossierMedical>&)> Get,
                           std::function<void()> Done) override {
    if (Busy) return;
    if (Get(DOS) == ERR_OK) {
      Done();
      ++Opened;
    }
  }
};
}  // namespace

class TSearchFramesTest : public QObject {
  Q_OBJECT
  std::shared_ptr<TFakeCarvelin> Fake;
  THost Host;

 private slots:
  void init() {
    Fake = std::make_shared<TFakeCarvelin>();
    Host = {};
    std::shared_ptr<IVaspoCPS> CPS;
    QCOMPARE(Fake->GetCPS(0, CPS), ERR_OK);
    Host.CNX = CPS;
  }

  void patient_criteria_follow_the_controls() {
    TFramePatients F(nullptr, Host);
    QCOMPARE(F.cbSexe->currentText(), QStringLiteral("Tous"));
    F.edNom->setText(QStringLiteral("  D'Arcy-Élodie "));
    F.edPrenom->setText(QStringLiteral(" Zoé"));
    F.GetCriteres();
    QCOMPARE(F.Nom, std::string("D'Arcy-Élodie"));
    QCOMPARE(F.Prenom, std::string("Zoé"));
    QCOMPARE(F.Naissance, std::string());  // "Né(e) le" unticked
    QCOMPARE(F.Sexe, TSexe::Tous);
    F.cbNaissance->setChecked(true);
    F.dtNaissance->SetDateTime(36585);  // 29/02/2000
    F.cbSexe->setCurrentIndex(2);
    F.cbNomPartiel->setChecked(true);
    F.GetCriteres();
    QCOMPARE(F.Naissance, std::string("20000229"));
    QCOMPARE(F.Sexe, TSexe::Femme);
    QVERIFY(F.NomPartiel);
  }

  void searches_show_rows_errors_and_drop_while_busy() {
    TFramePatients F(nullptr, Host);
    F.btSearchClick();
    QCOMPARE(F.ListBox->Count(), 1);
    QVERIFY(Host.Infos.isEmpty());
    Fake->Script("GetPatients", {.Code = ERR_CONNEXION});
    F.btSearchClick();
    QCOMPARE(Host.Errors, std::vector<int>{ERR_CONNEXION});
    QCOMPARE(F.ListBox->Count(), 0);
    Host.Busy = true;
    Fake->Core->ClearCalls();
    F.btSearchClick();
    QVERIFY(Fake->Calls().empty());
  }

  void record_rows_and_date() {
    TFrameDossiers F(nullptr, Host);
    QCOMPARE(F.Headers->SectionCount(), 9);
    F.btSearchClick();
    QCOMPARE(F.ListBox->Count(), 1);
    QCOMPARE(F.DateUTC.size(), size_t(14));
    Fake->Core->Data.Dossier.Patient.INSi.Code.clear();
    TFrameDossiers G(nullptr, Host);
    G.btSearchClick();
    G.ListBox->SetItemIndex(0);
    G.ListBoxDblClick();
    QCOMPARE(Host.V1, 1);  // first generation: no lookup
    QCOMPARE(Host.Opened, 0);
  }

  void a_row_opens_its_record_and_done_resets() {
    TFramePatients F(nullptr, Host);
    F.show();
    F.btSearchClick();
    F.ListBoxDblClick();  // no row chosen
    QCOMPARE(Host.Opened, 0);
    F.ListBox->SetItemIndex(0);
    Host.Busy = true;
    F.ListBoxDblClick();
    QCOMPARE(Host.Opened, 0);
    Host.Busy = false;
    F.ListBoxDblClick();
    QCOMPARE(Host.Opened, 1);
    QVERIFY(Host.DOS);
    QVERIFY(F.isHidden());
    F.Done();
    QCOMPARE(F.ListBox->Count(), 0);
    QVERIFY(!F.List);
  }
};

QTEST_MAIN(TSearchFramesTest)
#include "USearchFrames.ui.moc"
