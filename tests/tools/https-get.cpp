// https-get [--cert PEM --key PEM] [--cafile PEM] [--raw] URL
// Fetches URL through the HTTP client over the own TLS engine and writes the
// body to standard output, the status line to standard error. With --raw
// the request goes straight over the engine's socket as HTTP/1.0 and
// everything the server sends until it ends the session is written out, for
// servers whose answers carry no length. Client
// authentication is answered in the engine's callbacks with a software key,
// the way the card answers it: the chain on request, then a PKCS #1 v1.5
// signature of the digest handed over.
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "TestPKI.h"
#include "Vantrel.HTTPClient.h"
#include "Vantrel.TinyTLS12.h"
#include "Vantrel.WinSSPI.h"

namespace {

int RawGet(const std::shared_ptr<Vantrel::TTLS>& TLS, const std::string& URL) {
  Vantrel::TURL U;
  U.Decode(URL, true);
  Vantrel::TTinyTLSSocket Socket(TLS);
  Socket.SetTimeout(20000);
  Socket.DoConnect(U.HostName, uint16_t(U.Port.empty() ? 443 : std::stoi(U.Port)), 20000);
  char Suite[8];
  std::snprintf(Suite, sizeof Suite, "%04X", TLS->CipherSuite());
  std::cerr << "cipher suite 0x" << Suite << ", group " << int(TLS->NamedCurve()) << "\n";
  std::string Request = "GET " + (U.URI.empty() ? std::string("/") : U.URI) + " HTTP/1.0\r\nHost: " + U.HostName +
                        "\r\n\r\n";
  Socket.SendStream(Request);
  char Buffer[16384];
  try {
    for (;;) {
      int Got = Socket.Read(Buffer, sizeof Buffer);
      std::cout.write(Buffer, Got);
    }
  } catch (const Vantrel::EClosedSocketError& E) {
    std::cerr << E.what() << "\n";
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string Cert, KeyFile, CAFile, URL;
  bool Raw = false;
  for (int I = 1; I < argc; ++I) {
    std::string Arg = argv[I];
    if ((Arg == "--cert" || Arg == "--key" || Arg == "--cafile") && I + 1 < argc) {
      (Arg == "--cert" ? Cert : Arg == "--key" ? KeyFile : CAFile) = argv[++I];
    } else if (Arg == "--raw") {
      Raw = true;
    } else if (URL.empty() && Arg.rfind("--", 0) != 0) {
      URL = Arg;
    } else {
      std::cerr << "usage: https-get [--cert PEM --key PEM] [--cafile PEM] URL\n";
      return 2;
    }
  }
  if (URL.empty() || Cert.empty() != KeyFile.empty()) {
    std::cerr << "usage: https-get [--cert PEM --key PEM] [--cafile PEM] URL\n";
    return 2;
  }
  try {
    auto TLS = std::make_shared<Vantrel::TTLS>();
    Vantrel::SetExtraCAFile(CAFile);
    if (!Cert.empty()) {
      auto Chain = TestSupport::CertificatesDER(Cert);
      TestSupport::TSoftwareKey Key(KeyFile);
      TLS->OnCertificateRequest = [Chain](Vantrel::TTinyTLS&, std::vector<std::string>& Certificates) {
        Certificates = Chain;
      };
      TLS->OnCertificateVerify = [Key](Vantrel::TTinyTLS&, const std::string& Hash, std::string& Signature) {
        Signature = Key.SignDigest(Hash);
      };
    }
    if (Raw) return RawGet(TLS, URL);
    Vantrel::THTTPClient Client;
    Client.ReplaceTLS(TLS);
    Client.SetTimeout(20000);
    std::string Body;
    Client.Get(URL, Body);
    std::cerr << Client.Response() << "\n";
    std::cout.write(Body.data(), std::streamsize(Body.size()));
    return Client.ResponseCode() >= 200 && Client.ResponseCode() < 400 ? 0 : 1;
  } catch (const Vantrel::ECertException& E) {
    char Code[16];
    std::snprintf(Code, sizeof Code, "%08X", E.Status());
    std::cerr << E.what() << " 0x" << Code << "\n";
  } catch (const std::exception& E) {
    std::cerr << E.what() << "\n";
  }
  return 1;
}
