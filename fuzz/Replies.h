// What every reply reader must hold on any answer: the code is one of the
// table (or 0), no exception leaves it, and a failure produced no record.
#pragma once

#include <cstdlib>
#include <memory>
#include <vector>

#include "Talven.Carvelin.Objects.h"

namespace FuzzReplies {

// A root made without any configuration: no session, so no connection is
// ever opened (an error report has nowhere to go).
inline Talven::TCarvelin& Root() {
  static const std::shared_ptr<Talven::TCarvelin> R = Talven::TCarvelin::Create();
  return *R;
}

inline void Check(int Code, bool Produced = false) {
  if (Code != Talven::ERR_OK && !Talven::IsKnownError(Code)) abort();
  if (Code != Talven::ERR_OK && Produced) abort();
}

template <class T>
void CheckList(int Code, const T& Items) {
  Check(Code, !Items.empty());
}

}  // namespace FuzzReplies
