#include "Talven.Carvelin.ErrorCodes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

using namespace Talven;

namespace {

struct TMessageCase {
  int Constant;
  int Code;
  std::string_view Message;
};

// Every code the client core answers, with the message the user reads.
constexpr TMessageCase MessageCases[] = {
    {ERR_OK, 0x0, "Aucune erreur"},
    {ERR_GENERAL, 0x1000, "La version demandée n'est pas supportée"},
    {ERR_CHANGEMENT_CARTE, 0x1001, "Un changement de carte a été détecté"},
    {ERR_SESSION, 0x1002, "La session n'est plus valide"},
    {ERR_INDEX, 0x1003, "Index non valide"},
    {ERR_DONNEES_VIDES, 0x1004, "L'ensemble de données est vide"},
    {ERR_INS_INVALIDE, 0x1005, "L'INS spécifié est invalide"},
    {ERR_CERTIFICAT, 0x1008, "Impossible de charger le certificat"},
    {ERR_PATIENT_MINEUR, 0x1009, "Le patient est mineur, vous devez définir le mode d'accès à son dossier"},
    {ERR_PATIENT_MAJEUR, 0x100A, "Le patient est majeur"},
    {ERR_CPS, 0x2000, "Problème d'initialisation de la Cryptolib CPS"},
    {ERR_CRYPTOLIB, 0x2001, "La Cryptolib a retourné une erreur inattendue"},
    {ERR_LECTEUR_ABSENT, 0x2002, "Lecteur de carte non détecté"},
    {ERR_CARTE_ABSENTE, 0x2003, "Carte non détectée"},
    {ERR_SESSION_CPS, 0x2004, "Impossible d'ouvrir le session CPS"},
    {ERR_CERTIFICAT_CPS, 0x2005, "Impossible de lire le certificat CPS"},
    {ERR_INFOS_CARTE, 0x2006, "Impossible de lire les informations sur la carte PS"},
    {ERR_NOM_PORTEUR, 0x2007, "Impossible de lire le nom sur la carte PS"},
    {ERR_INFOS_PORTEUR, 0x2008, "Impossible de lire les informations de la carte PS"},
    {ERR_CARTE_BLOQUEE, 0x2009, "La carte est vérouillée suite à trois la saisie de 3 codes invalides"},
    {ERR_CODE_INVALIDE, 0x200A, "Code de sécurité invalide"},
    {ERR_CPS_EXPIREE, 0x200B, "Carte CPS expirée"},
    {ERR_CPS_TEST, 0x200C, "Une carte CPS de TEST ne doit pas être utilisée en environnement réel"},
    {ERR_CPS_REELLE, 0x200D, "Une carte CPS réelle ne doit pas être utilisée en environnement de TEST"},
    {ERR_VITALE, 0x3000, "Impossible de charger l'API de lecture des cartes SESAM Vitale"},
    {ERR_API_LECTURE, 0x3001, "Erreur d'initialisation de l'API de lecture"},
    {ERR_VITALE_ABSENTE, 0x3002, "Carte Vitale non détectée"},
    {ERR_LECTURE_VITALE, 0x3003, "Impossible de lire la carte Vitale"},
    {ERR_CONTENU_VITALE, 0x3004, "Erreur lors du traitement du contenu de la carte Vitale"},
    {ERR_INS_PATIENT, 0x3005, "Impossible de déterminer l'INS du patient"},
    {ERR_VITALE_TEST, 0x3006, "Carte Vitale de test non acceptée en environnement de production"},
    {ERR_VITALE_REELLE, 0x3007, "Carte Vitale réelle non acceptée en environnement de test"},
    {ERR_VITALE_REQUISE, 0x3008, "Vous devez utiliser la carte Vitale pour cette fonctionalité"},
    {ERR_CONNEXION, 0x4000, "Erreur de connexion au serveur DMP"},
    {ERR_REQUETE_REFUSEE, 0x4001, "Requête refusée par le service DMP"},
    {ERR_DEPOT_INCERTAIN, 0x4002,
     "Le serveur DMP n'a pas répondu à temps : le document a peut-être été déposé. Vérifiez la liste des "
     "documents du patient avant de le déposer à nouveau"},
    {ERR_DMP, 0x5000, "Le DMP de ce patient est introuvable"},
    {ERR_REPONSE, 0x5001, "Traitement de la réponse impossible"},
    {ERR_TROP_DE_RESULTATS, 0x5002, "Nombre maximum de résultats dépassé. Veuillez restreindre vos critères de recherche."},
    {ERR_REQUETE_INVALIDE, 0x5003, "Requête invalide."},
    {ERR_ACCES_REFUSE, 0x5004, "Vous n'êtes pas autorisés à accéder à ce DMP."},
    {ERR_CIVILITE, 0x5005, "Code civilité invalide."},
    {ERR_NOM_USAGE, 0x5006, "Nom d'usage obligatoire."},
    {ERR_PRENOM, 0x5007, "Prénom obligatoire."},
    {ERR_DATE_NAISSANCE, 0x5008, "Date de naissance obligatoire."},
    {ERR_MOTIF, 0x5009, "Motif obligatoire."},
    {ERR_CANAL_CONTACT, 0x500A, "Vous devez indiquer une adresse email ou un numéro de mobile"},
    {ERR_ACCES_PATIENT_EXISTE, 0x500B, "L'accès patient existe déjà pour ce DMP."},
    {ERR_CANAL_EXISTE, 0x500C, "Ce canal existe déjà pour ce DMP."},
    {ERR_CERTIFICAT_SERVEUR, 0x500D, "Le certificat du serveur DMP est invalide"},
    {ERR_SEXE, 0x500E, "Le sexe est obligatoire"},
    {ERR_DOCUMENT_INTROUVABLE, 0x500F, "Document introuvable"},
    {ERR_GESTIONNAIRE_CERTIFICATS, 0x5010, "Assurez vous que le \"Gestionnaire de certificats CPS\" (CCM.exe) de l'ASIP Santé est actif."},
    {ERR_NIR, 0x5011, "Le NIR indiqué ne permet pas d'identifier le patient."},
    {ERR_ENS, 0x5012, "Cette fonctionnalité n'est accessible qu'à travers l'Espace Numérique de Santé / Mon espace santé"},
    {ERR_METADONNEES, 0x5013, "La requête comprend des informations invalides"},
    {ERR_PERIODE, 0x5014, "La période de recherche est trop large"},
    {ERR_DOCUMENT, 0x6000, "Type de document invalide"},
    {ERR_PATIENT_ID, 0x6001, "Identifiant du patient requis"},
    {ERR_CLASSE_DOCUMENT, 0x6002, "Classe de document invalide"},
    {ERR_CADRE_EXERCICE, 0x6003, "Cadre d'exercice invalide"},
    {ERR_DOCUMENT_VIDE, 0x6004, "Le document est vide"},
    {ERR_REMPLACEMENT, 0x6005, "Impossible de remplacer ce document"},
    {ERR_CDA, 0x6006, "Le CDA n'est pas conforme"},
    {ERR_VACCIN_ID, 0x6007, "Impossible de remplacer ce vaccin car son ID est inconnu"},
    {ERR_XOP, 0x7000, "Erreur de décodage du document xop/xml"},
    {ERR_XOP_DOCUMENT, 0x7001, "Document introuvable"},
    {ERR_PROGRAMME, 0x8000, "Un appel non conforme ou non encore développé"},
    {ERR_NON_SUPPORTE, 0x8001, "Cette fonction n'est plus supportée"},
    {ERR_HTTPS, 0x8002, "Erreur HTTPS, veuillez vérifier que Windows est à jour"},
    {ERR_PARAMETRE, 0x8003, "Un paramètre est invalide"},
    {ERR_EXCEPTION, 0x8004, "Une erreur imprévue s'est produite dans le code"},
    {ERR_INSI, 0x9000, "Patient introuvable"},
    {ERR_INSI_MULTIPLE, 0x9001, "Plusieurs patients trouvés avec ces critères"},
    {ERR_INSI_CONTROLE, 0x9002, "Le Référentiel national d'identitovigilance exige un contrôle de l'identité du patient"},
    {ERR_APPVITALE, 0xA000, "Une erreur s'est produite pendant la lecture de l'AppVitale"},
};

}  // namespace

TEST(ErrorCodes, every_code_has_its_message_and_named_constant) {
  for (const auto& C : MessageCases) {
    SCOPED_TRACE(C.Code);
    EXPECT_EQ(C.Constant, C.Code);
    EXPECT_TRUE(IsKnownError(C.Code));
    EXPECT_EQ(ErrorMessage(C.Code), C.Message);
  }
}

TEST(ErrorCodes, unlisted_codes_read_as_unknown) {
  // Gaps inside a family, the next family, negatives and the 32-bit extremes.
  for (int Code : {0x1006, 0x1007, 0x100B, 0x200E, 0x3009, 0x4003, 0x5015, 0x6008, 0x7002, 0x8005,
                   0x9003, 0xA001, 0xB000, 0x11002, -1, INT32_MIN, INT32_MAX}) {
    SCOPED_TRACE(Code);
    EXPECT_FALSE(IsKnownError(Code));
    EXPECT_EQ(ErrorMessage(Code), "Erreur non documentée ou inconnue");
  }
}

TEST(ErrorCodes, success_message_leaves_the_detail_alone) {
  TLastError E;
  EXPECT_EQ(E.GetErrMsg(0), "Aucune erreur");
  EXPECT_EQ(E.GetErrDetail(), "");
  E.SetError("HTTP/1.1 500 Internal Server Error");
  EXPECT_EQ(E.GetErrMsg(0), "Aucune erreur");
  EXPECT_EQ(E.GetErrDetail(), "HTTP/1.1 500 Internal Server Error");
}

TEST(ErrorCodes, unknown_code_fills_an_empty_detail_with_its_hex_digits) {
  struct {
    int Code;
    std::string_view Detail;
  } const Cases[] = {
      {0x1234, "00001234"}, {-1, "FFFFFFFF"}, {0xABCDEF, "00ABCDEF"}, {INT32_MIN, "80000000"}, {0x7FFFFFFF, "7FFFFFFF"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Code);
    TLastError E;
    EXPECT_EQ(E.GetErrMsg(C.Code), "Erreur non documentée ou inconnue");
    EXPECT_EQ(E.GetErrDetail(), C.Detail);
  }
}

TEST(ErrorCodes, unknown_code_keeps_a_detail_already_set) {
  TLastError E;
  E.SetError("DMPInternalError");
  EXPECT_EQ(E.GetErrMsg(0x1234), "Erreur non documentée ou inconnue");
  EXPECT_EQ(E.GetErrDetail(), "DMPInternalError");
}

TEST(ErrorCodes, known_failure_code_does_not_touch_the_detail) {
  TLastError E;
  EXPECT_EQ(E.GetErrMsg(ERR_SESSION), "La session n'est plus valide");
  EXPECT_EQ(E.GetErrDetail(), "");
  E.SetError("context");
  EXPECT_EQ(E.GetErrMsg(ERR_DOCUMENT_INTROUVABLE), "Document introuvable");
  EXPECT_EQ(E.GetErrMsg(ERR_XOP_DOCUMENT), "Document introuvable");
  EXPECT_EQ(E.GetErrDetail(), "context");
  E.Clear();
  EXPECT_EQ(E.GetErrDetail(), "");
}
