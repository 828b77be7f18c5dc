// One translation context for every user text of the screens/ folder: the
// French texts are the source strings, so lupdate lists them all under
// "Carvelin_screens".
#pragma once

#include <QCoreApplication>

namespace Carvelin {

struct ScreensTr {
  Q_DECLARE_TR_FUNCTIONS(Carvelin_screens)
};

}  // namespace Carvelin
