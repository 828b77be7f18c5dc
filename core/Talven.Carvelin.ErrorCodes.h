// The client core's error codes and their French messages, and the detail
// of the last failure that goes with them.
//
// Codes are grouped by family in the high nibble of a 16-bit value; the family
// values are codes too. 0 is success.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace Talven {

inline constexpr int ERR_OK                       = 0;

// 0x1000: general and session
inline constexpr int ERR_GENERAL                  = 0x1000;
inline constexpr int ERR_CHANGEMENT_CARTE         = 0x1001;
inline constexpr int ERR_SESSION                  = 0x1002;
inline constexpr int ERR_INDEX                    = 0x1003;
inline constexpr int ERR_DONNEES_VIDES            = 0x1004;
inline constexpr int ERR_INS_INVALIDE             = 0x1005;
inline constexpr int ERR_CERTIFICAT               = 0x1008;
inline constexpr int ERR_PATIENT_MINEUR           = 0x1009;
inline constexpr int ERR_PATIENT_MAJEUR           = 0x100A;

// 0x2000: CPS card and its module
inline constexpr int ERR_CPS                      = 0x2000;
inline constexpr int ERR_CRYPTOLIB                = 0x2001;
inline constexpr int ERR_LECTEUR_ABSENT           = 0x2002;
inline constexpr int ERR_CARTE_ABSENTE            = 0x2003;
inline constexpr int ERR_SESSION_CPS              = 0x2004;
inline constexpr int ERR_CERTIFICAT_CPS           = 0x2005;
inline constexpr int ERR_INFOS_CARTE              = 0x2006;
inline constexpr int ERR_NOM_PORTEUR              = 0x2007;
inline constexpr int ERR_INFOS_PORTEUR            = 0x2008;
inline constexpr int ERR_CARTE_BLOQUEE            = 0x2009;
inline constexpr int ERR_CODE_INVALIDE            = 0x200A;
inline constexpr int ERR_CPS_EXPIREE              = 0x200B;
inline constexpr int ERR_CPS_TEST                 = 0x200C;
inline constexpr int ERR_CPS_REELLE               = 0x200D;

// 0x3000: Vitale card and its reader library
inline constexpr int ERR_VITALE                   = 0x3000;
inline constexpr int ERR_API_LECTURE              = 0x3001;
inline constexpr int ERR_VITALE_ABSENTE           = 0x3002;
inline constexpr int ERR_LECTURE_VITALE           = 0x3003;
inline constexpr int ERR_CONTENU_VITALE           = 0x3004;
inline constexpr int ERR_INS_PATIENT              = 0x3005;
inline constexpr int ERR_VITALE_TEST              = 0x3006;
inline constexpr int ERR_VITALE_REELLE            = 0x3007;
inline constexpr int ERR_VITALE_REQUISE           = 0x3008;

// 0x4000: connection
inline constexpr int ERR_CONNEXION                = 0x4000;
inline constexpr int ERR_REQUETE_REFUSEE          = 0x4001;
inline constexpr int ERR_DEPOT_INCERTAIN          = 0x4002;  // a filing sent whose answer did not come in time

// 0x5000: service answers
inline constexpr int ERR_DMP                      = 0x5000;
inline constexpr int ERR_REPONSE                  = 0x5001;
inline constexpr int ERR_TROP_DE_RESULTATS        = 0x5002;
inline constexpr int ERR_REQUETE_INVALIDE         = 0x5003;
inline constexpr int ERR_ACCES_REFUSE             = 0x5004;
inline constexpr int ERR_CIVILITE                 = 0x5005;
inline constexpr int ERR_NOM_USAGE                = 0x5006;
inline constexpr int ERR_PRENOM                   = 0x5007;
inline constexpr int ERR_DATE_NAISSANCE           = 0x5008;
inline constexpr int ERR_MOTIF                    = 0x5009;
inline constexpr int ERR_CANAL_CONTACT            = 0x500A;
inline constexpr int ERR_ACCES_PATIENT_EXISTE     = 0x500B;
inline constexpr int ERR_CANAL_EXISTE             = 0x500C;
inline constexpr int ERR_CERTIFICAT_SERVEUR       = 0x500D;
inline constexpr int ERR_SEXE                     = 0x500E;
inline constexpr int ERR_DOCUMENT_INTROUVABLE     = 0x500F;
inline constexpr int ERR_GESTIONNAIRE_CERTIFICATS = 0x5010;
inline constexpr int ERR_NIR                      = 0x5011;
inline constexpr int ERR_ENS                      = 0x5012;
inline constexpr int ERR_METADONNEES              = 0x5013;
inline constexpr int ERR_PERIODE                  = 0x5014;

// 0x6000: document metadata and replacement
inline constexpr int ERR_DOCUMENT                 = 0x6000;
inline constexpr int ERR_PATIENT_ID               = 0x6001;
inline constexpr int ERR_CLASSE_DOCUMENT          = 0x6002;
inline constexpr int ERR_CADRE_EXERCICE           = 0x6003;
inline constexpr int ERR_DOCUMENT_VIDE            = 0x6004;
inline constexpr int ERR_REMPLACEMENT             = 0x6005;
inline constexpr int ERR_CDA                      = 0x6006;
inline constexpr int ERR_VACCIN_ID                = 0x6007;

// 0x7000: document decoding
inline constexpr int ERR_XOP                      = 0x7000;
inline constexpr int ERR_XOP_DOCUMENT             = 0x7001;

// 0x8000: program errors
inline constexpr int ERR_PROGRAMME                = 0x8000;
inline constexpr int ERR_NON_SUPPORTE             = 0x8001;
inline constexpr int ERR_HTTPS                    = 0x8002;
inline constexpr int ERR_PARAMETRE                = 0x8003;
inline constexpr int ERR_EXCEPTION                = 0x8004;

// 0x9000: identity teleservice
inline constexpr int ERR_INSI                     = 0x9000;
inline constexpr int ERR_INSI_MULTIPLE            = 0x9001;
inline constexpr int ERR_INSI_CONTROLE            = 0x9002;

// 0xA000: mobile Vitale application
inline constexpr int ERR_APPVITALE                = 0xA000;

// The message of a code; "Erreur non documentée ou inconnue" for a code
// that is not listed. Points to a constant of static storage.
std::string_view ErrorMessage(int ErrNo);
bool IsKnownError(int ErrNo);

// The detail of the last failure (the service's own text, an HTTP status
// line, an exception message...), kept by the service client root.
class TLastError {
 public:
  // The code's message. For an unknown code, an empty detail first becomes
  // the code as eight upper-case hexadecimal digits (-1 gives "FFFFFFFF").
  std::string_view GetErrMsg(int ErrNo);
  // The detail; "" when there is none.
  const std::string& GetErrDetail() const { return FError; }

  void SetError(std::string Detail) { FError = std::move(Detail); }
  void Clear() { FError.clear(); }

 private:
  std::string FError;
};

}  // namespace Talven
