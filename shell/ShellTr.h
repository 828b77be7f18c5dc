// One translation context for every user text of the shell/ folder: the
// French texts are the source strings, so lupdate lists them all under
// "Carvelin_shell".
#pragma once

#include <QCoreApplication>

namespace Carvelin {

struct ShellTr {
  Q_DECLARE_TR_FUNCTIONS(Carvelin_shell)
};

}  // namespace Carvelin
