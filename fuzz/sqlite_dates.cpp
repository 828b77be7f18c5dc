// Text dates as stored in the database, on any text: a date read back is
// written in the stated shapes, and what is written reads back the same.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Vantrel.SQLite.h"

using namespace Vantrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view Text(reinterpret_cast<const char*>(Data), Size);
  const TDateTime Value = SQLiteTextToDateTime(Text);
  const std::string Full = SQLiteDateTimeText(Value);
  const std::string Day = SQLiteDateTimeText(Value, 1);
  const std::string Time = SQLiteDateTimeText(Value, 2);
  if (Full.size() != 19 || Day.size() != 10 || Time.size() != 8) abort();
  if (Full != Day + " " + Time) abort();
  if (Value != 0 && SQLiteDateTimeText(SQLiteTextToDateTime(Full)) != Full) abort();
  return 0;
}
