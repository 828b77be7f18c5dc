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

namespace Carvelin {

using namespace Talven;

namespace {

QString Q(std::string_view S) { return QString::fromUtf8(S.data(), qsizetype(S.size())); }

bool StartsWith(std::string_view MimeType, std::string_view Prefix) {
  return MimeType.size() >= Prefix.size() &&
         QString::fromLatin1(MimeType.data(), qsizetype(Prefix.size()))
                 .compare(QString::fromLatin1(Prefix.data(), qsizetype(Prefix.size())), Qt::CaseInsensitive) == 0;
}

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
  return StartsWith(MimeType, "text/xml") || StartsWith(MimeType, "application/xml") ||
         StartsWith(MimeType, "application/hl7-v3");
}

}  // namespace

TMediaBrowser::TMediaBrowser(QWidget* Parent, std::shared_ptr<const TClinicalDocument> CDA)
    : QTextBrowser(Parent), FCDA(std::move(CDA)) {
  setOpenExternalLinks(false);
}

QVariant TMediaBrowser::loadResource(int Type, const QUrl& Name) {
  if (Type != QTextDocument::ImageResource || !FCDA) return {};
  const TMedia* Media = FCDA->MediaList.GetMedia(Name.toString().toStdString());
  if (!Media) return {};
  const std::string_view Bytes = Media->Data.Bytes();
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

  std::string_view Source;
  if (FDocument->GetDocument(Source) != ERR_OK) Source = {};
  const std::string MimeType = FDocument->MimeType();
  if (!IsXml(MimeType)) {
    Layout->addWidget(ContentView(MimeType, Source, FDocument->IsUTF8()));
    return;
  }
  auto CDA = std::make_shared<TClinicalDocument>();
  try {
    CDA->Parse(Source);
  } catch (const std::exception&) {
    // Not a readable CDA document: its text is shown as it is.
    Layout->addWidget(ContentView("text/plain", Source, true));
    return;
  }
  auto* Pages = new QSplitter(Qt::Vertical, this);
  Pages->setObjectName(QStringLiteral("Pages"));
  auto* Header = new TMediaBrowser(Pages, CDA);
  Header->setObjectName(QStringLiteral("Header"));
  Header->setHtml(Q(CDA->HtmlStream));
  Pages->addWidget(Header);
  if (CDA->mimeType == "text/html") {
    auto* Body = new TMediaBrowser(Pages, CDA);
    Body->setObjectName(QStringLiteral("Body"));
    Body->setHtml(Q(CDA->NonXMLBody.Bytes()));
    Pages->addWidget(Body);
  } else if (!CDA->NonXMLBody.empty()) {
    Pages->addWidget(ContentView(CDA->mimeType, CDA->NonXMLBody.Bytes(), CDA->TextIsUTF8));
  }
  Pages->setStretchFactor(Pages->count() - 1, 3);
  Layout->addWidget(Pages);
}

QWidget* TDocumentViewer::ContentView(const std::string& MimeType, std::string_view Bytes, bool UTF8) {
  const QByteArray Data(Bytes.data(), qsizetype(Bytes.size()));
  if (StartsWith(MimeType, "application/pdf")) {
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
  if (StartsWith(MimeType, "image/")) {
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
