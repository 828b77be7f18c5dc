// http-get [-X METHOD] [-d BODY] [-H 'Name: value']... [--compressed] URL
// Prints the response head (status line to the blank line) and the body as
// received through THTTPClient, so scripts can compare them with curl.
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

#include "Vantrel.HTTPClient.h"

int main(int argc, char** argv) {
  std::string Method = "GET", URL;
  std::optional<std::string> Body;
  Vantrel::THTTPClient Client;
  for (int I = 1; I < argc; ++I) {
    std::string A = argv[I];
    bool HasValue = I + 1 < argc;
    if (A == "-X" && HasValue) {
      Method = argv[++I];
    } else if (A == "-d" && HasValue) {
      Body = argv[++I];
      if (Method == "GET") Method = "POST";
    } else if (A == "-H" && HasValue) {
      Client.CustomHeaders().push_back(argv[++I]);
    } else if (A == "--compressed") {
      Client.SetAcceptGZIP(true);
    } else if (URL.empty() && !A.starts_with("-")) {
      URL = A;
    } else {
      std::cerr << "usage: http-get [-X METHOD] [-d BODY] [-H 'Name: value']... [--compressed] URL\n";
      return 2;
    }
  }
  if (URL.empty()) {
    std::cerr << "http-get: no URL\n";
    return 2;
  }
  try {
    std::string Received;
    Client.Request(Method, URL, Body ? std::optional<std::string_view>(*Body) : std::nullopt, Received);
    std::fwrite(Client.Headers().data(), 1, Client.Headers().size(), stdout);
    std::fwrite(Received.data(), 1, Received.size(), stdout);
  } catch (const std::exception& E) {
    std::cerr << "http-get: " << E.what() << "\n";
    return 1;
  }
  return 0;
}
