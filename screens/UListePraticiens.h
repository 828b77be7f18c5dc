// The practitioners who have access to the open record, one row each.
#pragma once

#include <QDialog>
#include <QStringList>

#include <span>

#include "Talven.Carvelin.Types.h"
#include "VCLPatches.h"

class QPushButton;

namespace Carvelin {

class TListePraticiens : public QDialog {
  Q_OBJECT
 public:
  TListePraticiens(QWidget* Parent, std::span<const Talven::TPraticien> Praticiens);

  // Shows the practitioners modally.
  static void Execute(QWidget* Sender, std::span<const Talven::TPraticien> Praticiens);

  // The texts of a row, in the order of the header's sections.
  static QStringList RowTexts(const Talven::TPraticien& Praticien);

  THeaderControl* Headers;
  TVirtualListBox* ListBox;
  QPushButton* btFermer;

 private:
  std::span<const Talven::TPraticien> FPraticiens;
};

}  // namespace Carvelin
