#include "Carvelin.WMApi.h"

namespace Carvelin {

void TWMApiForm::WMApiIdle() {}

}  // namespace Carvelin
