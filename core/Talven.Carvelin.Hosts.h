// Where the client core finds the national services and the maker's
// services: one process-wide configuration, the published hosts unless the
// shell's settings or a JSON file (CARVELIN_HOSTS, read by the service root)
// say otherwise.
//
// Applying a configuration sets the identity teleservice's and the mobile
// Vitale application service's endpoints, the
// extra CA file of the one trust store and the service-time source; the
// service root takes its time-out from it, the card session its hosts.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Vantrel.JSON.UTF8.h"
#include "Vantrel.RTTI.h"

namespace Talven {

// The hosts of one environment (training or production).
struct THostsEnvironment {
  std::string DMP_Server;  // the shared-record service: "host[:port]"
  std::string AccesWeb;    // base of the professional web-access pages: "https://host[:port][/path]"
  std::string ParamSite;   // public site of the parameters document: "https://host[:port]"
  std::string INSiCard;    // identity teleservice, card-authenticated: "https://..."
  std::string INSiMutual;  // identity teleservice, mutual TLS: "https://..."
  std::string AppVitale;   // mobile Vitale application service: "https://host[:port]"; "" none

  // AccesWeb without its scheme, as the web-access addresses are built on it.
  std::string WebAccessBase() const;
};
VANTREL_RECORD(THostsEnvironment, VANTREL_FIELD(DMP_Server), VANTREL_FIELD(AccesWeb),
               VANTREL_FIELD(ParamSite), VANTREL_FIELD(INSiCard), VANTREL_FIELD(INSiMutual),
               VANTREL_FIELD(AppVitale))

struct THostsConfig {
  THostsEnvironment Formation;
  THostsEnvironment Production;
  // Base "https://host[:port]" of the maker's time service (+ "/microtime")
  // and error report (+ "/error_report.php"); empty: neither is used.
  std::string Maker;
  std::string ExtraCAFile;  // PEM file of further trusted authorities; empty: none
  int32_t TimeoutSeconds = 60;
  std::string INSiDomain;  // the teleservice's namespace domain
  std::string AppVitaleNamespace;  // the mobile application service's body namespace
  std::string AppVitaleIDAM;       // its production agreement identifier; "" none

  const THostsEnvironment& Environment(bool Training) const { return Training ? Formation : Production; }

  // Reading hook: notes the member being read, so that an error names it.
  bool JSONParseField(std::string_view Path, Vantrel::TJSONParser& Parser);
};
VANTREL_RECORD(THostsConfig, VANTREL_FIELD(Formation), VANTREL_FIELD(Production), VANTREL_FIELD(Maker),
               VANTREL_FIELD(ExtraCAFile), VANTREL_FIELD(TimeoutSeconds), VANTREL_FIELD(INSiDomain),
               VANTREL_FIELD(AppVitaleNamespace), VANTREL_FIELD(AppVitaleIDAM))

// A configuration refused; the message names the member.
class EHostsConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The national services' published hosts, no maker, no extra CA file, 60 s.
THostsConfig DefaultHostsConfig();

// EHostsConfigError naming the first member whose value cannot be used.
void CheckHostsConfig(const THostsConfig& Config);

// Reads a JSON file over the defaults: members left out keep their default,
// unknown members are ignored. EHostsConfigError for an unreadable file, a
// malformed text or a bad value (the message names the file and the member).
THostsConfig LoadHostsConfig(const std::string& Path);

// The configuration in force: the defaults until one is set.
THostsConfig HostsConfig();

// Checks Config (EHostsConfigError), keeps it and applies it: teleservice
// and mobile-application endpoints, extra CA file, service-time source (a GET of Maker +
// "/microtime", or the local clock without a maker).
void SetHostsConfig(THostsConfig Config);

}  // namespace Talven
