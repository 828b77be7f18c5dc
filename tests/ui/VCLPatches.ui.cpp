// The adjusted controls: density, image lists, scroll box, pop-up menu,
// date picker, list box, frame, helpers, busy indicator, virtual list box.
// Also run at QT_SCALE_FACTOR=2
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QCalendarWidget>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QStringListModel>
#include <QtTest>

#include <cmath>
#include <numbers>

#include "VCLPatches.h"

using namespace Carvelin;

Q_DECLARE_METATYPE(std::vector<int>)

namespace {
TDateTime Day(int Y, int M, int D) {
  TDateTime V = 0;
  Vantrel::TryEncodeDate(Y, M, D, V);
  return V;
}

// A frame of a widget as the screen would show it, in logical pixels.
QImage Grab(QWidget* Widget) {
  QImage Image = Widget->grab().toImage().scaled(Widget->size(), Qt::IgnoreAspectRatio, Qt::FastTransformation);
  Image.setDevicePixelRatio(1);
  return Image;
}
}  // namespace

class TVCLPatches : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() {
    SetScreenDPI(0);
    SetBusyClock(nullptr);
  }

  void scale_to_dpi_data() {
    QTest::addColumn<int>("Dpi");
    QTest::addColumn<int>("N");
    QTest::addColumn<int>("Scaled");
    QTest::newRow("96 unchanged") << 96 << 17 << 17;
    QTest::newRow("120, exact") << 120 << 16 << 20;
    QTest::newRow("120, half rounds up") << 120 << 2 << 3;  // 2.5
    QTest::newRow("144") << 144 << 105 << 158;              // 157.5
    QTest::newRow("120, negative half away from zero") << 120 << -2 << -3;
  }
  void scale_to_dpi() {
    QFETCH(int, Dpi);
    QFETCH(int, N);
    QFETCH(int, Scaled);
    SetScreenDPI(Dpi);
    QCOMPARE(ScaleToDPI(N), Scaled);
  }

  void image_list_strips_round_trip() {
    TImageList List(4, 3);
    for (QRgb C : {qRgba(255, 0, 0, 255), qRgba(0, 255, 0, 128)}) {
      QImage I(4, 3, QImage::Format_ARGB32);
      I.fill(C);
      List.Add(I);
    }
    const QImage Strip = List.GetStrip();
    QCOMPARE(Strip.size(), QSize(8, 3));
    QCOMPARE(Strip.pixel(5, 1), qRgba(0, 255, 0, 128));  // alpha kept, not blended over black

    // The older strip: images over masks, a white mask pixel is transparent.
    QImage Legacy(8, 6, QImage::Format_RGB32);
    Legacy.fill(qRgb(10, 20, 30));
    for (int X = 0; X < 8; ++X)
      for (int Y = 3; Y < 6; ++Y) Legacy.setPixel(X, Y, X % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    List.SetStrip(Legacy);
    QCOMPARE(List.Count(), 2);
    QCOMPARE(List.Image(1).pixel(0, 0), qRgba(10, 20, 30, 255));
    QCOMPARE(qAlpha(List.Image(1).pixel(1, 0)), 0);
  }

  void disabled_image_is_grey() {
    TImageList List(2, 2);
    QImage I(2, 2, QImage::Format_ARGB32);
    I.fill(qRgb(200, 40, 40));
    List.Add(I);
    QImage Out(2, 2, QImage::Format_ARGB32);
    Out.fill(Qt::transparent);
    QPainter P(&Out);
    List.Draw(P, 0, 0, 0, false);
    P.end();
    const QRgb C = Out.pixel(0, 0);
    QVERIFY(qRed(C) == qGreen(C) && qGreen(C) == qBlue(C));
  }

  // Whole notches scroll lines; finer steps add up, the rest kept; a device
  // that gives pixels scrolls by them.
  void scroll_box_wheel_data() {
    QTest::addColumn<QList<QPoint>>("Events");  // x: pixel delta, y: angle delta
    QTest::addColumn<int>("Value");
    QTest::newRow("two notches") << QList<QPoint>{{0, -240}} << 34;
    QTest::newRow("quarter steps") << QList<QPoint>{{0, -30}, {0, -30}, {0, -30}, {0, -30}} << 17;
    QTest::newRow("rest kept") << QList<QPoint>{{0, -90}, {0, -90}, {0, -90}} << 34;
    QTest::newRow("turn back drops the rest") << QList<QPoint>{{0, -90}, {0, 60}, {0, -60}} << 0;
    QTest::newRow("pixels") << QList<QPoint>{{-25, -30}, {-8, -10}} << 33;
  }
  void scroll_box_wheel() {
    QFETCH(QList<QPoint>, Events);
    QFETCH(int, Value);
    TScrollBox Box;
    auto* Content = new QWidget;
    Content->setFixedSize(100, 2000);
    Box.setWidget(Content);
    Box.resize(120, 200);
    Box.verticalScrollBar()->setSingleStep(17);
    Box.show();
    for (const QPoint& E : Events) {
      QWheelEvent Wheel(QPointF(10, 10), Box.mapToGlobal(QPointF(10, 10)), QPoint(0, E.x()), QPoint(0, E.y()),
                        Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
      QApplication::sendEvent(Box.viewport(), &Wheel);
      QVERIFY(Wheel.isAccepted());
    }
    QCOMPARE(Box.verticalScrollBar()->value(), Value);
  }

  void split_cols_data() {
    QTest::addColumn<int>("Count");
    QTest::addColumn<int>("MaxItems");
    QTest::addColumn<std::vector<int>>("Breaks");
    QTest::newRow("25 by 10") << 25 << 10 << std::vector<int>{8, 16, 24};
    QTest::newRow("10 by 10") << 10 << 10 << std::vector<int>{};
    QTest::newRow("11 by 10") << 11 << 10 << std::vector<int>{5, 10};
    QTest::newRow("0 items") << 0 << 10 << std::vector<int>{};
  }
  void split_cols() {
    QFETCH(int, Count);
    QFETCH(int, MaxItems);
    QFETCH(std::vector<int>, Breaks);
    QCOMPARE(SplitColsBreaks(Count, MaxItems), Breaks);
  }

  void popup_menu_lays_out_columns_right_of_the_band() {
    TPopupMenu Menu;
    for (int I = 0; I < 25; ++I) Menu.addAction(QString("Élément %1").arg(I));
    const QRect Plain = Menu.ItemRect(Menu.actions()[0]);
    Menu.SetCaption("Patient");
    QVERIFY(Menu.FChanged);
    Menu.SplitCols(10);
    const auto A = Menu.actions();
    const int B = Menu.BandWidth();
    QCOMPARE(B, 2 * Menu.fontMetrics().boundingRect("A").height());
    QCOMPARE(Menu.ItemRect(A[0]).left(), Plain.left() + B + 1);
    QCOMPARE(Menu.ItemRect(A[8]).top(), Menu.ItemRect(A[0]).top());
    QCOMPARE(Menu.ItemRect(A[8]).left(), Menu.ItemRect(A[0]).right() + 1);
    QCOMPARE(Menu.ItemRect(A[24]).top(), Menu.ItemRect(A[0]).top());
    QCOMPARE(Menu.ItemRect(A[7]).top(), Menu.ItemRect(A[6]).bottom() + 1);
    QVERIFY(Menu.sizeHint().width() > 4 * Plain.width());

    Menu.popup(QPoint(0, 0));
    QTRY_VERIFY(Menu.isVisible());
    const QImage Shot = Grab(&Menu);
    QCOMPARE(Shot.pixelColor(Plain.left() + 2, Menu.ItemRect(A[0]).top() + 2), QColor(166, 202, 240));
    // A click on an item of the third column triggers it.
    QSignalSpy Triggered(A[17], &QAction::triggered);
    QTest::mouseClick(&Menu, Qt::LeftButton, {}, Menu.ItemRect(A[17]).center());
    QCOMPARE(Triggered.count(), 1);

    Menu.SetCaption(QString());
    Menu.SplitCols(100);
    QCOMPARE(Menu.ItemRect(A[0]), Plain);
  }

  void loose_dates_ignore_the_locale_data() {
    QTest::addColumn<QString>("Text");
    QTest::addColumn<QString>("Expected");  // dd/mm/yyyy hh:nn, or "" for a failure
    QTest::newRow("day first") << "01/02/2024" << "01/02/2024 00:00";
    QTest::newRow("with time") << "01/02/2024 10:30" << "01/02/2024 10:30";
    QTest::newRow("ISO date") << "2024-02-01" << "01/02/2024 00:00";
    QTest::newRow("ISO with T") << "2024-02-01T10:30:00" << "01/02/2024 00:00";
    QTest::newRow("garbage") << "demain" << "";
    QTest::newRow("no such day") << "31/02/2024" << "";
  }
  void loose_dates_ignore_the_locale() {
    QFETCH(QString, Text);
    QFETCH(QString, Expected);
    for (const char* Locale : {"en_US", "fr_FR", "de_DE"}) {
      QLocale::setDefault(QLocale(Locale));
      TDateTime V = 0;
      const bool Ok = TryStrToDateTimeLoose(Text, V);
      QCOMPARE(Ok, !Expected.isEmpty());
      if (Ok) QCOMPARE(QString::fromStdString(Vantrel::FormatDateTime("dd/mm/yyyy hh:nn", V)), Expected);
    }
    QLocale::setDefault(QLocale::c());
  }

  void date_picker_blank_focus_and_range() {
    QWidget Form;
    auto* Picker = new TDateTimePicker(&Form);
    auto* Other = new QLineEdit(&Form);
    Other->move(0, 40);
    Form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Form));
    QSignalSpy Changed(Picker, &TDateTimePicker::OnChange);

    Picker->SetDateTime(1);  // 31/12/1899: no date
    QCOMPARE(Picker->Text(), QString());
    Picker->SetParseInput(true);
    Picker->SetDateTime(0);
    Other->setFocus();
    QTRY_VERIFY(Other->hasFocus());
    Picker->setFocus();
    QTRY_VERIFY(Picker->Edit()->hasFocus());
    QCOMPARE(Picker->DateTime(), std::floor(Vantrel::Now()));

    // SetDates brings the value inside; AMax 0 sets no maximum.
    Picker->SetDates(Day(2020, 1, 1), Day(2021, 3, 4) + 0.5, 0);
    QCOMPARE(Picker->DateTime(), Day(2021, 3, 4));
    QCOMPARE(Picker->MaxDate(), 0.0);
    Picker->SetDates(Day(2030, 1, 1), Day(2021, 1, 1), Day(2024, 6, 30) + 0.75);
    QCOMPARE(Picker->DateTime(), Day(2024, 6, 30));
    QCOMPARE(Changed.count(), 0);  // none of this was the user

    QVERIFY_THROWS_EXCEPTION(EDateTimeError, Picker->SetDateTime(Day(2024, 7, 1)));
    Picker->SetDateTime(Day(2024, 6, 30) + 0.99);  // days are compared, not times
    try {
      Picker->SetDateTime(Day(2020, 12, 31));
      QFAIL("no exception");
    } catch (const EDateTimeError& E) {
      QCOMPARE(QString::fromUtf8(E.what()), QString::fromUtf8("La date est inférieure au minimum de 01/01/2021"));
    }
  }

  void date_picker_typed_input_data() {
    QTest::addColumn<QString>("Typed");
    QTest::addColumn<double>("Expected");
    QTest::addColumn<QString>("Message");
    QTest::newRow("loose") << "150324" << Day(2024, 3, 15) << QString();
    QTest::newRow("empty gives no date") << "  " << 0.0 << QString();
    QTest::newRow("garbage keeps the date") << "n'importe" << Day(2024, 1, 10) << QString();
    QTest::newRow("above the maximum") << "01/07/2024" << Day(2024, 1, 10)
                                       << QString::fromUtf8("La date dépasse le maximum de 30/06/2024");
  }
  void date_picker_typed_input() {
    QFETCH(QString, Typed);
    QFETCH(double, Expected);
    QFETCH(QString, Message);
    QWidget Form;
    auto* Picker = new TDateTimePicker(&Form);
    auto* Other = new QLineEdit(&Form);
    Other->move(0, 40);
    Picker->SetParseInput(true);
    Picker->SetDates(Day(2024, 1, 10), Day(2021, 1, 1), Day(2024, 6, 30));
    Form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Form));
    QSignalSpy Changed(Picker, &TDateTimePicker::OnChange);
    Picker->Edit()->setFocus();
    Picker->Edit()->selectAll();
    QTest::keyClicks(Picker->Edit(), Typed);
    QTest::keyClick(Picker->Edit(), Qt::Key_Return);
    QCOMPARE(Picker->DateTime(), Expected);
    QCOMPARE(Changed.count(), Expected != Day(2024, 1, 10) ? 1 : 0);
    auto* Box = Picker->findChild<QMessageBox*>();
    QCOMPARE(Box ? Box->text() : QString(), Message);
    QCOMPARE(Picker->Edit()->text(), Picker->Text());
  }

  void date_picker_calendar_has_week_numbers_and_today() {
    TDateTimePicker Picker;
    Picker.SetDateTime(Day(2024, 2, 1));
    Picker.show();
    Picker.DropDown();
    QVERIFY(Picker.Calendar());
    QCOMPARE(Picker.Calendar()->verticalHeaderFormat(), QCalendarWidget::ISOWeekNumbers);
    QCOMPARE(Picker.Calendar()->selectedDate(), QDate(2024, 2, 1));
    auto* Today = Picker.Calendar()->parentWidget()->findChild<QPushButton*>();
    QVERIFY(Today->text().startsWith(QString::fromUtf8("Aujourd'hui : ")));
    QVERIFY(Picker.Calendar()->width() >= Today->sizeHint().width());
  }

  void list_box_owner_drawn_repaints_after_resize() {
    TListBox List;
    QAbstractItemModelTester Tester(List.Items(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    List.Items()->setStringList({"un", "deux", "trois"});
    int Drawn = 0;
    List.OnDrawItem = [&](TListBox*, QPainter& P, int Index, QRect R, bool) {
      ++Drawn;
      P.drawText(R, List.Items()->stringList()[Index]);
    };
    List.SetStyle(lbOwnerDrawFixed);
    List.SetItemHeight(30);
    List.resize(200, 200);
    List.show();
    QVERIFY(QTest::qWaitForWindowExposed(&List));
    QTRY_VERIFY(Drawn >= 3);
    QCOMPARE(List.visualRect(List.Items()->index(1)).height(), 30);
    Drawn = 0;
    List.resize(220, 200);
    QTRY_COMPARE(Drawn, 3);
    List.SetItemIndex(2);
    QCOMPARE(List.ItemIndex(), 2);
  }

  void frame_release_from_its_own_handler() {
    QPointer<TFrame> Frame = new TFrame;
    auto* Button = new QPushButton("Fermer", Frame);
    QObject::connect(Button, &QPushButton::clicked, Frame, [&] { Frame->Release(); });
    Frame->show();
    QTest::mouseClick(Button, Qt::LeftButton);
    QVERIFY(Frame);  // still there inside the handler's event
    QTRY_VERIFY(!Frame);
  }

  void favorite_star_uses_915() {
    const QPolygon Star = FavoriteStarPoints(50, 50, 10, 20);
    QCOMPARE(Star.size(), 10);
    QCOMPARE(Star[0], QPoint(50, 30));
    QCOMPARE(Star[2], QPoint(50 + 18, 50 - 6));  // 20*915/1000 = 18, 20*309/1000 = 6
    QCOMPARE(Star[3], QPoint(59, 53));           // 10*915/1000 = 9
    QCOMPARE(Star[5], QPoint(50, 60));
    QCOMPARE(Star[8], QPoint(32, 44));
  }

  void close_form_query_data() {
    QTest::addColumn<int>("Action");
    QTest::addColumn<bool>("Refuse");
    QTest::addColumn<bool>("Result");
    QTest::addColumn<bool>("Visible");
    QTest::newRow("hide") << int(caHide) << false << true << false;
    QTest::newRow("none") << int(caNone) << false << false << true;
    QTest::newRow("refused") << int(caHide) << true << false << true;
    QTest::newRow("minimise") << int(caMinimize) << false << true << true;
  }
  void close_form_query() {
    QFETCH(int, Action);
    QFETCH(bool, Refuse);
    QFETCH(bool, Result);
    QFETCH(bool, Visible);
    struct TForm : QWidget, TFormCloseHandler {
      int Chosen = caHide;
      bool RefuseClose = false;
      void FormClose(TCloseAction& A) override { A = TCloseAction(Chosen); }
      void closeEvent(QCloseEvent* E) override { E->setAccepted(!RefuseClose); }
    } Form;
    Form.Chosen = Action;
    Form.RefuseClose = Refuse;
    Form.show();
    QCOMPARE(CloseFormQuery(&Form), Result);
    QCOMPARE(Form.isVisible(), Visible);
    if (Action == caMinimize) QVERIFY(Form.isMinimized());
  }

  void close_form_query_rejects_a_modal_dialog_without_asking() {
    struct TDialog : QDialog {
      int Asked = 0;
      void closeEvent(QCloseEvent* E) override {
        ++Asked;
        E->ignore();
      }
    } Dialog;
    QTimer::singleShot(0, &Dialog, [&] { QVERIFY(CloseFormQuery(&Dialog)); });
    QCOMPARE(Dialog.exec(), int(QDialog::Rejected));
    QCOMPARE(Dialog.Asked, 0);
  }

  // ---- Busy indicator ----

  void busy_timer_lives_while_a_box_is_busy() {
    auto* A = new TPaintBox;
    TPaintBox B;
    QVERIFY(!BusyTimerList());
    SetBusyIndicator(A, true);
    SetBusyIndicator(A, true);
    QCOMPARE(BusyTimerList()->Items().size(), size_t(1));
    QCOMPARE(BusyTimerList()->interval(), 40);
    QCOMPARE(BusyTimerList()->parent(), QCoreApplication::instance());
    SetBusyIndicator(&B, false);  // not animated: nothing
    SetBusyIndicator(&B, true);
    delete A;  // leaves the list, the timer stays
    QCOMPARE(BusyTimerList()->Items(), std::vector<TPaintBox*>{&B});
    SetBusyIndicator(&B, false);
    QVERIFY(!BusyTimerList());
    QVERIFY(!IsBusyIndicator(&B));
  }

  void busy_ticks_repaint_visible_boxes_only() {
    TPaintBox Shown, Hidden;
    Shown.resize(40, 40);
    Shown.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Shown));
    int ShownPaints = 0, HiddenPaints = 0;
    Shown.OnPaint = [&](TPaintBox*, QPainter&) { ++ShownPaints; };
    Hidden.OnPaint = [&](TPaintBox*, QPainter&) { ++HiddenPaints; };
    SetBusyIndicator(&Shown, true);
    SetBusyIndicator(&Hidden, true);
    QTRY_VERIFY(ShownPaints >= 3);
    QCOMPARE(HiddenPaints, 0);
    QVERIFY(IsBusyIndicator(&Hidden));
    SetBusyIndicator(&Shown, false);
    SetBusyIndicator(&Hidden, false);
  }

  void busy_frames_put_the_dots_on_the_text_data() {
    QTest::addColumn<int>("T");
    QTest::newRow("0 ms") << 0;
    QTest::newRow("2000 ms") << 2000;
    QTest::newRow("3000 ms") << 3000;
    QTest::newRow("a later turn at 3000") << 4000 * 5 + 3000;
  }
  void busy_frames_put_the_dots_on_the_text() {
    QFETCH(int, T);
    SetBusyClock([T] { return qint64(T); });
    TPaintBox Box;
    Box.Color = QColor(255, 255, 255);
    Box.resize(60, 50);
    Box.OnPaint = [](TPaintBox*, QPainter& P) { P.fillRect(0, 0, 60, 8, Qt::blue); };  // the box's "text"
    Box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Box));
    SetBusyIndicator(&Box, true);
    const QImage Frame = Grab(&Box);
    SetBusyIndicator(&Box, false);

    // Dot i, drawn in order (later dots cover earlier ones).
    const int CX = 30, CY = 25, R = 3 * CX / 4;
    const double Pi = std::numbers::pi, t = T % 4000;
    QImage Expected(60, 50, QImage::Format_RGB32);
    Expected.fill(Qt::white);
    for (int X = 0; X < 60; ++X)
      for (int Y = 0; Y < 8; ++Y) Expected.setPixel(X, Y, qRgb(0, 0, 255));
    for (int I = 0; I < 8; ++I) {
      const int G = 191 + int(std::lround(32 * std::cos(I * Pi / 4)));
      const double A = std::cos(t * Pi / 4000) * (1 + I / 4.0) * Pi;
      const int X = CX + int(std::lround(R * std::sin(A))) - 2, Y = CY + int(std::lround(R * std::cos(A))) - 2;
      for (int DX = 0; DX < 4; ++DX)
        for (int DY = 0; DY < 4; ++DY) Expected.setPixel(X + DX, Y + DY, qRgb(G, G, G));
    }
    QCOMPARE(Frame.convertToFormat(QImage::Format_RGB32), Expected);
    if (T == 2000) QCOMPARE(Frame.pixel(CX - 2, CY + R - 2), qRgb(214, 214, 214));  // all at the bottom, dot 7 last
    if (T == 0) QCOMPARE(Frame.pixel(CX - 2, CY - R - 2), qRgb(223, 223, 223));      // dot 0 at the top
  }

  // ---- Virtual list box ----

  void virtual_list_scroll_and_count_data() {
    QTest::addColumn<int>("Count");
    QTest::addColumn<int>("Set");
    QTest::addColumn<int>("ScrollTop");
    QTest::newRow("500 clamps to 140") << 10 << 500 << 140;
    QTest::newRow("negative") << 10 << -5 << 0;
    QTest::newRow("everything fits") << 3 << 50 << 0;
    QTest::newRow("inside") << 10 << 77 << 77;
  }
  void virtual_list_scroll_and_count() {
    QFETCH(int, Count);
    QFETCH(int, Set);
    QFETCH(int, ScrollTop);
    TVirtualListBox List;
    List.resize(200, 100 + 2 * List.frameWidth());
    List.show();
    List.SetCount(Count);
    QCOMPARE(List.ClientHeight(), 100);
    QSignalSpy Scrolled(&List, &TVirtualListBox::OnScroll);
    List.SetScrollTop(Set);
    QCOMPARE(List.ScrollTop(), ScrollTop);
    QCOMPARE(List.verticalScrollBar()->value(), ScrollTop);
    QCOMPARE(Scrolled.count(), 1);
  }

  void virtual_list_count_zero_clears_selection_and_scroll() {
    TVirtualListBox List;
    List.resize(200, 102);
    List.show();
    List.SetCount(50);
    List.SetItemIndex(40);
    QVERIFY(List.ScrollTop() > 0);
    List.SetCount(0);
    QCOMPARE(List.ItemIndex(), -1);
    QCOMPARE(List.ScrollTop(), 0);
  }

  void virtual_list_scroll_bar_codes_and_wheel() {
    TVirtualListBox List;
    List.resize(200, 102);
    List.show();
    List.SetCount(100);
    auto* Bar = List.verticalScrollBar();
    Bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    QCOMPARE(List.ScrollTop(), 24);
    Bar->triggerAction(QAbstractSlider::SliderPageStepAdd);  // client height - 2 rows
    QCOMPARE(List.ScrollTop(), 24 + 100 - 48);
    Bar->triggerAction(QAbstractSlider::SliderPageStepSub);
    QCOMPARE(List.ScrollTop(), 24);
    QWheelEvent Up(QPointF(5, 5), List.mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, 60), Qt::NoButton,
                   Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(List.viewport(), &Up);
    QCOMPARE(List.ScrollTop(), 12);  // half a step: half a row
  }

  void virtual_list_paints_only_rows_in_the_area() {
    TVirtualListBox List;
    List.resize(200, 102);
    List.SetCount(100000);
    std::vector<int> Offered;
    List.OnDrawItem = [&](TVirtualListBox*, QPainter& P, int Row, QRect R, bool) {
      Offered.push_back(Row);
      P.drawText(R, QString::number(Row));
    };
    List.show();
    QVERIFY(QTest::qWaitForWindowExposed(&List));
    List.SetScrollTop(24 * 500 + 10);
    Offered.clear();
    List.viewport()->repaint();
    QCOMPARE(Offered, (std::vector<int>{500, 501, 502, 503, 504}));
  }

  void virtual_list_mouse_selects_and_clicks_cells_data() {
    QTest::addColumn<int>("X");
    QTest::addColumn<int>("Col");  // -1: no cell click
    QTest::newRow("first column") << 10 << 0;
    QTest::newRow("section edge belongs to it") << 50 << 0;
    QTest::newRow("second column") << 51 << 1;
    QTest::newRow("right of the last section") << 150 << -1;
  }
  void virtual_list_mouse_selects_and_clicks_cells() {
    QFETCH(int, X);
    QFETCH(int, Col);
    TVirtualListBox List;
    THeaderControl Headers;
    QAbstractItemModelTester Tester(Headers.Sections(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    Headers.AddSection("Date", 50);
    Headers.AddSection(QString::fromUtf8("Libellé"), 70);
    QCOMPARE(Headers.SectionText(1), QString::fromUtf8("Libellé"));
    List.SetHeaders(&Headers);
    List.resize(200, 102);
    List.SetCount(10);
    List.OnDrawItem = [](TVirtualListBox*, QPainter&, int, QRect, bool) {};
    List.show();
    QSignalSpy Changed(&List, &TVirtualListBox::OnChange);
    QSignalSpy Cell(&List, &TVirtualListBox::OnCellClick);
    QTest::mouseClick(List.viewport(), Qt::LeftButton, {}, QPoint(X, 24 * 2 + 5));
    QCOMPARE(List.ItemIndex(), 2);
    QCOMPARE(Changed.count(), 1);
    QCOMPARE(Cell.count(), Col < 0 ? 0 : 1);
    if (Col >= 0) QCOMPARE(Cell[0], (QList<QVariant>{2, Col}));
    QCOMPARE(List.ColLeft(1), 50);
  }

  // Columns wider than the box: the rows and the header scroll together, a
  // click lands in the column drawn under it, an editor follows its cell.
  void virtual_list_scrolls_wide_columns_sideways() {
    TVirtualListBox List;
    THeaderControl Headers;
    List.SetHeaders(&Headers);
    for (const char* Name : {"A", "B", "C"}) Headers.AddSection(Name, 150);
    List.resize(200, 150);
    List.SetCount(3);
    QRect Drawn;
    List.OnDrawItem = [&](TVirtualListBox*, QPainter&, int, QRect R, bool) { Drawn = R; };
    List.show();
    QVERIFY(QTest::qWaitForWindowExposed(&List));
    const int Visible = List.viewport()->width();
    QCOMPARE(List.horizontalScrollBar()->maximum(), 450 - Visible);

    List.horizontalScrollBar()->setValue(200);
    QCOMPARE(List.ScrollLeft(), 200);
    QCOMPARE(Headers.offset(), 200);
    List.viewport()->repaint();
    QCOMPARE(Drawn.width(), 450);
    QSignalSpy Cell(&List, &TVirtualListBox::OnCellClick);
    QTest::mouseClick(List.viewport(), Qt::LeftButton, {}, QPoint(120, 5));  // 320 across the columns
    QCOMPARE(Cell.count(), 1);
    QCOMPARE(Cell[0], (QList<QVariant>{0, 2}));
    List.EditText(0, 1, "x");
    QCOMPARE(List.Editor()->geometry().left(), 150 - 200);

    // Wider box than its columns: nothing to scroll, back to the start.
    List.resize(600, 150);
    QCOMPARE(List.horizontalScrollBar()->maximum(), 0);
    QCOMPARE(List.ScrollLeft(), 0);
    QCOMPARE(Headers.offset(), 0);
  }

  void virtual_list_keys_move_the_selection_data() {
    QTest::addColumn<int>("Key");
    QTest::addColumn<int>("From");
    QTest::addColumn<int>("To");
    QTest::newRow("down") << int(Qt::Key_Down) << 3 << 4;
    QTest::newRow("up") << int(Qt::Key_Up) << 3 << 2;
    QTest::newRow("home") << int(Qt::Key_Home) << 3 << 0;
    QTest::newRow("end") << int(Qt::Key_End) << 3 << 49;
    QTest::newRow("page down") << int(Qt::Key_PageDown) << 3 << 7;  // 100 / 24 rows
    QTest::newRow("page up") << int(Qt::Key_PageUp) << 3 << 0;
    QTest::newRow("down at the end") << int(Qt::Key_Down) << 49 << 49;
  }
  void virtual_list_keys_move_the_selection() {
    QFETCH(int, Key);
    QFETCH(int, From);
    QFETCH(int, To);
    TVirtualListBox List;
    List.resize(200, 102);
    List.SetCount(50);
    List.show();
    List.SetItemIndex(From);
    QSignalSpy Changed(&List, &TVirtualListBox::OnChange);
    QTest::keyClick(&List, Qt::Key(Key));
    QCOMPARE(List.ItemIndex(), To);
    QCOMPARE(Changed.count(), From == To ? 0 : 1);
  }

  void virtual_list_enter_goes_to_the_dialog() {
    QDialog Dialog;
    auto* List = new TVirtualListBox(&Dialog);
    auto* Ok = new QPushButton("OK", &Dialog);
    Ok->setDefault(true);
    Ok->move(0, 120);
    List->SetCount(5);
    QObject::connect(Ok, &QPushButton::clicked, &Dialog, &QDialog::accept);
    Dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Dialog));
    List->setFocus();
    QTest::keyClick(List, Qt::Key_Return);
    QCOMPARE(Dialog.result(), int(QDialog::Accepted));
  }

  void virtual_list_editors_close_by_the_rules() {
    QWidget Form;
    auto* List = new TVirtualListBox(&Form);
    auto* Other = new QLineEdit(&Form);
    List->setGeometry(0, 0, 200, 102);
    Other->setGeometry(0, 120, 100, 20);
    THeaderControl Headers;
    Headers.AddSection("A", 80);
    Headers.AddSection("B", 90);
    List->SetHeaders(&Headers);
    List->SetCount(10);
    Form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&Form));
    QSignalSpy Closed(List, &TVirtualListBox::OnCloseEditor);

    try {
      List->SetTextEx("x");
      QFAIL("no exception");
    } catch (const std::runtime_error& E) {
      QCOMPARE(QString::fromUtf8(E.what()), QString::fromUtf8("la liste n'est pas en mode édition"));
    }

    // Enter in the edit box closes it, once.
    List->EditText(1, 1, "abc", 5);
    QCOMPARE(List->Editor(), static_cast<QWidget*>(List->FEdit));
    QCOMPARE(List->FEdit->geometry(), QRect(80, 24, 90, 24));
    QCOMPARE(List->FEdit->maxLength(), 5);
    QTRY_VERIFY(List->FEdit->hasFocus());
    QTest::keyClick(List->FEdit, Qt::Key_Return);
    QCOMPARE(Closed.count(), 1);
    QCOMPARE(Closed[0], (QList<QVariant>{1, 1}));
    QVERIFY(!List->FEdit->isVisible());

    // The "..." button keeps the panel open; leaving for another control closes it.
    int Clicks = 0;
    List->EditTextEx(2, 0, "valeur", [&] { ++Clicks; });
    QTRY_VERIFY(List->FEditPanel->FEdit->hasFocus());
    QTest::mouseClick(List->FEditPanel->FButton, Qt::LeftButton);
    List->FEditPanel->FButton->setFocus();  // what a real click does
    QCOMPARE(Clicks, 1);
    QCOMPARE(Closed.count(), 1);
    List->SetTextEx("autre");
    QCOMPARE(List->GetTextEx(), QString("autre"));
    Other->setFocus();
    QTRY_COMPARE(Closed.count(), 2);
    QVERIFY(!List->Editor());

    // Enter in the date picker does not close it.
    List->EditDate(3, 0, Day(2024, 5, 6));
    QCOMPARE(List->FPicker->DateTime(), Day(2024, 5, 6));
    QTRY_VERIFY(List->FPicker->Edit()->hasFocus());
    QTest::keyClick(List->FPicker->Edit(), Qt::Key_Return);
    QCOMPARE(Closed.count(), 2);
    List->HideEditor();  // no close event
    QCOMPARE(Closed.count(), 2);
    QVERIFY(!List->EditCombo(-1, 0));
  }

  void virtual_list_editor_follows_scrolling() {
    TVirtualListBox List;
    List.resize(200, 102);
    List.SetCount(30);
    List.show();
    List.EditText(3, 0, "x");
    List.SetScrollTop(24);
    QCOMPARE(List.FEdit->y(), 48);
    // A key in an editor below the view scrolls it into view.
    List.EditText(6, 0, "y");
    QTest::keyClick(List.FEdit, Qt::Key_A);
    QVERIFY(List.FEdit->geometry().bottom() < List.ClientHeight());
  }
};

QTEST_MAIN(TVCLPatches)
#include "VCLPatches.ui.moc"
