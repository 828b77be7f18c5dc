// The document list frame: categories and their counts, favourites, sort
// kept from list to list, row drawing, dropped files and the keyboard,
// over the fake core's document list.
#include <QMimeData>
#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>

#include "FakeCarvelin.h"
#include "Talven.Carvelin.Utils.h"
#include "UFrameListeDocuments.h"

using namespace Carvelin;
using namespace Talven;
using TestSupport::TFakeCarvelin;

class TFrameListeDocumentsTest : public QObject {
  Q_OBJECT

  std::shared_ptr<TFakeCarvelin> Fake;
  std::unique_ptr<TDocuments> Frame;
  int FavorisRaised = 0;

  std::shared_ptr<IDocumentList> NewList() {
    std::shared_ptr<IVaspoCPS> CPS;
    std::shared_ptr<IDossierMedical> DOS;
    std::shared_ptr<IDocumentList> List;
    if (Fake->GetCPS(0, CPS) != ERR_OK || CPS->DossierExiste("1", 'T', DOS) != ERR_OK ||
        DOS->QueryDocuments({}, List) != ERR_OK)
      return nullptr;
    return List;
  }

  TCategorieOption* Entry(std::string_view Code) const {
    return Frame->Categories[size_t(TypeDocumentIndex(Code)) + 1];
  }

 private slots:
  void init() {
    Fake = std::make_shared<TFakeCarvelin>();
    Frame = std::make_unique<TDocuments>();
    Frame->resize(1000, 600);
    FavorisRaised = 0;
    Frame->FOnFavoris = [this](TDocuments*) { ++FavorisRaised; };
  }

  void cleanup() {
    Frame.reset();
    Fake.reset();
  }

  void column_holds_every_category_in_table_order() {
    QCOMPARE(Frame->Categories[0]->Tag, -1);
    QCOMPARE(Frame->Categories[0]->Hint(), QStringLiteral("Tous les documents"));
    QCOMPARE(Frame->Categories[1]->FCode, std::string("SYNTH"));
    QCOMPARE(Frame->Categories[84]->FCode, std::string(TypesDocument[83].Code));
    QCOMPARE(Frame->Categories[89]->FCode, std::string("11369-6"));
    QCOMPARE(Frame->Categories[89]->Tag, 88);
    QCOMPARE(Frame->Headers->SectionCount(), 7);
    QCOMPARE(Frame->Headers->SectionText(1), QStringLiteral("Titre"));
    QCOMPARE(Frame->Headers->SectionWidth(6), 80);
  }

  // At the test's width the designed columns (820 pixels) are wider than
  // the list: the title gives way and "Taille" stays whole in sight.
  void every_column_stays_in_sight() {
    Frame->show();
    QVERIFY(QTest::qWaitForWindowExposed(Frame.get()));
    const int Room = Frame->Headers->viewport()->width();
    QVERIFY2(Room < 820, qPrintable(QString::number(Room)));
    const int Last = Frame->Headers->sectionViewportPosition(6) + Frame->Headers->SectionWidth(6);
    QVERIFY2(Last <= Room, qPrintable(QStringLiteral("%1 past %2").arg(Last).arg(Room)));
    QVERIFY(Frame->Headers->SectionWidth(1) >= 100);
    // A wider window gives the room to the title.
    Frame->resize(1400, 600);
    QTRY_VERIFY(Frame->Headers->SectionWidth(1) > 250);
    QCOMPARE(Frame->Headers->SectionWidth(2), 150);
  }

  // A label longer than the column is cut with "…", drawn as a label
  // showing that cut text would be; the tooltip holds it whole.
  void long_category_labels_end_with_an_ellipsis() {
    Frame->Display();
    QVERIFY(QTest::qWaitForWindowExposed(Frame.get()));
    TCategorieOption* Longest = nullptr;
    for (TCategorieOption* E : Frame->Categories)
      if (!Longest || E->fontMetrics().horizontalAdvance(E->text()) >
                          Longest->fontMetrics().horizontalAdvance(Longest->text()))
        Longest = E;
    Longest->Select(true);  // its group open
    QTRY_VERIFY(Longest->isVisible() && Longest->width() > 0);
    const QRect Room = Longest->contentsRect();
    QVERIFY(Longest->fontMetrics().horizontalAdvance(Longest->text()) > Room.width());
    QLabel Cut;
    Cut.setTextFormat(Qt::PlainText);
    Cut.setAutoFillBackground(true);
    Cut.setPalette(Longest->palette());
    Cut.setFont(Longest->font());
    Cut.setAlignment(Longest->alignment());
    Cut.setText(Longest->fontMetrics().elidedText(Longest->text(), Qt::ElideRight, Room.width()));
    Cut.resize(Longest->size());
    QVERIFY(Cut.text().endsWith(QChar(0x2026)));
    QCOMPARE(Longest->grab().toImage(), Cut.grab().toImage());
    QCOMPARE(Longest->toolTip(), Longest->Hint());
    QCOMPARE(Longest->text(), QStringLiteral(" ") + Longest->Hint());
  }

  void counts_follow_the_list_and_selection_filters() {
    // Without a list: bare labels, and a selection changes nothing else.
    Frame->Display();
    QCOMPARE(Entry("11488-4")->text(), QStringLiteral(" CR ou fiche de consultation ou de visite"));
    Frame->SetCategorie(TypeDocumentIndex("11488-4"));
    QCOMPARE(Frame->ListBox->Count(), 0);
    Frame->SetCategorie(-1);

    Frame->List = NewList();
    Frame->Display();
    QVERIFY(!Frame->isHidden());
    QCOMPARE(Frame->Categories[0]->text(), QStringLiteral(" Tous les documents (3)"));
    QVERIFY(Frame->Categories[0]->font().bold());
    QCOMPARE(Entry("11502-2")->FCount, 1);
    QCOMPARE(Entry("SYNTH")->FCount, 0);
    QVERIFY(!Entry("SYNTH")->font().bold());
    auto* Group = qobject_cast<TCategoriePanel*>(Entry("11502-2")->parentWidget());
    QCOMPARE(Group->Caption(), QStringLiteral("Biologie"));
    QCOMPARE(Group->FCount, 1);
    QCOMPARE(Frame->ListBox->Count(), 3);

    Frame->SetCategorie(TypeDocumentIndex("11502-2"));
    QCOMPARE(Frame->ListBox->Count(), 1);
    QCOMPARE(Frame->GetCategorie(), std::string("11502-2"));
    Frame->ListBox->SetItemIndex(0);
    QCOMPARE(Frame->GetDocumentID(), Fake->Core->Data.Documents[1].UniqueID);
  }

  void further_entries_filter_by_their_code_but_count_as_the_last_row() {
    Frame->List = NewList();
    Frame->Display();
    Frame->SetCategorie(88);  // "Historique de vaccinations"
    QCOMPARE(Frame->GetCategorie(), std::string("11369-6"));
    QCOMPARE(Frame->CurrentCategorie(), 83);
    QCOMPARE(Frame->ListBox->Count(), 0);
  }

  void favourites_from_text_and_back() {
    Frame->SetFavoris("11502-2|AUTORIS-SOINS|");
    QCOMPARE(FavorisRaised, 0);
    QCOMPARE(Frame->GetFavoris(), std::string("11502-2|AUTORIS-SOINS|"));
    QCOMPARE(Frame->GetFavorisNames(),
             (std::vector<std::string>{"CR d'examens biologiques", std::string(CaptionLabel(TypesDocument[83].Caption))}));
    QVERIFY(Frame->Categories[84]->FFavorite);

    Frame->SetFavoris("");
    QCOMPARE(FavorisRaised, 0);
    QCOMPARE(Frame->GetFavoris(), std::string());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(Frame->Favoris->Options().isEmpty());
    QVERIFY(!Frame->Categories[84]->FFavorite);
  }

  void double_click_marks_a_favourite_and_raises_the_change() {
    Frame->List = NewList();
    Frame->Display();
    TCategorieOption* Source = Entry("11502-2");
    QTest::mouseClick(Source, Qt::LeftButton);
    QCOMPARE(Frame->Categorie, Source);
    QTest::mouseDClick(Source, Qt::LeftButton);
    QCOMPARE(FavorisRaised, 1);
    QCOMPARE(Frame->GetFavoris(), std::string("11502-2|"));
    TCategorieOption* Copy = Frame->Favoris->Options().front();
    QCOMPARE(Copy->text(), Source->text());
    QCOMPARE(Frame->Favoris->FCount, 1);
  }

  void removing_the_selected_favourite_copy_selects_its_source() {
    Frame->show();
    Frame->List = NewList();
    Frame->SetFavoris("11502-2|");
    Frame->Display();
    QPointer<TCategorieOption> Copy = Frame->Favoris->Options().front();
    QTest::mouseClick(Copy, Qt::LeftButton);
    QCOMPARE(Frame->Categorie, Copy.data());
    // The copy's star, in the group's margin.
    QTest::mouseClick(Frame->Favoris, Qt::LeftButton, {}, QPoint(8, Copy->y() + 8));
    QCOMPARE(Frame->Categorie, Entry("11502-2"));
    QVERIFY(!Entry("11502-2")->FFavorite);
    QCOMPARE(FavorisRaised, 1);
    QVERIFY(Copy);  // deleted once its click returned, not inside it
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!Copy);
    QVERIFY(Frame->Favoris->Options().isEmpty());
  }

  void sort_column_is_kept_for_the_next_list() {
    Frame->List = NewList();
    Frame->Display();
    Fake->Core->ClearCalls();
    Frame->HeadersSectionClick(3);
    Frame->HeadersSectionClick(3);
    const auto Calls = Fake->Calls();
    QCOMPARE(Calls.size(), size_t(2));
    QCOMPARE(Calls[0].Name + " " + Calls[0].Args, std::string("Sort 2"));
    QCOMPARE(Frame->SortList, 2);

    Frame->List = NewList();
    QCOMPARE(Frame->List->GetSortIndex(), 0);
    Frame->Display();
    QCOMPARE(Frame->List->GetSortIndex(), 2);
  }

  void patient_document_hidden_from_patient_and_representatives_row() {
    TDocumentInfo& D = Fake->Core->Data.Documents[0];
    D.DocumentPatient = true;
    D.Visibilite = 6;
    Frame->List = NewList();
    Frame->Display();
    Frame->show();
    const int H = Frame->ListBox->ItemHeight();
    QImage Row(Frame->ListBox->viewport()->width(), H, QImage::Format_RGB32);
    Row.fill(Qt::white);
    {
      QPainter P(&Row);
      Frame->ListBoxDrawItem(P, 0, QRect(0, 0, Row.width(), H), false);
    }
    const QColor Purple(0x80, 0x00, 0x80), Red(0xFF, 0x00, 0x00), Magenta(0xFF, 0x00, 0xFF), Blue(0x00, 0x00, 0xFF);
    // Status cell from x = 6 to 36: "Web" on purple, "P" at a third, "R" at two thirds.
    QCOMPARE(Row.pixelColor(8, 2), Purple);
    const int W = 30;
    const int Y = H / 2;
    QCOMPARE(Row.pixelColor(6 + W / 3, Y), Red);
    QCOMPARE(Row.pixelColor(6 + 2 * (W / 3), Y), Magenta);
    bool BlueText = false, OtherText = false;
    for (int X = 42; X < 42 + 230; ++X)
      for (int Yi = 0; Yi < H; ++Yi) {
        const QColor C = Row.pixelColor(X, Yi);
        if (C == Blue) BlueText = true;
        else if (C != Qt::white && C.blue() < C.red()) OtherText = true;
      }
    QVERIFY(BlueText);
    QVERIFY(!OtherText);
  }

  void vaccination_note_row_takes_its_stored_caption() {
    TDocumentInfo& D = Fake->Core->Data.Documents[0];
    D.Nom = "Note de vaccinations";
    Frame->Vaccins.Add(D.UniqueID + "=Grippe 12/10/2023");
    QCOMPARE(Frame->VaccinCaption(D.UniqueID), std::string("Grippe 12/10/2023"));
    QCOMPARE(Frame->VaccinCaption("1.2.250.1.999.1.1"), std::string());
  }

  void dropped_local_files_go_to_the_category_under_the_pointer() {
    QTemporaryDir Dir;
    const QString File = Dir.filePath(QStringLiteral("cr.pdf"));
    QFile F(File);
    QVERIFY(F.open(QIODevice::WriteOnly));
    F.close();
    Frame->show();
    QVERIFY(QTest::qWaitForWindowExposed(Frame.get()));
    Frame->SetCategorie(TypeDocumentIndex("11502-2"));

    std::vector<std::string> Names;
    int Categorie = -2;
    Frame->OnSendFiles = [&](const std::vector<std::string>& N, bool DeleteSource, int C) {
      QVERIFY(!DeleteSource);
      Names = N;
      Categorie = C;
    };
    const auto Drop = [&](const QPoint& Pos) {
      QMimeData Data;
      Data.setUrls({QUrl::fromLocalFile(File), QUrl::fromLocalFile(Dir.path()), QUrl(QStringLiteral("https://x.test/a.pdf"))});
      QDragEnterEvent Enter(Pos, Qt::CopyAction, &Data, Qt::LeftButton, {});
      QCoreApplication::sendEvent(Frame.get(), &Enter);
      QVERIFY(Enter.isAccepted());
      QDropEvent Event(Pos, Qt::CopyAction, &Data, Qt::LeftButton, {});
      QCoreApplication::sendEvent(Frame.get(), &Event);
    };
    const auto At = [&](QWidget* W) { return W->mapTo(Frame.get(), W->rect().center()); };

    Drop(At(Frame->ListBox));
    QCOMPARE(Names, std::vector<std::string>{File.toStdString()});
    QCOMPARE(Categorie, TypeDocumentIndex("11502-2"));
    Frame->sbCategories->ensureWidgetVisible(Frame->Categories[0]);
    Drop(At(Frame->Categories[0]));
    QCOMPARE(Categorie, -1);
    Frame->sbCategories->ensureWidgetVisible(Frame->Categories[85]);
    Drop(At(Frame->Categories[85]));
    QCOMPARE(Categorie, 83);
  }

  void keyboard_moves_and_opens_in_the_list() {
    Frame->List = NewList();
    Frame->Display();
    int Opened = 0;
    Frame->OnOpen = [&] { ++Opened; };
    QTest::keyClick(Frame->ListBox, Qt::Key_Return);
    QCOMPARE(Opened, 0);  // no row yet
    QTest::keyClick(Frame->ListBox, Qt::Key_Down);
    QTest::keyClick(Frame->ListBox, Qt::Key_Down);
    QCOMPARE(Frame->ListBox->ItemIndex(), 1);
    QTest::keyClick(Frame->ListBox, Qt::Key_Up);
    QCOMPARE(Frame->ListBox->ItemIndex(), 0);
    QTest::keyClick(Frame->ListBox, Qt::Key_Return);
    QCOMPARE(Opened, 1);
  }

  void visibility_label_click_flips_its_box() {
    QVERIFY(!Frame->cbINVISIBLE_PATIENT->isChecked());
    QTest::mouseClick(Frame->lbINVISIBLE_PATIENT, Qt::LeftButton);
    QVERIFY(Frame->cbINVISIBLE_PATIENT->isChecked());
  }
};

QTEST_MAIN(TFrameListeDocumentsTest)
#include "UFrameListeDocuments.ui.moc"
