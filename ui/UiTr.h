// One translation context for every user text of the ui/ folder: the French
// texts are the source strings, so lupdate lists them all under "Carvelin_ui".
#pragma once

#include <QCoreApplication>

namespace Carvelin {

struct Tr {
  Q_DECLARE_TR_FUNCTIONS(Carvelin_ui)
};

}  // namespace Carvelin
