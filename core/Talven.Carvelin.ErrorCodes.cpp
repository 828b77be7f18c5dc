#include "Talven.Carvelin.ErrorCodes.h"

#include <cstdint>

namespace Talven {

namespace {

struct TErrorText {
  int Code;
  std::string_view Message;
};

constexpr TErrorText ErrorTexts[] = {
    {ERR_OK, "Aucune erreur"},
    {ERR_GENERAL, "La version demandée n'est pas supportée"},
    {ERR_CHANGEMENT_CARTE, "Un changement de carte a été détecté"},
    {ERR_SESSION, "La session n'est plus valide"},
    {ERR_INDEX, "Index non valide"},
    {ERR_DONNEES_VIDES, "L'ensemble de données est vide"},
    {ERR_INS_INVALIDE, "L'INS spécifié est invalide"},
    {ERR_CERTIFICAT, "Impossible de charger le certificat"},
    {ERR_PATIENT_MINEUR, "Le patient est mineur, vous devez définir le mode d'accès à son dossier"},
    {ERR_PATIENT_MAJEUR, "Le patient est majeur"},
    {ERR_CPS, "Problème d'initialisation de la Cryptolib CPS"},
    {ERR_CRYPTOLIB, "La Cryptolib a retourné une erreur inattendue"},
    {ERR_LECTEUR_ABSENT, "Lecteur de carte non détecté"},
    {ERR_CARTE_ABSENTE, "Carte non détectée"},
    {ERR_SESSION_CPS, "Impossible d'ouvrir le session CPS"},
    {ERR_CERTIFICAT_CPS, "Impossible de lire le certificat CPS"},
    {ERR_INFOS_CARTE, "Impossible de lire les informations sur la carte PS"},
    {ERR_NOM_PORTEUR, "Impossible de lire le nom sur la carte PS"},
    {ERR_INFOS_PORTEUR, "Impossible de lire les informations de la carte PS"},
    {ERR_CARTE_BLOQUEE, "La carte est vérouillée suite à trois la saisie de 3 codes invalides"},
    {ERR_CODE_INVALIDE, "Code de sécurité invalide"},
    {ERR_CPS_EXPIREE, "Carte CPS expirée"},
    {ERR_CPS_TEST, "Une carte CPS de TEST ne doit pas être utilisée en environnement réel"},
    {ERR_CPS_REELLE, "Une carte CPS réelle ne doit pas être utilisée en environnement de TEST"},
    {ERR_VITALE, "Impossible de charger l'API de lecture des cartes SESAM Vitale"},
    {ERR_API_LECTURE, "Erreur d'initialisation de l'API de lecture"},
    {ERR_VITALE_ABSENTE, "Carte Vitale non détectée"},
    {ERR_LECTURE_VITALE, "Impossible de lire la carte Vitale"},
    {ERR_CONTENU_VITALE, "Erreur lors du traitement du contenu de la carte Vitale"},
    {ERR_INS_PATIENT, "Impossible de déterminer l'INS du patient"},
    {ERR_VITALE_TEST, "Carte Vitale de test non acceptée en environnement de production"},
    {ERR_VITALE_REELLE, "Carte Vitale réelle non acceptée en environnement de test"},
    {ERR_VITALE_REQUISE, "Vous devez utiliser la carte Vitale pour cette fonctionalité"},
    {ERR_CONNEXION, "Erreur de connexion au serveur DMP"},
    {ERR_REQUETE_REFUSEE, "Requête refusée par le service DMP"},
    {ERR_DEPOT_INCERTAIN,
     "Le serveur DMP n'a pas répondu à temps : le document a peut-être été déposé. Vérifiez la liste des "
     "documents du patient avant de le déposer à nouveau"},
    {ERR_DMP, "Le DMP de ce patient est introuvable"},
    {ERR_REPONSE, "Traitement de la réponse impossible"},
    {ERR_TROP_DE_RESULTATS, "Nombre maximum de résultats dépassé. Veuillez restreindre vos critères de recherche."},
    {ERR_REQUETE_INVALIDE, "Requête invalide."},
    {ERR_ACCES_REFUSE, "Vous n'êtes pas autorisés à accéder à ce DMP."},
    {ERR_CIVILITE, "Code civilité invalide."},
    {ERR_NOM_USAGE, "Nom d'usage obligatoire."},
    {ERR_PRENOM, "Prénom obligatoire."},
    {ERR_DATE_NAISSANCE, "Date de naissance obligatoire."},
    {ERR_MOTIF, "Motif obligatoire."},
    {ERR_CANAL_CONTACT, "Vous devez indiquer une adresse email ou un numéro de mobile"},
    {ERR_ACCES_PATIENT_EXISTE, "L'accès patient existe déjà pour ce DMP."},
    {ERR_CANAL_EXISTE, "Ce canal existe déjà pour ce DMP."},
    {ERR_CERTIFICAT_SERVEUR, "Le certificat du serveur DMP est invalide"},
    {ERR_SEXE, "Le sexe est obligatoire"},
    {ERR_DOCUMENT_INTROUVABLE, "Document introuvable"},
    {ERR_GESTIONNAIRE_CERTIFICATS, "Assurez vous que le \"Gestionnaire de certificats CPS\" (CCM.exe) de l'ASIP Santé est actif."},
    {ERR_NIR, "Le NIR indiqué ne permet pas d'identifier le patient."},
    {ERR_ENS, "Cette fonctionnalité n'est accessible qu'à travers l'Espace Numérique de Santé / Mon espace santé"},
    {ERR_METADONNEES, "La requête comprend des informations invalides"},
    {ERR_PERIODE, "La période de recherche est trop large"},
    {ERR_DOCUMENT, "Type de document invalide"},
    {ERR_PATIENT_ID, "Identifiant du patient requis"},
    {ERR_CLASSE_DOCUMENT, "Classe de document invalide"},
    {ERR_CADRE_EXERCICE, "Cadre d'exercice invalide"},
    {ERR_DOCUMENT_VIDE, "Le document est vide"},
    {ERR_REMPLACEMENT, "Impossible de remplacer ce document"},
    {ERR_CDA, "Le CDA n'est pas conforme"},
    {ERR_VACCIN_ID, "Impossible de remplacer ce vaccin car son ID est inconnu"},
    {ERR_XOP, "Erreur de décodage du document xop/xml"},
    {ERR_XOP_DOCUMENT, "Document introuvable"},
    {ERR_PROGRAMME, "Un appel non conforme ou non encore développé"},
    {ERR_NON_SUPPORTE, "Cette fonction n'est plus supportée"},
    {ERR_HTTPS, "Erreur HTTPS, veuillez vérifier que Windows est à jour"},
    {ERR_PARAMETRE, "Un paramètre est invalide"},
    {ERR_EXCEPTION, "Une erreur imprévue s'est produite dans le code"},
    {ERR_INSI, "Patient introuvable"},
    {ERR_INSI_MULTIPLE, "Plusieurs patients trouvés avec ces critères"},
    {ERR_INSI_CONTROLE, "Le Référentiel national d'identitovigilance exige un contrôle de l'identité du patient"},
    {ERR_APPVITALE, "Une erreur s'est produite pendant la lecture de l'AppVitale"},
};

constexpr std::string_view UnknownErrorMessage = "Erreur non documentée ou inconnue";

const TErrorText* FindError(int ErrNo) {
  for (const auto& Row : ErrorTexts)
    if (Row.Code == ErrNo) return &Row;
  return nullptr;
}

// The code's 32 bits as eight upper-case hexadecimal digits.
std::string HexCode(int ErrNo) {
  static constexpr char Digits[] = "0123456789ABCDEF";
  const auto Bits = static_cast<uint32_t>(ErrNo);
  std::string Text(8, '0');
  for (int I = 0; I < 8; ++I) Text[size_t(7 - I)] = Digits[(Bits >> (4 * I)) & 0xF];
  return Text;
}

}  // namespace

std::string_view ErrorMessage(int ErrNo) {
  const TErrorText* Row = FindError(ErrNo);
  return Row ? Row->Message : UnknownErrorMessage;
}

bool IsKnownError(int ErrNo) { return FindError(ErrNo) != nullptr; }

std::string_view TLastError::GetErrMsg(int ErrNo) {
  if (!IsKnownError(ErrNo) && FError.empty()) FError = HexCode(ErrNo);
  return ErrorMessage(ErrNo);
}

}  // namespace Talven
