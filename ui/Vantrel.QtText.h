// Text crosses from the UTF-8 layers below into Qt here, and only here.
#pragma once

#include <QString>

#include <string_view>

namespace Vantrel {

inline QString Q(std::string_view S) { return QString::fromUtf8(S.data(), qsizetype(S.size())); }

}  // namespace Vantrel
