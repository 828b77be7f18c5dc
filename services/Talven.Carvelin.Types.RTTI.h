// Type descriptors of the service records that travel as JSON to host
// programs (the card, its holder and activity, patients, records,
// documents, identity-teleservice answers). Members are the records'
// fields in declaration order, under their declared names.
#pragma once

#include <optional>

#include "Talven.Carvelin.Types.h"
#include "Vantrel.RTTI.h"

namespace Talven {

// An optional record is written as its value, or null when it is empty.
template <class T>
Vantrel::TTypeInfo DescribeType(Vantrel::TTypeTag<std::optional<T>>) {
  Vantrel::TTypeInfo Info;
  Info.Kind = Vantrel::TTypeKind::tkPointer;
  Info.Name = "Pointer";
  Info.Size = sizeof(std::optional<T>);
  Info.ElementOf = &Vantrel::TypeInfo<T>;
  Info.Target = [](const void* D) -> const void* {
    const auto& O = *static_cast<const std::optional<T>*>(D);
    return O ? &*O : nullptr;
  };
  return Vantrel::detail::Finish(std::move(Info));
}

VANTREL_RECORD(TCivilite, VANTREL_FIELD(Code), VANTREL_FIELD(Nom))
VANTREL_RECORD(TEntite, VANTREL_FIELD(Code), VANTREL_FIELD(Nom), VANTREL_FIELD(OID))
VANTREL_RECORD(TRole, VANTREL_FIELD(Code), VANTREL_FIELD(Nom), VANTREL_FIELD(OID))
VANTREL_RECORD(TCarte, VANTREL_FIELD(Emetteur), VANTREL_FIELD(IdCarte), VANTREL_FIELD(Categorie),
               VANTREL_FIELD(DebutValidite), VANTREL_FIELD(FinValidite))
VANTREL_RECORD(TPorteur, VANTREL_FIELD(TypeCarte), VANTREL_FIELD(IdNational), VANTREL_FIELD(Civilite),
               VANTREL_FIELD(Nom), VANTREL_FIELD(Prenom), VANTREL_FIELD(Entite), VANTREL_FIELD(Profession),
               VANTREL_FIELD(Specialite), VANTREL_FIELD(NomNaissance))
VANTREL_RECORD(TActivite, VANTREL_FIELD(Numero), VANTREL_FIELD(Statut), VANTREL_FIELD(Entite),
               VANTREL_FIELD(IdNational), VANTREL_FIELD(RaisonSociale), VANTREL_FIELD(Pharmacien),
               VANTREL_FIELD(NumFacturation))
VANTREL_RECORD(TIdentifiantNationalDeSante, VANTREL_FIELD(Code), VANTREL_FIELD(Type), VANTREL_FIELD(OID))
VANTREL_RECORD(TIdentite, VANTREL_FIELD(Civilite), VANTREL_FIELD(NomUsage), VANTREL_FIELD(NomNaissance),
               VANTREL_FIELD(Prenom), VANTREL_FIELD(DateNaissance), VANTREL_FIELD(Sexe))
VANTREL_RECORD(TPatientInfo, VANTREL_FIELD(INSC), VANTREL_FIELD(INSi), VANTREL_FIELD(Identite))
VANTREL_RECORD(TFermeture, VANTREL_FIELD(Date), VANTREL_FIELD(Code), VANTREL_FIELD(Motif))
VANTREL_RECORD(TDossierInfo, VANTREL_FIELD(Patient), VANTREL_FIELD(StatutMT), VANTREL_FIELD(Autorisation),
               VANTREL_FIELD(Fermeture), VANTREL_FIELD(AccesWeb), VANTREL_FIELD(Mineur), VANTREL_FIELD(Secret),
               VANTREL_FIELD(ENS))
VANTREL_RECORD(TDossierItem, VANTREL_FIELD(Patient), VANTREL_FIELD(StatutMT), VANTREL_FIELD(DateModification),
               VANTREL_FIELD(DateDernierAcces), VANTREL_FIELD(DateDernierDocument))
VANTREL_RECORD(TPatientItem, VANTREL_FIELD(Patient), VANTREL_FIELD(oppositionUrgence))
VANTREL_RECORD(TDocumentInfo, VANTREL_FIELD(Nom), VANTREL_FIELD(Auteur), VANTREL_FIELD(DateCreation),
               VANTREL_FIELD(Categorie), VANTREL_FIELD(Extension), VANTREL_FIELD(Commentaire), VANTREL_FIELD(Taille),
               VANTREL_FIELD(CadreExercice), VANTREL_FIELD(DateDebut), VANTREL_FIELD(DateFin),
               VANTREL_FIELD(UniqueID), VANTREL_FIELD(Visibilite), VANTREL_FIELD(Statut),
               VANTREL_FIELD(DocumentPatient), VANTREL_FIELD(DocumentSource), VANTREL_FIELD(Version))
VANTREL_RECORD(TINSiResponse, VANTREL_FIELD(Balise), VANTREL_FIELD(INS), VANTREL_FIELD(OID), VANTREL_FIELD(INSType),
               VANTREL_FIELD(Nom), VANTREL_FIELD(Prenom), VANTREL_FIELD(Prenoms), VANTREL_FIELD(Sexe),
               VANTREL_FIELD(DateNaissance), VANTREL_FIELD(LieuNaissance))

}  // namespace Talven
