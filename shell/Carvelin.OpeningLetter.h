// The patient's record-opening letter, made by the maker's letter service:
// GET Maker + "/dmp/ouverture.php?data=" + the percent-encoded Base64 of the
// UTF-8 JSON {"name", "ins"}, over HTTPS with 5-second time-outs. Only a
// 200 answer that is a PDF ("%PDF-") is kept, as "DMP_" + INS + ".PDF".
#pragma once

#include <string>
#include <string_view>

namespace Carvelin {

inline constexpr int LetterTimeoutMs = 5000;

// The letter's address; "" without a maker, or with one not reached over HTTPS.
std::string OpeningLetterURL(std::string_view Maker, std::string_view Name, std::string_view INS);
// The letter's file name for INS, "" unless INS is 1 to 22 ASCII letters or digits.
std::string OpeningLetterFileName(std::string_view INS);
// The working folder when it is writable, else $XDG_DATA_HOME/Carvelin2
// (created); "" when neither can be used.
std::string OpeningLetterFolder();
// Fetches URL and writes the letter to FileName (through a temporary file
// and a rename). False, and nothing written, for a failure, another status
// or a body that is no PDF.
bool DownloadOpeningLetter(const std::string& URL, const std::string& FileName, int TimeoutMs = LetterTimeoutMs);

}  // namespace Carvelin
