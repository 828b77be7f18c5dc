// The stand-in card reader library (tests/apilec) and the variables that
// steer it.
#pragma once

#include <cstdlib>
#include <string>

#include "TestSupport.h"

namespace TestSupport {

// The stand-in built beside the tests; other names give its older and
// incomplete variants.
inline std::string ApiLecStub(const std::string& Name = "libapi_lec_stub.so.6.2.1.0") { return ToolPath(Name); }

// Back to the stand-in's defaults.
inline void ClearApiLecStubVariables() {
  for (const char* Name : {"APILEC_STUB_OPEN", "APILEC_STUB_INSERT", "APILEC_STUB_CODE", "APILEC_STUB_CARD",
                           "APILEC_STUB_XML", "APILEC_STUB_READ", "APILEC_STUB_LENGTH", "APILEC_STUB_CLOSE",
                           "APILEC_STUB_LOG"})
    unsetenv(Name);
}

}  // namespace TestSupport
