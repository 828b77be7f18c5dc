// The first document window: one modeless window per retrieved document,
// titled with its name. A CDA document is rendered (header page, then its
// body) with images answered from the document's own media, never fetched;
// a PDF shows in QtPdf's view, an image as a picture, anything else as text.
#pragma once

#include <QTextBrowser>
#include <QWidget>

#include <memory>
#include <string>

#include "Talven.Carvelin.ClinicalDocuments.h"
#include "Talven.Carvelin.Types.h"

namespace Carvelin {

// A rich-text view whose images come from a CDA document's media.
class TMediaBrowser : public QTextBrowser {
  Q_OBJECT
 public:
  TMediaBrowser(QWidget* Parent, std::shared_ptr<const Talven::TClinicalDocument> CDA);
  // Images named after a medium answer its bytes; everything else, nothing.
  QVariant loadResource(int Type, const QUrl& Name) override;

 private:
  std::shared_ptr<const Talven::TClinicalDocument> FCDA;
};

class TDocumentViewer : public QWidget {
  Q_OBJECT
 public:
  TDocumentViewer(QWidget* Owner, std::shared_ptr<Talven::IDocument> DOC, const QString& Patient);

 private:
  // The view of a body of MimeType, from its bytes.
  QWidget* ContentView(const std::string& MimeType, std::string_view Bytes, bool UTF8);

  std::shared_ptr<Talven::IDocument> FDocument;
};

// The document window's screen entry: makes the window and shows it.
void ShowDocumentViewer(QWidget* Owner, std::shared_ptr<Talven::IDocument> DOC, const QString& Patient,
                        int64_t PatientId, const std::string& INS);

}  // namespace Carvelin
