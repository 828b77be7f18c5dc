// Service utilities: proxy selection against Python's urllib, the strict
// date parsers and size text, downloads from nginx and archives made by
// Python's zipfile.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "TestServer.h"
#include "Talven.Carvelin.Utils.Network.h"
#include "TestSupport.h"
#include "Vantrel.HTTPClient.h"

using namespace Talven;
namespace fs = std::filesystem;

TEST(ServiceUtils, french_and_hl7_dates_parse_strictly) {
  struct Case { const char* Text; const char* Expected; } Cases[] = {
      {"05/03/2024", "2024-03-05 00:00:00"},
      {"05/03/2024 14:30", "2024-03-05 14:30:00"},
      {"05/03/2024 14:30:15", "2024-03-05 14:30:15"},
      {"05/03/2024 14h30", "2024-03-05 00:00:00"},
      {"05/03/2024 14:30:1", "2024-03-05 14:30:00"},
      {"05/03/2024 and more", "2024-03-05 00:00:00"},
      {"5/03/2024", ""},
      {"05/3/2024", ""},
      {"05-03-2024", ""},
      {"05/03/24", ""},
      {"", ""},
  };
  for (const auto& K : Cases) {
    Vantrel::TDateTime V = ParseDateFR(K.Text);
    EXPECT_EQ(V ? Vantrel::FormatDateTime("yyyy-mm-dd hh:nn:ss", V) : "", K.Expected) << K.Text;
  }
  EXPECT_EQ(Vantrel::FormatDateTime("yyyy-mm-dd", ParseDateHL7("20240229")), "2024-02-29");
  EXPECT_EQ(ParseDateHL7("2024022"), 0);
  EXPECT_EQ(ParseDateHL7("2024-02-29"), 0);
  EXPECT_EQ(ParseDateTimeFR("05/03/2024"), 0);
  EXPECT_EQ(Vantrel::FormatDateTime("dd/mm/yyyy hh:nn", ParseDateTimeFR("05/03/2024 09:05")), "05/03/2024 09:05");
  for (const char* Impossible : {"31/02/2024", "01/13/2024", "01/01/2024 24:00", "20241301"}) {
    EXPECT_THROW(std::string_view(Impossible).find('/') != std::string_view::npos ? ParseDateFR(Impossible)
                                                                                : ParseDateHL7(Impossible),
                 std::invalid_argument)
        << Impossible;
  }
}

TEST(ServiceUtils, digit_and_character_readers_advance_as_told) {
  size_t Pos = 0;
  int N = -1;
  EXPECT_FALSE(ReadDigitsW("12x4", Pos, N, 4));
  EXPECT_EQ(N, 12);
  EXPECT_EQ(Pos, 2u);
  EXPECT_FALSE(MatchCharW("12x4", Pos, '/'));
  EXPECT_EQ(Pos, 3u);
  EXPECT_FALSE(MatchCharW("12x4", Pos = 4, '4'));  // past the end
  EXPECT_EQ(Pos, 5u);
}

TEST(ServiceUtils, size_text_rounds_to_the_nearest_unit) {
  struct Case { int64_t Bytes; const char* Text; } Cases[] = {
      {0, "0 Ko"},          {511, "0 Ko"},          {512, "1 Ko"},       {1536, "2 Ko"},
      {1048063, "1023 Ko"}, {1048064, "1 Mo"},      {1048576, "1 Mo"},   {1572864, "2 Mo"},
      {1073741824, "1 Go"}, {5368709120, "5 Go"},
  };
  for (auto K : Cases) EXPECT_EQ(SizeTextKo(K.Bytes), K.Text) << K.Bytes;
}

using TestSupport::SetProxyEnvironment;

TEST(ServiceUtils, proxy_selection_agrees_with_python_urllib) {
  // Python's own reading of the same environment: "host:port" or "DIRECT".
  const char* Script = R"(
import sys, urllib.parse, urllib.request
url = urllib.parse.urlsplit(sys.argv[1])
proxies = urllib.request.getproxies_environment()
proxy = proxies.get(url.scheme)
if not proxy or urllib.request.proxy_bypass_environment(url.hostname, proxies):
    print("DIRECT")
else:
    p = urllib.parse.urlsplit(proxy if "://" in proxy else "http://" + proxy)
    print("%s:%d" % (p.hostname, p.port or 1080))
)";
  struct Case { const char *Http, *Https, *NoProxy, *URL; } Cases[] = {
      {"http://proxy.local:3128", nullptr, nullptr, "http://example.fr/x"},
      {"http://proxy.local:3128/", nullptr, nullptr, "https://example.fr/x"},
      {nullptr, "http://secure.local:8443", nullptr, "https://example.fr/x"},
      {"http://user:pw@proxy.local:3128", nullptr, nullptr, "http://example.fr/"},
      {"http://proxy.local", nullptr, nullptr, "http://example.fr/"},
      {"http://proxy.local:3128", nullptr, "example.fr", "http://www.example.fr/"},
      {"http://proxy.local:3128", nullptr, ".example.fr", "http://EXAMPLE.fr/"},
      {"http://proxy.local:3128", nullptr, "ample.fr", "http://example.fr/"},
      {"http://proxy.local:3128", nullptr, "localhost, 127.0.0.1", "http://127.0.0.1:8080/"},
      {"http://proxy.local:3128", "http://proxy.local:3129", "*", "https://example.fr/"},
      {"http://proxy.local:3128", nullptr, "other.fr,,example.fr", "http://a.b.example.fr/"},
  };
  for (const auto& K : Cases) {
    SetProxyEnvironment(K.Http, K.Https, K.NoProxy);
    auto Python = TestSupport::RunPython(Script, {K.URL});
    ASSERT_EQ(Python.Status, 0) << Python.Err;
    TProxyInfo Info;
    EXPECT_EQ(GetProxyForURL(K.URL, Info), 0);
    EXPECT_EQ(Info.ProxyURL.empty() ? "DIRECT\n" : Info.ProxyURL + "\n", Python.Out) << K.URL;
    EXPECT_EQ(Info.ProxyBypass, K.NoProxy ? K.NoProxy : "");

    TProxyParams Params{"stale", 1};
    SetSystemProxy(Params, K.URL);
    if (Info.ProxyURL.empty()) {
      EXPECT_EQ(Params.ProxyServer, "");
      EXPECT_EQ(Params.ProxyPort, 0);
    } else {
      EXPECT_EQ(Params.ProxyServer + ":" + std::to_string(Params.ProxyPort), Info.ProxyURL);
    }
    Vantrel::THTTPClient Client;
    Client.SetProxy("stale", 1);
    SetSystemProxy(Client, K.URL);
    EXPECT_EQ(Client.ProxyHost(), Params.ProxyServer);
    EXPECT_EQ(Client.ProxyPort(), Params.ProxyPort);
  }
  SetProxyEnvironment("http://a:1,b:2", nullptr, nullptr);  // a list is no proxy setting
  TProxyParams Params;
  EXPECT_THROW(SetSystemProxy(Params, "http://example.fr/"), std::invalid_argument);
  SetProxyEnvironment(nullptr, nullptr, nullptr);
}

namespace {

// An https connection carried as plain TCP, so that a local nginx serves
// what the program fetches with https.
class TPassThroughTLSSocket : public Vantrel::TCustomTLSSocket {
 protected:
  void StartTLS() override {}
};

size_t TempFilesNow() {
  size_t N = 0;
  for (const auto& E : fs::directory_iterator(fs::temp_directory_path()))
    N += E.path().filename().string().starts_with("carvelin-") && E.path().extension() == ".tmp";
  return N;
}

}  // namespace

TEST(ServiceUtils, downloads_follow_a_few_redirects_and_fail_cleanly) {
  SKIP_UNLESS_TOOL("nginx");
  TestSupport::TempDir Dir;
  HTTPTest::TNginx Nginx(Dir.Path(),
                         "location = /moved { return 302 /files/data.bin; }\n"
                         "location = /relative/x { return 301 ../files/data.bin; }\n"
                         "location = /loop { return 302 /loop; }\n");
  ASSERT_TRUE(Nginx.Ready) << TestSupport::ReadFile(Dir / "error.log");
  const std::string Data = TestSupport::RandomBytes(70000, 3);
  fs::create_directory(Nginx.Root / "files");
  TestSupport::WriteFile(Nginx.Root / "files" / "data.bin", Data);

  for (const char* Path : {"/files/data.bin", "/moved", "/relative/x"}) {
    std::string Bytes = "stale";
    DownloadBytes(Nginx.URL(Path), Bytes);
    EXPECT_EQ(Bytes, Data) << Path;
  }
  EXPECT_EQ(DownloadText(Nginx.URL("/files/data.bin")), Data);
  for (const char* Path : {"/loop", "/absent"}) {
    std::string Bytes = "stale";
    DownloadBytes(Nginx.URL(Path), Bytes);
    EXPECT_EQ(Bytes, "") << Path;
  }

  size_t Before = TempFilesNow();
  std::string File;
  DownloadToTempFile(Nginx.URL("/files/data.bin"), File);
  ASSERT_FALSE(File.empty());
  EXPECT_EQ(TestSupport::ReadFile(File), Data);
  struct stat St;
  ASSERT_EQ(stat(File.c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0600u);
  fs::remove(File);
  File = "stale";
  DownloadToTempFile("http://127.0.0.1:" + std::to_string(TestSupport::FreePort()) + "/x", File);
  EXPECT_EQ(File, "");
  DownloadToTempFile(Nginx.URL("/absent"), File);
  EXPECT_EQ(File, "");
  EXPECT_EQ(TempFilesNow(), Before);
}

TEST(ServiceUtils, service_file_is_fetched_with_https_and_unpacked_inside_its_folder) {
  SKIP_UNLESS_TOOL("nginx");
  TestSupport::TempDir Dir;
  HTTPTest::TNginx Nginx(Dir.Path());
  ASSERT_TRUE(Nginx.Ready) << TestSupport::ReadFile(Dir / "error.log");
  fs::create_directory(Nginx.Root / "files");
  auto Zip = TestSupport::RunPython(R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("good.txt", "good")
    z.writestr("sub/inner.txt", "inner " * 1000)
    z.writestr("empty/", "")
    z.writestr("../evil.txt", "evil")
    z.writestr("sub/../../evil2.txt", "evil")
    z.writestr("/tmp/carvelin-absolute-entry.txt", "evil")
    link = zipfile.ZipInfo("link")
    link.create_system = 3
    link.external_attr = 0o120777 << 16
    z.writestr(link, "/etc/passwd")
)", {(Nginx.Root / "files" / "Pack.ZIP").string()});
  ASSERT_EQ(Zip.Status, 0) << Zip.Err;

  const fs::path Dest = Dir / "dest";
  fs::create_directory(Dest);
  SetServiceFileHost("");
  EXPECT_FALSE(DownloadServiceFile(Dest, "Pack.ZIP"));  // no service configured

  Vantrel::RegisterTLSSocketMaker(Vantrel::TTLSEngine::TinyTLS,
                                  [](Vantrel::TCustomHTTPClient&) { return std::make_unique<TPassThroughTLSSocket>(); });
  SetServiceFileHost("127.0.0.1:" + std::to_string(Nginx.Port));
  EXPECT_FALSE(DownloadServiceFile(Dest, "../Pack.ZIP"));
  EXPECT_FALSE(DownloadServiceFile(Dest, "absent.zip"));
  EXPECT_FALSE(fs::exists(Dest / "absent.zip"));
  EXPECT_TRUE(DownloadServiceFile(Dest, "Pack.ZIP"));
  Vantrel::RegisterTLSSocketMaker(Vantrel::TTLSEngine::TinyTLS, {});
  SetServiceFileHost("");

  EXPECT_EQ(TestSupport::ReadFile(Dest / "Pack.ZIP"), TestSupport::ReadFile(Nginx.Root / "files" / "Pack.ZIP"));
  EXPECT_EQ(TestSupport::ReadFile(Dest / "good.txt"), "good");
  EXPECT_EQ(TestSupport::ReadFile(Dest / "sub" / "inner.txt").size(), 6000u);
  EXPECT_TRUE(fs::is_directory(Dest / "empty"));
  EXPECT_FALSE(fs::exists(Dir / "evil.txt"));
  EXPECT_FALSE(fs::exists(Dir / "evil2.txt"));
  EXPECT_FALSE(fs::exists("/tmp/carvelin-absolute-entry.txt"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(Dest / "link")));
  size_t Entries = 0;
  for (const auto& E : fs::recursive_directory_iterator(Dest)) Entries += E.is_regular_file();
  EXPECT_EQ(Entries, 3u);  // the archive, good.txt, sub/inner.txt

  // A link planted in the folder does not carry an entry outside it.
  const fs::path Outside = Dir / "outside";
  fs::create_directory(Outside);
  const fs::path Planted = Dir / "planted";
  fs::create_directory(Planted);
  fs::create_directory_symlink(Outside, Planted / "sub");
  EXPECT_FALSE(ExtractZipArchive(Dest / "Pack.ZIP", Planted));
  EXPECT_TRUE(fs::is_empty(Outside));
  EXPECT_EQ(TestSupport::ReadFile(Planted / "good.txt"), "good");
}
