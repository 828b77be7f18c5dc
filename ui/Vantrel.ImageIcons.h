// The pictures of the main image list: each image index the windows use is
// mapped to an icon of the Breeze theme chosen for its meaning, loaded with
// QIcon::fromTheme. Only when the theme (or one of its icons) cannot be
// drawn does a plain drawn badge stand in, so that no button is ever blank.
#pragma once

#include <QImage>
#include <QString>
#include <QStringList>

#include <span>

#include "VCLPatches.h"

namespace Vantrel {

struct TImageIcon {
  int Index;
  const char* Name;     // Breeze icon name
  const char* Badge;    // the letters of the drawn stand-in
};

// Every image index of the main image list, in increasing order.
std::span<const TImageIcon> ImageIcons();
// The entry of Index; nullptr for an index no window uses.
const TImageIcon* FindImageIcon(int Index);

// Selects the Breeze theme in its system folder (or in the folders given,
// for tests); the application's icon lookups then use it.
void UseIconTheme(const QStringList& SearchPaths = {QStringLiteral("/usr/share/icons")});
// True when the theme's icon of Index is found and drawn.
bool ThemeHasIcon(int Index);
// The picture of Index at Size x Size pixels: the theme's icon, else the
// drawn stand-in; null for an index no window uses.
QImage ImageIcon(int Index, int Size);
// Fills List with every image up to the highest index, gaps left empty.
void LoadImageList(Carvelin::TImageList& List);

}  // namespace Vantrel
