// The log window: nothing kept without it, lines appended in call order from
// any thread, shown as plain text.
#include <QApplication>
#include <QtTest>

#include <thread>

#include "FLogMessage.h"

using namespace Carvelin;

class TFLogMessageTest : public QObject {
  Q_OBJECT

  static QStringList Lines() {
    return TLogMessage::Instance()->Memo1->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  }

 private slots:
  // Runs first: the window is made once per program.
  void without_window_no_line_is_kept() {
    AddLogLine(std::string_view("DMP> avant la fenêtre"));
    std::thread([] { AddLogLine(QStringLiteral("DMP> depuis un autre fil")); }).join();
    QCoreApplication::processEvents();
    QCOMPARE(TLogMessage::Instance(), nullptr);
    TLogMessage* Log = TLogMessage::Create();
    QCOMPARE(TLogMessage::Create(), Log);  // the single instance
    QCoreApplication::processEvents();
    QVERIFY(Log->Memo1->toPlainText().isEmpty());
  }

  void window_shape() {
    TLogMessage* Log = TLogMessage::Instance();
    QCOMPARE(Log->windowTitle(), QStringLiteral("LogMessage"));
    QCOMPARE(Log->size(), QSize(624, 441));
    QVERIFY(Log->windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(Log->isVisible());
    QCOMPARE(Log->Memo1->lineWrapMode(), QPlainTextEdit::NoWrap);
    QVERIFY(QFontInfo(Log->Memo1->font()).fixedPitch());
    QCOMPARE(Log->Memo1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(Log->Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  }

  void lines_keep_call_order_from_every_thread() {
    TLogMessage::Instance()->Memo1->clear();
    auto Writer = [](QChar Name) {
      for (int I = 0; I < 200; ++I) AddLogLine(QStringLiteral("%1 %2").arg(Name).arg(I));
    };
    std::thread A(Writer, QLatin1Char('A')), B(Writer, QLatin1Char('B'));
    A.join();
    B.join();
    AddLogLine(std::string_view("<b>texte brut</b> & é"));
    QTRY_COMPARE(Lines().size(), 401);
    int NextA = 0, NextB = 0;
    for (const QString& Line : Lines().mid(0, 400)) {
      int& Next = Line.startsWith('A') ? NextA : NextB;
      QVERIFY2(Line.mid(2).toInt() == Next, qPrintable(Line));
      ++Next;
    }
    QCOMPARE(NextA, 200);
    QCOMPARE(NextB, 200);
    QCOMPARE(Lines().last(), QStringLiteral("<b>texte brut</b> & é"));  // plain text, as given
  }
};

QTEST_MAIN(TFLogMessageTest)
#include "FLogMessage.ui.moc"
