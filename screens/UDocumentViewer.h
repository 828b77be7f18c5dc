// The first document window: one modeless window per retrieved document,
// titled with its name. It shows the document's header page, then its body
// by type: a rendered structured body with images answered from the
// document's own media (never fetched), a PDF in QtPdf's view, an image as
// a picture, anything else as text. A document whose body is the CDA text
// itself is rendered here first.
#pragma once

#include <QTextBrowser>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "Talven.Carvelin.ClinicalDocuments.h"
#include "Talven.Carvelin.Types.h"

namespace Carvelin {

// The bytes of a document's medium by name; empty when it has none.
using TMediaSource = std::function<std::string_view(std::string_view Name)>;

// A rich-text view whose images come from a document's media.
class TMediaBrowser : public QTextBrowser {
  Q_OBJECT
 public:
  TMediaBrowser(QWidget* Parent, TMediaSource Media);
  // Images named after a medium answer its bytes; everything else, nothing.
  QVariant loadResource(int Type, const QUrl& Name) override;

 private:
  TMediaSource FMedia;
};

class TDocumentViewer : public QWidget {
  Q_OBJECT
 public:
  TDocumentViewer(QWidget* Owner, std::shared_ptr<Talven::IDocument> DOC, const QString& Patient);

 private:
  // The header page (HTML) above the body of MimeType.
  QWidget* PagesView(std::string_view Header, const std::string& MimeType, std::string_view Body, bool UTF8,
                     const TMediaSource& Media);
  // The view of a body of MimeType, from its bytes.
  QWidget* ContentView(const std::string& MimeType, std::string_view Bytes, bool UTF8, const TMediaSource& Media);

  std::shared_ptr<Talven::IDocument> FDocument;
};

// The document window's screen entry: makes the window and shows it.
void ShowDocumentViewer(QWidget* Owner, std::shared_ptr<Talven::IDocument> DOC, const QString& Patient,
                        int64_t PatientId, const std::string& INS);

}  // namespace Carvelin
