#include "Vantrel.JSON.h"

#include "Vantrel.UTF8.Utils.h"

namespace Vantrel::UTF16::JSON {

std::u16string buildJSON(const TTypeInfo* Type, const void* Instance) {
  TJSONBuilder B;
  B.AppendValue(Type, Instance);
  return B.Take();
}

void SaveToFile(const std::string& AFileName, std::u16string_view Str) {
  Vantrel::JSON::SaveToFile(AFileName, UTF16ToUTF8(Str));
}

std::u16string LoadFromFile(const std::string& AFileName) {
  return UTF8ToUTF16(Vantrel::JSON::LoadFromFile(AFileName));
}

TDateTime StrToDateTime(std::u16string_view Text) { return detail::ReadDateText(Text, true, 0); }

}  // namespace Vantrel::UTF16::JSON
