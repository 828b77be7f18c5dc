// The document helpers that read outside text (registry slots, author
// values, status URNs, CDA documents): no crash, nothing raised but the XML
// reader's own errors, and results of their stated shapes.
#include <cstdlib>
#include <string>

#include "Talven.Carvelin.Objects.h"

using namespace Talven;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string_view Text(reinterpret_cast<const char*>(Data), Size);

  const Vantrel::TDateTime When = Objects::ParseDateTimeHL7(Text);
  const std::string Shown = Objects::HL7TimeToText(Text);
  // A date that does not read shows nothing; one that does shows dd/mm/yyyy[ hh:nn].
  if ((When == 0) != Shown.empty()) abort();
  if (!Shown.empty() && Shown.size() != 10 && Shown.size() != 16) abort();

  const std::string Name = Objects::XCNToName(Text);
  if (Text.find('^') == std::string_view::npos && Name != "(inconnu)") abort();

  const std::string Status = Objects::StatusFromURN(Text);
  if (Status.size() > Text.size()) abort();

  Objects::ExtensionFromFormatCode(Text);
  Objects::IsPlainIdentifier(Text);

  std::string IdRoot, Format;
  try {
    Objects::CDAFormatCode(Text, IdRoot, Format);
  } catch (const Vantrel::EXMLError&) {
    if (!IdRoot.empty() || !Format.empty()) abort();
  } catch (const std::runtime_error&) {
    // a malformed reference in a value read
  }
  return 0;
}
