// The telephone edit's paste keeps the digits and leaves the clipboard alone.
#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QtTest>

#include "UEditPhone.h"

using namespace Carvelin;

class TEditPhone : public QObject {
  Q_OBJECT

 private slots:
  void paste_keeps_digits_data() {
    QTest::addColumn<int>("MaxLength");
    QTest::addColumn<bool>("Disabled");
    QTest::addColumn<QString>("Before");
    QTest::addColumn<QString>("Clipboard");
    QTest::addColumn<QString>("After");
    QTest::newRow("separators dropped") << 10 << false << "" << "01 23-45.67 89" << "0123456789";
    QTest::newRow("within the maximum") << 10 << false << "0612" << "34 56 78 90 12" << "0612345678";
    QTest::newRow("other lengths paste as is") << 20 << false << "" << "01 23" << "01 23";
    QTest::newRow("paste disabled") << 10 << true << "06" << "1234" << "06";
  }
  void paste_keeps_digits() {
    QFETCH(int, MaxLength);
    QFETCH(bool, Disabled);
    QFETCH(QString, Before);
    QFETCH(QString, Clipboard);
    QFETCH(QString, After);
    TEdit Edit;
    Edit.setMaxLength(MaxLength);
    Edit.DisablePaste = Disabled;
    Edit.setText(Before);
    Edit.show();
    QGuiApplication::clipboard()->setText(Clipboard);
    QTest::keySequence(&Edit, QKeySequence::Paste);
    QCOMPARE(Edit.text(), After);
    QCOMPARE(QGuiApplication::clipboard()->text(), Clipboard);
  }

  void paste_leaves_an_image_on_the_clipboard() {
    auto* Data = new QMimeData;
    QImage Image(4, 4, QImage::Format_RGB32);
    Image.fill(Qt::red);
    Data->setImageData(Image);
    Data->setText("01 02");
    QGuiApplication::clipboard()->setMimeData(Data);
    TEdit Edit;
    Edit.setMaxLength(10);
    Edit.show();
    QTest::keySequence(&Edit, QKeySequence::Paste);
    QCOMPARE(Edit.text(), QString("0102"));
    QVERIFY(QGuiApplication::clipboard()->mimeData()->hasImage());
  }
};

QTEST_MAIN(TEditPhone)
#include "UEditPhone.ui.moc"
