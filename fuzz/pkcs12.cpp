// PKCS #12 files as a user may pick any file: opened or refused with a
// reason, never read outside the input; what opens names a key certificate
// among its own, each of them a decodable certificate.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Vantrel.WinSSPI.h"

using namespace Vantrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TPFXContent Content;
  std::string Error;
  const bool Opened =
      PFXImportCertStore(std::string_view(reinterpret_cast<const char*>(Data), Size), "secret", Content, Error);
  if (Opened != Error.empty()) abort();
  if (!Opened) {
    if (!Content.Certificates.empty() || Content.KeyCertificate != -1) abort();
    return 0;
  }
  if (Content.KeyCertificate >= int(Content.Certificates.size())) abort();
  for (const std::string& Certificate : Content.Certificates)
    if (CertSubjectName(Certificate).empty()) abort();
  return 0;
}
