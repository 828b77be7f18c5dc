#include "UDocumentViewer.h"

#include <QBuffer>
#include <QImage>
#include <QLabel>
#include <QPdfDocument>
#include <QPdfView>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QSplitter>
#include <QTextDocument>
#include <QVBoxLayout>

#include "ScreensTr.h"
#include "Talven.Carvelin.ErrorCodes.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.QtText.h"

namespace Carvelin {

using namespace Talven;

namespace {

using Vantrel::Q;


// The list entry's name; a document retrieved by its identifier alone has
// none, so the title of its rendered header page.
QString DocumentTitle(IDocument& Document) {
  if (const TDocumentInfo* Info = Document.GetInfo(); Info && !Info->Nom.empty()) return Q(Info->Nom);
  std::string_view Header;
  if (Document.GetDescription(Header) != ERR_OK) return {};
  QTextDocument Page;
  Page.setHtml(Q(Header));
  return Page.metaInformation(QTextDocument::DocumentTitle);
}

bool IsXml(std::string_view MimeType) {
  return Vantrel::StartsText("text/xml", MimeType) || Vantrel::StartsText("application/xml", MimeType) ||
         Vantrel::StartsText("application/hl7-v3", MimeType);
}

}  // namespace

TMediaBrowser::TMediaBrowser(QWidget* Parent, TMediaSource Media) : QTextBrowser(Parent), FMedia(std::move(Media)) {
  setOpenExternalLinks(false);
}

QVariant TMediaBrowser::loadResource(int Type, const QUrl& Name) {
  if (Type != QTextDocument::ImageResource || !FMedia) return {};
  const std::string_view Bytes = FMedia(Name.toString().toStdString());
  if (Bytes.empty()) return {};
  const QImage Image = QImage::fromData(reinterpret_cast<const uchar*>(Bytes.data()), int(Bytes.size()));
  return Image.isNull() ? QVariant() : QVariant(Image);
}

TDocumentViewer::TDocumentViewer(QWidget* Owner, std::shared_ptr<IDocument> DOC, const QString& Patient)
    : QWidget(Owner, Qt::Window), FDocument(std::move(DOC)) {
  setObjectName(QStringLiteral("DocumentViewer"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(DocumentTitle(*FDocument));
  setAccessibleDescription(Patient);
  resize(900, 700);
  auto* Layout = new QVBoxLayout(this);
  Layout->setContentsMargins(0, 0, 0, 0);

  std::string_view Body;
  if (FDocument->GetDocument(Body) != ERR_OK) Body = {};
  const std::string MimeType = FDocument->MimeType();
  if (!IsXml(MimeType)) {
    // The core's rendition: its header page, its body stream.
    std::string_view Header;
    if (FDocument->GetDescription(Header) != ERR_OK) Header = {};
    const TMediaSource Media = [Document = FDocument](std::string_view Name) {
      std::string_view Image;
      return Document->GetImage(Name, Image) == ERR_OK ? Image : std::string_view();
    };
    Layout->addWidget(PagesView(Header, MimeType, Body, FDocument->IsUTF8(), Media));
    return;
  }
  auto CDA = std::make_shared<TClinicalDocument>();
  try {
    CDA->Parse(Body);
  } catch (const std::exception&) {
    // Not a readable CDA document: its text is shown as it is.
    Layout->addWidget(ContentView("text/plain", Body, true, {}));
    return;
  }
  const TMediaSource Media = [CDA](std::string_view Name) {
    const TMedia* Found = CDA->MediaList.GetMedia(Name);
    return Found ? Found->Data.Bytes() : std::string_view();
  };
  Layout->addWidget(PagesView(CDA->HtmlStream, CDA->mimeType, CDA->NonXMLBody.Bytes(), CDA->TextIsUTF8, Media));
}

QWidget* TDocumentViewer::PagesView(std::string_view Header, const std::string& MimeType, std::string_view Body,
                                    bool UTF8, const TMediaSource& Media) {
  auto* Pages = new QSplitter(Qt::Vertical, this);
  Pages->setObjectName(QStringLiteral("Pages"));
  if (!Header.empty()) {
    auto* Page = new TMediaBrowser(Pages, Media);
    Page->setObjectName(QStringLiteral("Header"));
    Page->setHtml(Q(Header));
    Pages->addWidget(Page);
  }
  if (!Body.empty()) Pages->addWidget(ContentView(MimeType, Body, UTF8, Media));
  if (Pages->count() > 0) Pages->setStretchFactor(Pages->count() - 1, 3);
  return Pages;
}

QWidget* TDocumentViewer::ContentView(const std::string& MimeType, std::string_view Bytes, bool UTF8,
                                      const TMediaSource& Media) {
  const QByteArray Data(Bytes.data(), qsizetype(Bytes.size()));
  if (Vantrel::StartsText("text/html", MimeType)) {
    auto* Body = new TMediaBrowser(this, Media);
    Body->setObjectName(QStringLiteral("Body"));
    Body->setHtml(Q(Bytes));
    return Body;
  }
  if (Vantrel::StartsText("application/pdf", MimeType)) {
    auto* Pdf = new QPdfDocument(this);
    Pdf->setObjectName(QStringLiteral("Pdf"));
    auto* Buffer = new QBuffer(Pdf);
    Buffer->setData(Data);
    Buffer->open(QIODevice::ReadOnly);
    Pdf->load(Buffer);
    auto* View = new QPdfView(this);
    View->setObjectName(QStringLiteral("PdfView"));
    View->setPageMode(QPdfView::PageMode::MultiPage);
    View->setZoomMode(QPdfView::ZoomMode::FitToWidth);
    View->setDocument(Pdf);
    return View;
  }
  if (Vantrel::StartsText("image/", MimeType)) {
    auto* Picture = new QLabel;
    Picture->setObjectName(QStringLiteral("Picture"));
    Picture->setPixmap(QPixmap::fromImage(QImage::fromData(Data)));
    auto* Scroll = new QScrollArea(this);
    Scroll->setWidget(Picture);
    return Scroll;
  }
  auto* Text = new QPlainTextEdit(this);
  Text->setObjectName(QStringLiteral("Text"));
  Text->setReadOnly(true);
  Text->setPlainText(UTF8 ? QString::fromUtf8(Data) : QString::fromLatin1(Data));
  return Text;
}

void ShowDocumentViewer(QWidget* Owner, std::shared_ptr<IDocument> DOC, const QString& Patient, int64_t,
                        const std::string&) {
  if (!DOC) return;
  auto* Viewer = new TDocumentViewer(Owner, std::move(DOC), Patient);
  Viewer->show();
}

}  // namespace Carvelin
