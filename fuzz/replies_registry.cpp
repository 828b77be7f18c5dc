// The registry readers and the metadata update's reader on any bytes.
#include <cstdint>
#include <string_view>

#include "Replies.h"

using namespace Talven;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view Answer(reinterpret_cast<const char*>(Data), Size);
  TCarvelin& Root = FuzzReplies::Root();
  std::vector<Objects::TDocumentInfo> Documents;
  FuzzReplies::CheckList(Root.ParseDocumentList(Answer, Documents), Documents);
  std::vector<std::string> Ids;
  FuzzReplies::CheckList(Root.ParseObjectRefs(Answer, Ids), Ids);
  FuzzReplies::CheckList(Root.ParseHasMemberTargets(Answer, Ids), Ids);
  std::string Id;
  FuzzReplies::Check(Root.ParseSingleObjectRef(Answer, Id));
  FuzzReplies::Check(Root.xmlUpdateDocumentSet(Answer));
  return 0;
}
