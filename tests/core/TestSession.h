// A card session for the root's tests until the CPS card session exists: a
// training card whose hooks sign with the test PKI's software client key,
// also for the teleservice's assertions (GetCertificat, SignHash).
#pragma once

#include <string>
#include <string_view>

#include "Talven.Carvelin.Hosts.h"
#include "Talven.Carvelin.Objects.h"
#include "TestPKI.h"
#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.XML.XDSb.XAdES.h"

namespace CoreTest {

class TTestSession : public Talven::TVaspoCNX {
 public:
  explicit TTestSession(bool Training = true)
      : FKey(TestSupport::PKIFile("client.key")),
        FCertificate(TestSupport::CertificatesDER(TestSupport::PKIFile("client.pem")).front()) {
    Info.Carte.Categorie = Training ? 0x80 : 0;
    Info.Carte.IdCarte = "2800012345";
    Info.Porteur.IdNational = "899700012345";
    Info.Porteur.Nom = "TEST";
    Info.Porteur.Prenom = "Jean";
    const Talven::THostsEnvironment Hosts = Talven::HostsConfig().Environment(Training);
    Info.DMP_Server = Hosts.DMP_Server;
    Info.AccesWeb = Hosts.WebAccessBase();
    Cert = FCertificate;
  }

  bool CardPresent = true;
  int SignCount = 0;

  int GetCertificat(Talven::TCertificat* Certificat) override {
    if (!Certificat) return Talven::ERR_PARAMETRE;
    *Certificat = {"CN=Docteur Jean Test", FCertificate, true};
    return Talven::ERR_OK;
  }
  // The Base64 PKCS #1 v1.5 signature of a digest, as the card session gives it.
  int SignData(std::string_view Hash, std::string& Signature) override {
    Signature = Vantrel::Base64Encode(FKey.SignDigest(Hash));
    return Signature.empty() ? Talven::ERR_CPS : Talven::ERR_OK;
  }

  bool IsCardSession() override { return true; }
  // The card session's rule: the production host takes production cards only.
  int CardEnvironmentMismatch() override {
    const bool OnProduction = Info.DMP_Server == Talven::HostsConfig().Production.DMP_Server;
    const bool Training = (Info.Carte.Categorie & 0x80) != 0;
    if (!OnProduction && !Training) return Talven::ERR_CPS_REELLE;
    if (OnProduction && Training) return Talven::ERR_CPS_TEST;
    return Talven::ERR_OK;
  }
  bool CheckCard() override { return CardPresent; }
  std::string AuthCertificate() override { return FCertificate; }
  // The key signs a digest; a card signs the DigestInfo it is given, so
  // take the digest back out and check that the prefix was the right one.
  std::string SignDigestInfo(std::string_view DigestInfo) override {
    ++SignCount;
    for (size_t Length : {20, 32, 48}) {
      if (DigestInfo.size() <= Length) continue;
      const std::string_view Digest = DigestInfo.substr(DigestInfo.size() - Length);
      if (Vantrel::PKCS1DigestInfo(Digest) == DigestInfo) return FKey.SignDigest(Digest);
    }
    return {};
  }

 private:
  TestSupport::TSoftwareKey FKey;
  std::string FCertificate;
};

}  // namespace CoreTest
