// The first document window: a CDA document with its own images (nothing
// fetched), a PDF through QtPdf, an image, plain text; documents from the
// fake core.
#include <QBuffer>
#include <QLabel>
#include <QPdfDocument>
#include <QPdfView>
#include <QPdfWriter>
#include <QPainter>
#include <QPlainTextEdit>
#include <QtTest>

#include "FakeCarvelin.h"
#include "UDocumentViewer.h"

using namespace Carvelin;
using namespace Talven;
using TestSupport::TFakeCarvelin;

namespace {

// A structured body whose section shows one embedded picture (3 x 2 red
// pixels, PNG) and names a second one that the document does not hold.
const char CdaWithMedia[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<ClinicalDocument xmlns="urn:hl7-org:v3">
  <title>Compte rendu</title>
  <effectiveTime value="20240312103000+0100"/>
  <component><structuredBody><component><section>
    <title>Examen</title>
    <text><paragraph>Cliché :</paragraph><renderMultiMedia referencedObject="img1"/>
      <renderMultiMedia referencedObject="absent"/></text>
    <entry><observationMedia classCode="OBS" moodCode="EVN" ID="img1">
      <value mediaType="image/png" representation="B64">iVBORw0KGgoAAAANSUhEUgAAAAMAAAACCAIAAAASFvFNAAAAEElEQVR4nGP4z8AAQQxwFgBB0gX7h/C5SAAAAABJRU5ErkJggg==</value>
    </observationMedia></entry>
  </section></component></structuredBody></component>
</ClinicalDocument>)";

std::string OnePagePdf() {
  QBuffer Buffer;
  Buffer.open(QIODevice::WriteOnly);
  {
    QPdfWriter Writer(&Buffer);
    QPainter P(&Writer);
    P.drawText(100, 100, QStringLiteral("Résultats"));
    Writer.newPage();
    P.drawText(100, 100, QStringLiteral("Page 2"));
  }
  return Buffer.data().toStdString();
}

}  // namespace

class TDocumentViewerTest : public QObject {
  Q_OBJECT

  std::shared_ptr<TFakeCarvelin> Fake;

  std::shared_ptr<IDocument> Document(size_t Index) {
    std::shared_ptr<IVaspoCPS> CPS;
    std::shared_ptr<IDossierMedical> DOS;
    std::shared_ptr<IDocument> DOC;
    if (Fake->GetCPS(0, CPS) != ERR_OK || CPS->DossierExiste("1", 'T', DOS) != ERR_OK ||
        DOS->GetDocument(Fake->Core->Data.Documents[Index].UniqueID, DOC) != ERR_OK)
      return nullptr;
    return DOC;
  }

  // The one viewer window open, made through the screen entry.
  TDocumentViewer* Show(size_t Index) {
    ShowDocumentViewer(nullptr, Document(Index), QStringLiteral("Mme DUPONT MARIE"), 1, "279035121518989T");
    const auto Windows = QApplication::topLevelWidgets();
    for (QWidget* W : Windows)
      if (auto* V = qobject_cast<TDocumentViewer*>(W)) return V;
    return nullptr;
  }

 private slots:
  void init() { Fake = std::make_shared<TFakeCarvelin>(); }

  void cleanup() {
    for (QWidget* W : QApplication::topLevelWidgets()) W->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
    Fake.reset();
  }

  void cda_images_come_from_the_document_only() {
    Fake->Core->Data.Contents[0] = CdaWithMedia;
    TDocumentViewer* Viewer = Show(0);
    QVERIFY(Viewer);
    QCOMPARE(Viewer->windowTitle(), QStringLiteral("Compte rendu de consultation"));
    QVERIFY(Viewer->isWindow() && Viewer->testAttribute(Qt::WA_DeleteOnClose));
    auto* Body = Viewer->findChild<TMediaBrowser*>(QStringLiteral("Body"));
    QVERIFY(Body);
    QVERIFY(Body->toPlainText().contains(QStringLiteral("Cliché")));
    const QImage Picture = Body->loadResource(QTextDocument::ImageResource, QUrl(QStringLiteral("img1"))).value<QImage>();
    QCOMPARE(Picture.size(), QSize(3, 2));
    QCOMPARE(Picture.pixelColor(1, 1), QColor(Qt::red));
    QVERIFY(Body->loadResource(QTextDocument::ImageResource, QUrl(QStringLiteral("absent"))).isNull());
    QVERIFY(Body->loadResource(QTextDocument::ImageResource, QUrl(QStringLiteral("http://127.0.0.1/x.png"))).isNull());
    QVERIFY(Body->loadResource(QTextDocument::HtmlResource, QUrl(QStringLiteral("img1"))).isNull());
    QVERIFY(Viewer->findChild<TMediaBrowser*>(QStringLiteral("Header")));
  }

  void malformed_cda_is_shown_as_text() {
    Fake->Core->Data.Contents[0] = "<ClinicalDocument><title>x</title>";
    TDocumentViewer* Viewer = Show(0);
    auto* Text = Viewer->findChild<QPlainTextEdit*>(QStringLiteral("Text"));
    QVERIFY(Text);
    QCOMPARE(Text->toPlainText(), QStringLiteral("<ClinicalDocument><title>x</title>"));
  }

  void pdf_opens_in_the_pdf_view() {
    Fake->Core->Data.Contents[1] = OnePagePdf();
    TDocumentViewer* Viewer = Show(1);
    QCOMPARE(Viewer->windowTitle(), QStringLiteral("Résultats de biologie"));
    auto* View = Viewer->findChild<QPdfView*>(QStringLiteral("PdfView"));
    QVERIFY(View && View->document());
    QCOMPARE(View->document()->status(), QPdfDocument::Status::Ready);
    QCOMPARE(View->document()->pageCount(), 2);
  }

  void image_shows_as_a_picture() {
    QImage Image(4, 3, QImage::Format_RGB32);
    Image.fill(Qt::blue);
    QBuffer Buffer;
    Buffer.open(QIODevice::WriteOnly);
    QVERIFY(Image.save(&Buffer, "JPEG"));
    Fake->Core->Data.Contents[2] = Buffer.data().toStdString();
    TDocumentViewer* Viewer = Show(2);
    auto* Picture = Viewer->findChild<QLabel*>(QStringLiteral("Picture"));
    QVERIFY(Picture);
    QCOMPARE(Picture->pixmap().size(), QSize(4, 3));
  }
};

QTEST_MAIN(TDocumentViewerTest)
#include "UDocumentViewer.ui.moc"
