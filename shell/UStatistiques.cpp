#include "UStatistiques.h"

#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSaveFile>
#include <QStringListModel>

#include <algorithm>
#include <cmath>
#include <functional>
#include <thread>

#include "Carvelin.MessageDlg.h"
#include "ShellTr.h"
#include "Talven.Carvelin.Utils.Network.h"
#include "UFrmCheckVersion.h"
#include "VCLPatches.h"
#include "Vantrel.UTF8.Utils.h"

namespace Carvelin {

using Vantrel::TDateTime;

namespace {

constexpr std::string_view Total = "TOTAL";
constexpr std::string_view CRLF = "\r\n";

std::string ShortDate(TDateTime D) { return Vantrel::FormatDateTime("dd/mm/yyyy", D); }

size_t Chars(std::string_view S) { return Vantrel::UTF8ToUTF16(S).size(); }

// Text, then blanks up to Width + 1 characters.
std::string Column(std::string_view Text, size_t Width) {
  return std::string(Text) + std::string(Width + 1 - std::min(Width, Chars(Text)), ' ');
}

TDateTime Day(int Y, int M, int D) {
  TDateTime R = 0;
  Vantrel::TryEncodeDate(Y, M, D, R);
  return R;
}

template <class TList>
size_t PraticienWidth(const TList& Rows) {
  size_t W = 9;
  for (const auto& R : Rows) W = std::max(W, Chars(R->Praticien));
  return W;
}

std::string Title(std::string_view What, TDateTime Start, TDateTime End) {
  return std::string(What) + " DMP créés entre le " + ShortDate(Start) + " et le " + ShortDate(End) +
         std::string(CRLF) + std::string(CRLF);
}

}  // namespace

// ---- Messages to the maker ----

std::string LocalHostName() {
  char Name[256] = {};
  if (gethostname(Name, sizeof Name - 1) != 0 || !*Name) return "localhost";
  return Name;
}

Vantrel::TFormFields StatisticsFields(const TVaspoPraticien& Praticien, const TVaspoStats& Stats,
                                      std::string_view Host) {
  return {{"LPS_OID", Praticien.LPS_OID},
          {"UID", Praticien.UID},
          {"VER", GetProductVersion()},
          {"BLD", GetBuildString()},
          {"HOST", std::string(Host)},
          {"FIRST", Vantrel::FormatDateTime("yyyymmddhhnn", Stats.First)},
          {"LAST", Vantrel::FormatDateTime("yyyymmddhhnn", Stats.Last)},
          {"COUNT", std::to_string(Stats.Count)}};
}

namespace {

// Runs Work on a thread nobody waits for; the future tells when it ended.
std::future<void> RunDetached(std::function<void()> Work) {
  std::promise<void> Ended;
  std::future<void> Done = Ended.get_future();
  std::thread([Work = std::move(Work), Ended = std::move(Ended)]() mutable {
    Work();
    Ended.set_value();
  }).detach();
  return Done;
}

}  // namespace

std::future<void> PostStatistics(const std::string& Maker, Vantrel::TFormFields Fields, int TimeoutMs) {
  if (Maker.empty()) return {};
  return RunDetached([URL = Maker + "/carvelin_stats.php", Fields = std::move(Fields), TimeoutMs] {
    try {
      Vantrel::THTTPClient Client;
      Client.SetTimeout(TimeoutMs);
      Client.SetKeepAlive(false);
      Client.SetMaxBodySize(64 * 1024);
      Talven::SetSystemProxy(Client, URL);
      Client.Post(URL, Fields);
    } catch (...) {
      // The maker's statistics change nothing for the user.
    }
  });
}

TSendPraticiens::TSendPraticiens(std::string Praticiens, const std::string& Maker, int TimeoutMs) {
  if (Maker.empty()) return;
  Done = RunDetached([URL = Maker + "/dmp_prats.php", Praticiens = std::move(Praticiens), TimeoutMs] {
    try {
      Talven::TProxyParams Proxy;
      Talven::SetSystemProxy(Proxy, URL);
      std::string Response;
      Vantrel::PostAndLog(URL, Praticiens, "application/json", Response, Vantrel::BasicAuthorization(User, Password),
                          TimeoutMs, Proxy.ProxyServer, Proxy.ProxyPort);
    } catch (...) {
      // No retry: the next start sends the list again.
    }
  });
}

// ---- Periods and text ----

bool StatPeriod(TStatMode Mode, TDateTime Today, TDateTime& Start, TDateTime& End) {
  const TDateTime T = Vantrel::DateOf(Today);
  const Vantrel::TDateParts P = Vantrel::DecodeDateTime(T);
  // Days since Monday: 1899-12-30 was a Saturday.
  const auto WeekStart = [](TDateTime D) { return D - std::fmod(std::fmod(D + 5, 7) + 7, 7); };
  const auto Month = [](int Y, int M, TDateTime& S, TDateTime& E) {
    S = Day(Y, M, 1);
    E = Day(Y, M, Vantrel::DaysInMonth(Y, M));
  };
  switch (Mode) {
    case smDateADate: return false;
    case smAujourdhui: Start = End = T; break;
    case smCetteSemaine: Start = WeekStart(T); End = Start + 6; break;
    case smSemaineDerniere: Start = WeekStart(T - 7); End = Start + 6; break;
    case smCeMois: Month(P.Year, P.Month, Start, End); break;
    case smMoisDernier: Month(P.Month == 1 ? P.Year - 1 : P.Year, P.Month == 1 ? 12 : P.Month - 1, Start, End); break;
    case smCetteAnnee: Start = Day(P.Year, 1, 1); End = Day(P.Year, 12, 31); break;
    case smAnneeDerniere: Start = Day(P.Year - 1, 1, 1); End = Day(P.Year - 1, 12, 31); break;
  }
  return true;
}

void AddTotal(TStatList& Stats) {
  if (Stats.size() < 2) return;
  auto Row = std::make_unique<TStatistique>();
  Row->Praticien = Total;
  for (const auto& S : Stats) Row->Count += S->Count;
  Stats.push_back(std::move(Row));
}

std::string StatisticsText(TDateTime Start, TDateTime End, const TStatList& Counts) {
  const size_t PW = PraticienWidth(Counts);
  int32_t Max = 0;
  for (const auto& R : Counts) Max = std::max(Max, R->Count);
  const size_t CW = std::max<size_t>(3, std::to_string(Max).size());
  std::string Text = Title("Nombre de", Start, End) + Column("Praticien", PW) + Column("DMP", CW) + std::string(CRLF);
  for (const auto& R : Counts) Text += Column(R->Praticien, PW) + Column(std::to_string(R->Count), CW) + std::string(CRLF);
  return Text;
}

std::string StatisticsText(TDateTime Start, TDateTime End, const TStatList2& Rows) {
  const size_t PW = PraticienWidth(Rows);
  size_t PaW = 7;
  for (const auto& R : Rows) PaW = std::max(PaW, Chars(R->Patient));
  const auto Line = [&](std::string_view A, std::string_view B, std::string_view C, std::string_view D) {
    return Column(A, PW) + Column(B, PaW) + Column(C, 10) + Column(D, 22) + std::string(CRLF);
  };
  std::string Text = Title("Liste des", Start, End) + Line("Praticien", "Patient", "Date", "INS-NIR");
  for (const auto& R : Rows) Text += Line(R->Praticien, R->Patient, ShortDate(R->DateDMP), R->INSNIR);
  return Text;
}

// ---- The window ----

void TStatistiques::Execute(QWidget* Sender, TVaspoDatabase* DB) {
  TStatistiques Form(Sender, DB);
  Form.exec();
}

TStatistiques::TStatistiques(QWidget* Owner, TVaspoDatabase* DB, TDateTime Today)
    : QDialog(Owner), FDb(DB), FToday(Today) {
  setObjectName(QStringLiteral("Statistiques"));
  setWindowTitle(ShellTr::tr("Statistiques"));
  auto* Grid = new QGridLayout(this);
  auto* LDebut = new QLabel(ShellTr::tr("Date début"), this);
  auto* LFin = new QLabel(ShellTr::tr("Date fin"), this);
  dtDebut = new TDateTimePicker(this);
  dtDebut->setObjectName(QStringLiteral("dtDebut"));
  dtDebut->setAccessibleName(ShellTr::tr("Date début"));
  dtFin = new TDateTimePicker(this);
  dtFin->setObjectName(QStringLiteral("dtFin"));
  dtFin->setAccessibleName(ShellTr::tr("Date fin"));
  cbMode = new QComboBox(this);
  cbMode->setObjectName(QStringLiteral("cbMode"));
  cbMode->setAccessibleName(ShellTr::tr("Période"));
  cbMode->addItems({ShellTr::tr("De date à date"), ShellTr::tr("Aujourd'hui"), ShellTr::tr("Cette semaine"),
                    ShellTr::tr("La semaine dernière"), ShellTr::tr("Ce mois"), ShellTr::tr("Le mois dernier"),
                    ShellTr::tr("Cette année"), ShellTr::tr("L'année dernière")});
  cbMode->setCurrentIndex(smAujourdhui);
  cbDetail = new QCheckBox(ShellTr::tr("Liste détaillée"), this);
  cbDetail->setObjectName(QStringLiteral("cbDetail"));
  btExport = new QPushButton(ShellTr::tr("Exporter..."), this);
  btExport->setObjectName(QStringLiteral("btExport"));
  btCopy = new QPushButton(ShellTr::tr("Copier"), this);
  btCopy->setObjectName(QStringLiteral("btCopy"));
  Headers1 = new THeaderControl(this);
  Headers1->setObjectName(QStringLiteral("Headers1"));
  Headers1->AddSection(ShellTr::tr("Praticien"), 300);
  Headers1->AddSection(ShellTr::tr("DMP créés"), 100);
  Headers2 = new THeaderControl(this);
  Headers2->setObjectName(QStringLiteral("Headers2"));
  Headers2->AddSection(ShellTr::tr("Praticien"), 200);
  Headers2->AddSection(ShellTr::tr("Patient"), 200);
  Headers2->AddSection(ShellTr::tr("Date"), 90);
  Headers2->AddSection(ShellTr::tr("INS-NIR"), 160);
  ListBox = new TListBox(this);
  ListBox->setObjectName(QStringLiteral("ListBox"));
  ListBox->setAccessibleName(ShellTr::tr("Statistiques"));
  ListBox->SetStyle(lbOwnerDrawFixed);
  ListBox->OnDrawItem = [this](TListBox*, QPainter& P, int Index, QRect Rect, bool Selected) {
    DrawRow(P, Index, Rect, Selected);
  };
  LDebut->setBuddy(dtDebut->Edit());
  LFin->setBuddy(dtFin->Edit());
  Grid->addWidget(LDebut, 0, 0);
  Grid->addWidget(dtDebut, 0, 1);
  Grid->addWidget(LFin, 0, 2);
  Grid->addWidget(dtFin, 0, 3);
  Grid->addWidget(cbMode, 0, 4);
  Grid->addWidget(cbDetail, 0, 5);
  Grid->addWidget(btExport, 0, 6);
  Grid->addWidget(btCopy, 0, 7);
  Grid->addWidget(Headers1, 1, 0, 1, 8);
  Grid->addWidget(Headers2, 2, 0, 1, 8);
  Grid->addWidget(ListBox, 3, 0, 1, 8);
  connect(cbMode, &QComboBox::currentIndexChanged, this, [this] { cbModeChange(); });
  connect(dtDebut, &TDateTimePicker::OnChange, this, [this] { DateChange(); });
  connect(dtFin, &TDateTimePicker::OnChange, this, [this] { DateChange(); });
  connect(cbDetail, &QCheckBox::clicked, this, [this] { LoadStats(); });
  connect(btCopy, &QPushButton::clicked, this, [this] { btCopyClick(); });
  connect(btExport, &QPushButton::clicked, this, [this] { btExportClick(); });
  connect(ListBox, &QListView::doubleClicked, this, [this](const QModelIndex& I) { ListBoxDblClick(I.row()); });
  cbModeChange();
}

void TStatistiques::ListBoxDblClick(int Index) {
  if (!cbDetail->isChecked() || Index < 0 || size_t(Index) >= FStats2.size()) return;
  if (!OpenINS) {
    MessageDlg(this, QMessageBox::Information, ShellTr::tr("Vous devez vous authentifier avant d'ouvrir un DMP"));
    return;
  }
  const std::string INS = FStats2[size_t(Index)]->INSNIR;
  if (INS.empty()) {
    MessageDlg(this, QMessageBox::Information,
               ShellTr::tr("Ce dossier a été créé avec le DMP V1 et n'est pas accessible sans carte Vitale"));
    return;
  }
  OpenINS(INS);
  accept();
}

void TStatistiques::cbModeChange() {
  FChanging = true;
  TDateTime Start = 0, End = 0;
  if (StatPeriod(TStatMode(cbMode->currentIndex()), FToday, Start, End)) {
    dtDebut->SetDateTime(Start);
    dtFin->SetDateTime(End);
  }
  FChanging = false;
  LoadStats();
}

void TStatistiques::DateChange() {
  if (FChanging) return;
  const QSignalBlocker Block(cbMode);
  cbMode->setCurrentIndex(smDateADate);
  LoadStats();
}

void TStatistiques::LoadStats() {
  FStats.clear();
  FStats2.clear();
  const bool Detail = cbDetail->isChecked();
  Headers2->setVisible(Detail);
  Headers1->setVisible(!Detail);
  const Vantrel::TDate Start(Vantrel::DateOf(dtDebut->DateTime())), End(Vantrel::DateOf(dtFin->DateTime()));
  if (FDb && Detail) FDb->GetStatistiques2(Start, End, FStats2);
  if (FDb && !Detail) {
    FDb->GetStatistiques(Start, End, FStats);
    AddTotal(FStats);
  }
  ListBox->Items()->setStringList(QStringList(int(Detail ? FStats2.size() : FStats.size()), QString()));
  ListBox->viewport()->update();
}

void TStatistiques::DrawRow(QPainter& Painter, int Index, QRect Rect, bool Selected) {
  const QPalette& Pal = ListBox->palette();
  Painter.fillRect(Rect, Selected ? Pal.highlight() : Pal.base());
  Painter.setPen(Selected ? Pal.highlightedText().color() : Pal.text().color());
  const bool Detail = cbDetail->isChecked();
  const THeaderControl* H = Detail ? Headers2 : Headers1;
  int X = Rect.left() + 1;
  const auto Draw = [&](int Section, const QString& Text, Qt::Alignment Align) {
    const int W = std::max(0, H->SectionWidth(Section) - 10);
    const QRect Box(X, Rect.top(), W, Rect.height());
    Painter.drawText(Box, int(Align | Qt::AlignVCenter),
                     Painter.fontMetrics().elidedText(Text, Qt::ElideRight, W));
    X = Box.right() + 1 + 11;
  };
  const auto Q = [](std::string_view S) { return QString::fromUtf8(S.data(), qsizetype(S.size())); };
  if (Detail) {
    if (Index < 0 || size_t(Index) >= FStats2.size()) return;
    const TStatistique2& R = *FStats2[size_t(Index)];
    Draw(0, Q(R.Praticien), Qt::AlignLeft);
    Draw(1, Q(R.Patient), Qt::AlignLeft);
    Draw(2, Q(ShortDate(R.DateDMP)), Qt::AlignLeft);
    Draw(3, R.INSNIR.empty() ? ShellTr::tr("(inconnu)") : Q(R.INSNIR), Qt::AlignLeft);
    return;
  }
  if (Index < 0 || size_t(Index) >= FStats.size()) return;
  const TStatistique& R = *FStats[size_t(Index)];
  QFont Font = Painter.font();
  Font.setBold(R.Praticien == Total);
  Painter.setFont(Font);
  Draw(0, Q(R.Praticien), Qt::AlignLeft);
  Draw(1, QString::number(R.Count), Qt::AlignRight);
}

std::string TStatistiques::ExportText() const {
  const TDateTime Start = Vantrel::DateOf(dtDebut->DateTime()), End = Vantrel::DateOf(dtFin->DateTime());
  return cbDetail->isChecked() ? StatisticsText(Start, End, FStats2) : StatisticsText(Start, End, FStats);
}

void TStatistiques::btCopyClick() {
  QApplication::clipboard()->setText(QString::fromStdString(ExportText()));
  MessageDlg(this, QMessageBox::Information, ShellTr::tr("Les données ont été placées dans le presse-papier"));
}

void TStatistiques::btExportClick() {
  QFileDialog Dialog(this, ShellTr::tr("Exporter sous"), QString(), ShellTr::tr("Fichier texte (*.txt)"));
  Dialog.setAcceptMode(QFileDialog::AcceptSave);
  Dialog.setDefaultSuffix(QStringLiteral("txt"));
  if (!Dialog.exec() || Dialog.selectedFiles().isEmpty()) return;
  QSaveFile File(Dialog.selectedFiles().front());
  const std::string Text = ExportText();
  if (!File.open(QIODevice::WriteOnly) || File.write(Text.data(), qint64(Text.size())) != qint64(Text.size()) ||
      !File.commit())
    MessageDlg(this, QMessageBox::Critical, File.errorString());
}

}  // namespace Carvelin
