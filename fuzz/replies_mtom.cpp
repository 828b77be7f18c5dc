// The retrieval and filing answers' readers on any bytes: a retrieval that
// fails gives back no document.
#include <cstdint>
#include <string_view>

#include "Replies.h"

using namespace Talven;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view Answer(reinterpret_cast<const char*>(Data), Size);
  TCarvelin& Root = FuzzReplies::Root();
  Objects::TRetrievedDocument Document;
  const int Code = Root.ParseRetrieveDocumentSet(Answer, Document);
  FuzzReplies::Check(Code, !Document.Content.empty());
  FuzzReplies::Check(Root.xopProvideAndRegisterDocumentSetB(Answer));
  return 0;
}
