#include "Vantrel.ImageIcons.h"

#include <QFont>
#include <QIcon>
#include <QPainter>
#include <QPixmap>

#include <algorithm>

namespace Vantrel {

namespace {

// Coloured Breeze icons (the theme's action icons are drawn in one colour,
// which a busy bar does not tell apart at a glance).
constexpr TImageIcon Icons[] = {
    {1, "preferences-desktop-user", "PS"},  // CPS card of a health professional
    {2, "system-users", "E"},               // CPE card of a structure's employee
    {3, "office-address-book", "D"},        // CPA card of a structure's director
    {4, "user-man", "?"},                   // another card kind
    {5, "auth-sim", "CPS"},                 // read the CPS card
    {6, "media-flash-smart-media", "V"},    // read the Vitale card
    {7, "preferences-desktop-search", "P"}, // search a patient
    {8, "plasma-search", "INS"},            // open a record by the typed INS
    {9, "folder-saved-search", "D"},        // search a record
    {10, "internet-web-browser", "W"},      // the service's portal
    {11, "preferences-system-windows-effect-logout", "X"},  // close the session
    {12, "help-about", "i"},                // about the product
    {13, "office-chart-pie", "S"},          // statistics
    {14, "security-high", "OK"},            // access granted
    {15, "folder-locked", "F"},             // record closed
    {16, "security-low", "!"},              // no usable authorisation
    {17, "security-medium", "?"},           // another authorisation
    {18, "x-office-document", "S"},         // summary record
    {19, "face-sick", "C"},                 // Covid-19 record
    {20, "x-office-calendar", "V"},         // vaccination note
    {21, "applications-internet", "W"},     // the record on the web
    {22, "emblem-added", "+"},              // add a document
    {23, "vcs-update-required", "R"},       // refresh the record
    {24, "folder-download", "T"},           // download the document
    {25, "user-trash-full", "S"},           // delete the document
    {26, "document-replace", "R"},          // replace the document
    {27, "preferences-other", "..."},       // record options
    {28, "emblem-error", "X"},              // close the record
    {29, "emblem-locked", "S"},             // secret connection (minor)
    {30, "zoom-in", "+"},                   // zoom in
    {31, "zoom-out", "-"},                  // zoom out
    {32, "emblem-important", "U"},          // emergency connection
    {33, "application-certificate", "C"},   // software certificate
    {34, "folder-recent", "N"},             // documents since the last visit
    {37, "certificate-server", "C"},        // software certificate of a structure
    {40, "kfind", "INS"},                   // identity search without a Vitale card
    {42, "smartphone", "AV"},               // mobile Vitale application
    {43, "smartphone", "AV"},               // the same, not available yet
    {44, "x-office-contact", "F"},          // CPF card of a professional in training
    {156, "smartphone", "AV"},              // centre of the mobile application's code
};

// The stand-in: a rounded square of a colour of its own with its letters.
QImage DrawnIcon(const TImageIcon& Icon, int Size) {
  QImage Image(Size, Size, QImage::Format_ARGB32_Premultiplied);
  Image.fill(Qt::transparent);
  QPainter Painter(&Image);
  Painter.setRenderHint(QPainter::Antialiasing);
  Painter.setPen(Qt::NoPen);
  Painter.setBrush(QColor::fromHsv((Icon.Index * 47) % 360, 160, 190));
  Painter.drawRoundedRect(QRectF(0.5, 0.5, Size - 1, Size - 1), Size / 6.0, Size / 6.0);
  QFont Font;
  Font.setBold(true);
  Font.setPixelSize(std::max(6, Size * 2 / (qstrlen(Icon.Badge) > 1 ? 5 : 3)));
  Painter.setFont(Font);
  Painter.setPen(Qt::white);
  Painter.drawText(Image.rect(), Qt::AlignCenter, QString::fromUtf8(Icon.Badge));
  return Image;
}

QImage ThemeImage(const TImageIcon& Icon, int Size) {
  const QIcon Themed = QIcon::fromTheme(QString::fromLatin1(Icon.Name));
  if (Themed.isNull()) return {};
  // The theme's nearest size, brought to the list's.
  const QImage Image = Themed.pixmap(Size, Size).toImage();
  if (Image.isNull()) return {};
  return Image.size() == QSize(Size, Size) ? Image
                                           : Image.scaled(Size, Size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

}  // namespace

std::span<const TImageIcon> ImageIcons() { return Icons; }

const TImageIcon* FindImageIcon(int Index) {
  for (const TImageIcon& Icon : ImageIcons())
    if (Icon.Index == Index) return &Icon;
  return nullptr;
}

void UseIconTheme(const QStringList& SearchPaths) {
  QIcon::setThemeSearchPaths(SearchPaths);
  QIcon::setThemeName(QStringLiteral("breeze"));
}

bool ThemeHasIcon(int Index) {
  const TImageIcon* Icon = FindImageIcon(Index);
  return Icon && !ThemeImage(*Icon, 16).isNull();
}

QImage ImageIcon(int Index, int Size) {
  const TImageIcon* Icon = FindImageIcon(Index);
  if (!Icon) return {};
  const QImage Themed = ThemeImage(*Icon, Size);
  return Themed.isNull() ? DrawnIcon(*Icon, Size) : Themed;
}

void LoadImageList(Carvelin::TImageList& List) {
  List.Clear();
  const std::span<const TImageIcon> All = ImageIcons();
  QImage Empty(List.Width(), List.Height(), QImage::Format_ARGB32);
  Empty.fill(Qt::transparent);
  for (int Index = 0; Index <= All.back().Index; ++Index) {
    const QImage Image = ImageIcon(Index, std::max(List.Width(), List.Height()));
    List.Add(Image.isNull() ? Empty : Image);
  }
}

}  // namespace Vantrel
