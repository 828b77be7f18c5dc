#include "Carvelin.Database.h"

#include <utility>

namespace Carvelin {

const TSubmitData* TSubmitData::Create(const TPostSubmitData& ASender, uintptr_t AFrom, uint32_t AMessage,
                                       int32_t ATag, std::string AMsg) {
  auto Data = std::make_unique<TSubmitData>();
  Data->Tag = ATag;
  Data->Msg = std::move(AMsg);
  const TSubmitData* Posted = Data.get();
  ASender(AFrom, AMessage, std::move(Data));
  return Posted;
}

}  // namespace Carvelin
