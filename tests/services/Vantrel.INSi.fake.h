// A professional session for the identity-teleservice tests: card, holder,
// activity and certificate are plain fields; SignHash signs the SHA-256 hash
// with a software key as a card does, returned as Base64.
#pragma once

#include <string>

#include "Talven.Carvelin.Types.h"
#include "TestPKI.h"
#include "Vantrel.UTF8.Utils.h"

namespace INSiTest {

using namespace Talven;

class TFakeSession : public IVaspoCNX {
 public:
  TCarte Carte;
  TPorteur Porteur;
  TActivite Activite;
  bool HasPorteur = true;
  bool HasActivite = true;
  TCertificat Certificat;
  int CertStatus = 0;
  int SignStatus = 0;  // a non-zero value refuses to sign
  TestSupport::TSoftwareKey Key;
  std::string LastHash;

  const TCarte* GetCarte() override { return &Carte; }
  const TPorteur* GetPorteur() override { return HasPorteur ? &Porteur : nullptr; }
  const TActivite* CurrentActivite() override { return HasActivite ? &Activite : nullptr; }
  int GetCertificat(TCertificat* Cert) override {
    if (!Cert) return -1;
    if (CertStatus == 0) *Cert = Certificat;
    return CertStatus;
  }
  int SignHash(std::string_view Data, std::string_view& Digest) override {
    LastHash = Data;
    if (SignStatus != 0) return SignStatus;
    const std::string Signature = Key.SignDigest(Data, "SHA256");
    if (Signature.empty()) return -2;
    FSignature = Vantrel::Base64Encode(Signature);
    Digest = FSignature;
    return 0;
  }

  int DossierExiste(std::string_view, char, std::shared_ptr<IDossierMedical>&) override { return -1; }
  int GetDossiers(std::string_view, TDateMode, std::shared_ptr<IDossierList>&) override { return -1; }
  int GetPatients(const TRecherchePatients&, std::shared_ptr<IPatientList>&) override { return -1; }
  std::string GetServer() override { return {}; }
  void SetServer(std::string_view) override {}
  int rechercherInsAvecTraitsIdentite(const TINSiTraits&, const TINSiResponse*&) override { return -1; }
  void SetSpecAMO(std::string_view) override {}
  int GetAppVitale(std::string_view, std::shared_ptr<IAppVitale>&, bool) override { return -1; }
  int CloseAppVitale() override { return -1; }

 private:
  std::string FSignature;
};

}  // namespace INSiTest
