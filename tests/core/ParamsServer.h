// openssl s_server as the parameters site: TLS 1.2, a client certificate
// required against the test PKI's trust.pem, and only the client signature
// algorithms SigAlgs ("RSA+SHA1", "RSA+SHA384") allowed for its
// CertificateVerify. It serves a parameters document whose majority age is
// 17, so a root that reads it shows the handshake went through.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "Talven.Carvelin.Hosts.h"
#include "TestPKI.h"
#include "TestServer.h"
#include "TestSupport.h"

namespace CoreTest {

class TParamsServer {
 public:
  static constexpr int AgeMajorite = 17;

  explicit TParamsServer(const std::string& SigAlgs) : Port(TestSupport::FreePort()) {
    const auto Site = FDir / "site";
    std::filesystem::create_directories(Site / "web/dmp/documents");
    // -HTTP serves the file as the whole answer: -WWW sends no length and no
    // "Connection: close", which the HTTP client refuses ("No content-length").
    const std::string Document =
        "<dmp-parameters><parameter-list code=\"param-si-dmp\"><parameter code=\"age-majorite\" value=\"" +
        std::to_string(AgeMajorite) + "\"/></parameter-list></dmp-parameters>";
    TestSupport::WriteFile(Site / "web/dmp/documents/param-lps",
                           "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
                               std::to_string(Document.size()) + "\r\n\r\n" + Document);
    FProcess = std::make_unique<HTTPTest::TServerProcess>(std::vector<std::string>{
        "sh", "-c",
        "cd '" + Site.string() + "' && exec openssl s_server -tls1_2 -accept 127.0.0.1:" + std::to_string(Port) +
            " -cert '" + TestSupport::PKIFile("server.pem") + "' -key '" + TestSupport::PKIFile("server.key") +
            "' -Verify 1 -CAfile '" + TestSupport::PKIFile("trust.pem") + "' -client_sigalgs " + SigAlgs +
            " -cipher 'DEFAULT:@SECLEVEL=0' -HTTP"});
    for (std::string Line; FProcess->Started() && !(Line = FProcess->ReadLine()).empty();)
      if (Line == "ACCEPT") {
        Ready = true;
        break;
      }
  }

  // Hosts whose training parameters site is this server, trusted through trust.pem.
  Talven::THostsConfig Hosts(Talven::THostsConfig Base = Talven::DefaultHostsConfig()) const {
    Base.Formation.ParamSite = "https://127.0.0.1:" + std::to_string(Port);
    Base.ExtraCAFile = TestSupport::PKIFile("trust.pem");
    return Base;
  }

  const int Port;
  bool Ready = false;

 private:
  TestSupport::TempDir FDir;
  std::unique_ptr<HTTPTest::TServerProcess> FProcess;
};

}  // namespace CoreTest
