// The patient's letters made by the maker's letter service: the
// record-opening letter (GET Maker + "/dmp/ouverture.php?data=") and the
// web-access letter (GET Maker + "/dmp/index.php?data="), each carrying the
// percent-encoded Base64 of a UTF-8 JSON record, over HTTPS with 5-second
// time-outs. Only a 200 answer that is a PDF ("%PDF-") is kept, as
// "DMP_" + INS + ".PDF", written whole and private to the user.
#pragma once

#include <string>
#include <string_view>

namespace Carvelin {

inline constexpr int LetterTimeoutMs = 5000;

// The opening letter's address; "" without a maker, or with one not reached over HTTPS.
std::string OpeningLetterURL(std::string_view Maker, std::string_view Name, std::string_view INS);
// The web-access letter's address for the UTF-8 JSON record Data; "" as above.
std::string AccessLetterURL(std::string_view Maker, std::string_view Data);
// The letter's file name for INS, "" unless INS is 1 to 22 ASCII letters or digits.
std::string LetterFileName(std::string_view INS);
// The working folder when it is writable, else $XDG_DATA_HOME/Carvelin2
// (created); "" when neither can be used.
std::string LetterFolder();
// Writes Body to FileName through a temporary file and a rename; the file
// is new, so private to the user (0600) whatever a previous letter had.
bool SaveLetter(const std::string& FileName, std::string_view Body);
// Fetches URL and saves the letter to FileName. False, and nothing written,
// for a failure, another status or a body that is no PDF.
bool DownloadLetter(const std::string& URL, const std::string& FileName, int TimeoutMs = LetterTimeoutMs);

}  // namespace Carvelin
