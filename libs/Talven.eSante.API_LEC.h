// The health-insurance card reader's library, opened with dlopen from a file
// the user configures (it is never fetched by this program). The library's
// version is read from its file name (libapi_lec.so.6.2.1.0) and must be at
// least 6.2.1.0. One record loads the library, opens a reader session for a
// folder (where the library finds its api_lec.ini) and reads the card as XML.
//
// Operations answer false and keep the library's result in Error() and its
// additional code in ErrorCode(); ErrorMessage() turns them into the user's
// text. One caller at a time: the owner serialises the calls.
//
// The card XML is read into TDonneesVitale: its serial number and its
// beneficiaries, whose card dates are read leniently (an impossible date is
// no date, never an error).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Vantrel.DateTime.h"

namespace Talven::eSante {

// The library's entry points; every result and every written word is 16 bits.
extern "C" {
using TLec_OuvertureSessionVitale = uint16_t (*)(const char* Path, const char* AppName, uint16_t* Session,
                                                 uint16_t* Code);
using TLec_IntroductionMstVitale = uint16_t (*)(uint16_t Session, uint16_t Reserved, uint16_t* Card,
                                                uint16_t* Code);
using TLec_RetraitMhtVitale = uint16_t (*)(uint16_t Session, uint16_t Reserved, uint16_t* Code);
using TLec_FermetureSessionVitale = uint16_t (*)(uint16_t Session, uint16_t* Code);
// Length: in, the buffer's size; out, the length of the XML written.
using TLec_LectureVitale = uint16_t (*)(uint16_t Session, uint16_t Reserved, char* Buffer, uint16_t* Length,
                                        uint16_t* Code);
}

// Library results this record tells apart.
inline constexpr uint16_t LEC_OK = 0;
inline constexpr uint16_t LEC_CARD_ABSENT = 11;
inline constexpr uint16_t LEC_GALSS_ERROR = 20;
inline constexpr uint16_t LEC_SESSION_ALREADY_OPEN = 21;
inline constexpr uint16_t LEC_READ_PARTIAL = 104;

// The card XML buffer: as much as the library's 16-bit length word can tell.
inline constexpr uint16_t VitaleBufferSize = 0xFFFF;

class TAPI_LEC {
 public:
  TAPI_LEC() = default;
  ~TAPI_LEC() { Unload(); }
  TAPI_LEC(const TAPI_LEC&) = delete;
  TAPI_LEC& operator=(const TAPI_LEC&) = delete;

  // The default library file, computed once: the user's data folder
  // ($XDG_DATA_HOME, else ~/.local/share) + "/santesocial/DMP/libapi_lec.so";
  // empty (nothing to load) when neither variable names a folder.
  static const std::string& DefaultLocation();

  // Loads AFileName (another loaded file is unloaded first); true at once
  // when it is already loaded. A file without a version, older than
  // 6.2.1.0, that cannot be opened or lacks an entry point leaves nothing
  // loaded.
  bool Load(const std::string& AFileName);
  // Opens a reader session for APath (empty: the library's folder); true
  // at once when one is open there, another folder's is closed first.
  bool Init(const std::string& APath);
  // Closes the reader session; true when the library agreed, or when no
  // session was open.
  bool Done();
  // Closes the session and the library; the result is Done's.
  bool Unload();
  bool Loaded() const { return FHandle != nullptr; }
  // Card detection happens within LoadVitale.
  bool CheckVitale() const { return true; }
  // Detects the card and reads it: Data holds the card XML as the library
  // wrote it, or is emptied. The card access is always ended.
  bool LoadVitale(std::string& Data);
  // The last result in French.
  std::string ErrorMessage() const;

  const std::string& Library() const { return FLibrary; }
  const std::string& Path() const { return FPath; }
  const std::string& AppName() const { return FAppName; }
  uint16_t Error() const { return FError; }
  uint16_t ErrorCode() const { return FErrorCode; }
  // The card indicator: low byte 0 when a card is present; the whole word
  // is the card's type (0x0000 production, 0x0100 test).
  uint16_t Card() const { return FCard; }
  uint16_t Session() const { return FSession; }

 private:
  void CloseLibrary();

  std::string FLibrary;
  void* FHandle = nullptr;
  std::string FPath;
  uint16_t FError = 0;
  uint16_t FErrorCode = 0;
  uint16_t FCard = 0;
  std::string FAppName;
  uint16_t FSession = 0;
  TLec_OuvertureSessionVitale Lec_OuvertureSessionVitale = nullptr;
  TLec_IntroductionMstVitale Lec_IntroductionMstVitale = nullptr;
  TLec_RetraitMhtVitale Lec_RetraitMhtVitale = nullptr;
  TLec_FermetureSessionVitale Lec_FermetureSessionVitale = nullptr;
  TLec_LectureVitale Lec_LectureVitale = nullptr;
};

// A card date yymmdd: day or month 0 is no date (0), a month above 12 is
// taken as 12, a day beyond the month's length as its last day; the year is
// 2000 + yy unless that date lies after Today, then 1900 + yy. Anything but
// six digits is no date.
Vantrel::TDateTime CardDateYYMMDD(std::string_view Text, Vantrel::TDateTime Today);
// A full card date ddmmyyyy, its day and month read as above.
Vantrel::TDateTime CardDateDDMMYYYY(std::string_view Text);

// One beneficiary of the card, in texts.
struct TBeneficiaire {
  std::string NomUsage;
  std::string NomNaissance;
  std::string Prenom;
  std::string DateEnCarte;    // yymmdd as on the card
  std::string DateNaissance;  // dd/mm/yyyy
  std::string Nir;
  std::string NirCertifie;
  int Qualite = -1;  // -1: not given
  std::array<std::string, 5> Adresse;
  int RangDeNaissance = 0;
  std::string MedecinTraitant;
  std::string INSNIR;
  std::string naissance;  // ddmmyyyy, when the card gives it
  Vantrel::TDateTime BirthDate = 0;

  bool AdresseNonVide() const;
  // Lines 1 and 2, else lines 3 and 4.
  std::string Adresse1() const;
  // Lines 3 and 4, when lines 1 and 2 are not empty.
  std::string Adresse2() const;
  // Line 5 is the postcode, a space and the town.
  std::string CodePostal() const;
  std::string Ville() const;
  // yymmdd.
  std::string DateDeNaissance() const;
  // yyyy-mm-dd.
  std::string DateINS() const;
  // "NAME First name, né(e) le dd/mm/yyyy".
  std::string FullName() const;
};

// The card as read: its serial number and its beneficiaries.
struct TDonneesVitale {
  std::vector<TBeneficiaire> listeBenef;
  std::string numSerie;

  // Reads the card XML, UTF-8 or (when it is not valid UTF-8) Windows-1252;
  // texts come out in UTF-8. Today judges the century of card dates. A card
  // without a beneficiary list keeps listeBenef as it was. Raises
  // Vantrel::EXMLError when the text is no XML, std::runtime_error for a
  // malformed character reference in a text read.
  void Parse(std::string_view XML, Vantrel::TDateTime Today);
  void Parse(std::string_view XML) { Parse(XML, Vantrel::Now()); }
};

}  // namespace Talven::eSante
