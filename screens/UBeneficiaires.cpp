#include "UBeneficiaires.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QHeaderView>
#include <QMessageBox>
#include <QMouseEvent>

#include <filesystem>
#include <system_error>

#include "ScreensTr.h"
#include "Vantrel.SysUtils.h"

namespace Carvelin {

namespace fs = std::filesystem;

std::string VitaleXMLFile() {
  const fs::path Exe(QCoreApplication::applicationFilePath().toStdString());
  if (access(Exe.parent_path().c_str(), W_OK) == 0) return (Exe.parent_path() / VitaleFileName).string();
  const char* Data = std::getenv("XDG_DATA_HOME");
  const char* Home = std::getenv("HOME");
  const fs::path Folder = (Data && *Data == '/' ? fs::path(Data) : fs::path(Home ? Home : "") / ".local/share") /
                          "Carvelin2";
  std::error_code Ignored;
  fs::create_directories(Folder, Ignored);
  return (Folder / VitaleFileName).string();
}

std::string SaveVitaleXML(Talven::IVaspoCSV& CSV) {
  std::string_view XML;
  const int Size = CSV.GetXML(XML);
  const std::string File = VitaleXMLFile();
  if (!Vantrel::StringToFile(File, XML.substr(0, size_t(std::max(Size, 0)))))
    throw std::system_error(errno ? errno : EIO, std::generic_category(), File);
  return File;
}

QString VitaleSavedMessage() { return ScreensTr::tr("Carte vitale enregistrée dans le fichier Vitale.xml"); }

TFrmBeneficiaires::TFrmBeneficiaires(QWidget* Parent, Talven::IVaspoCSV& CSV)
    : TFrmListChoice(Parent, ScreensTr::tr("Carvelin - Choix du bénéficiaire"),
                     ScreensTr::tr("Veuillez sélectionner le bénéficaire"),
                     {{ScreensTr::tr("Nom"), 150},
                      {ScreensTr::tr("Prénom"), 150},
                      {ScreensTr::tr("Date Naissance"), 100},
                      {ScreensTr::tr("NIR"), 150}}),
      FCSV(CSV) {
  List->setObjectName(QStringLiteral("lbBeneficiaires"));
  List->setAccessibleName(ScreensTr::tr("Bénéficiaires de la carte"));
  Headers->setStretchLastSection(true);
  List->viewport()->installEventFilter(this);
}

int TFrmBeneficiaires::Select(QWidget* Sender, Talven::IVaspoCSV& CSV) {
  TFrmBeneficiaires Form(Sender, CSV);
  return Form.Choose(CSV.GetBeneficiaires(), CSV.SelectedBeneficiaire());
}

QStringList TFrmBeneficiaires::Cells(int Row) const {
  const Talven::TBeneficiaire* B = FCSV.GetBeneficiaire(Row);
  if (!B) return {};
  return {QString::fromStdString(B->NomUsage), QString::fromStdString(B->Prenom),
          QString::fromStdString(B->DateNaissance),
          QString::fromStdString(B->NirCertifie.empty() ? B->Nir : B->NirCertifie)};
}

void TFrmBeneficiaires::mousePressEvent(QMouseEvent* Event) {
  if (Event->button() == Qt::LeftButton && (Event->modifiers() & Qt::ShiftModifier)) {
    try {
      SaveVitaleXML(FCSV);
      QMessageBox::information(this, QStringLiteral("Carvelin"), VitaleSavedMessage());
    } catch (const std::exception& E) {
      QMessageBox::critical(this, QStringLiteral("Carvelin"), QString::fromLocal8Bit(E.what()));
    }
  }
  TFrmListChoice::mousePressEvent(Event);
}

bool TFrmBeneficiaires::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == List->viewport() && Event->type() == QEvent::MouseButtonDblClick) accept();
  return TFrmListChoice::eventFilter(Watched, Event);
}

}  // namespace Carvelin
