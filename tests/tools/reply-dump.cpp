// reply-dump READER FILE [--gestion-mineurs] [--age-majorite N]
//            [--today YYYY-MM-DD] [--test-card]
// Reads one service answer with one reply reader of the client core and
// prints, as one JSON object, what the reader answered:
//   {"code": N, "message": "...", "detail": "...", "records": ...}
// so that scripts compare it with another reading of the same answer.
// READER: dossier, creation, dossiers, patients, volet, revision, praticiens,
// acces, nouvel-acces, canal, autorisation, update, documents, object-refs,
// has-member, single-ref, retrieve, filing, insi. Dates of the records are
// shown in the TZ of the environment. Exit 0 once read, 2 for bad arguments.
#include <iostream>
#include <string>

#include "ReplyDump.h"

using namespace Talven;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: reply-dump READER FILE [--gestion-mineurs] [--age-majorite N] [--today YYYY-MM-DD] "
                 "[--test-card]\n";
    return 2;
  }
  std::shared_ptr<TCarvelin> Root = TCarvelin::Create();
  bool TestCard = false;
  for (int I = 3; I < argc; ++I) {
    const std::string Arg = argv[I];
    Vantrel::TDateTime Today = 0;
    if (Arg == "--gestion-mineurs") {
      Root->FParametres.GestionMineurs = true;
    } else if (Arg == "--age-majorite" && I + 1 < argc) {
      Root->FParametres.AgeMajoritee = std::atoi(argv[++I]);
    } else if (Arg == "--today" && I + 1 < argc && ReplyDump::ParseToday(argv[++I], Today)) {
      Root->Clock = [Today] { return Today + 0.5; };
    } else if (Arg == "--test-card") {
      TestCard = true;
    } else {
      std::cerr << "reply-dump: bad argument " << Arg << "\n";
      return 2;
    }
  }
  int Code = 0;
  const std::string Json = ReplyDump::Dump(*Root, argv[1], TestSupport::ReadFile(argv[2]), TestCard, Code);
  if (Code == -1) {
    std::cerr << "reply-dump: unknown reader " << argv[1] << "\n";
    return 2;
  }
  std::cout << Json << "\n";
  return 0;
}
