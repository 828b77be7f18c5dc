// c14n-digest [--exclusive] [--with-comments] [--prefixes "a b"]
//             [--extra 'xmlns:p="uri"']... [--sha1|--sha256|--text] FILE [PATH]
// Prints the Base64 digest (SHA-1 unless --sha256) of the canonical form of
// the document FILE, or of the element at PATH (the tree's selector,
// first step matched against the root); --text prints the canonical text.
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.XML.Tree.h"
#include "Vantrel.XML.c14n.h"

using namespace Vantrel;

namespace {

int Usage() {
  std::cerr << "usage: c14n-digest [--exclusive] [--with-comments] [--prefixes \"a b\"] "
               "[--extra 'xmlns:p=\"uri\"']... [--sha1|--sha256|--text] FILE [PATH]\n";
  return 2;
}

std::string ReadAll(const std::string& Path) {
  std::FILE* F = std::fopen(Path.c_str(), "rb");
  if (!F) throw std::runtime_error("cannot open " + Path);
  std::string Data;
  char Buf[65536];
  for (size_t N; (N = std::fread(Buf, 1, sizeof Buf, F)) > 0;) Data.append(Buf, N);
  std::fclose(F);
  return Data;
}

}  // namespace

int main(int Argc, char** Argv) {
  TC14NOptions Options;
  std::vector<std::string> Extra, Positional;
  std::string Output = "sha1";
  for (int I = 1; I < Argc; ++I) {
    const std::string A = Argv[I];
    if (A == "--exclusive") Options.Exclusive = true;
    else if (A == "--with-comments") Options.WithComments = true;
    else if ((A == "--prefixes" || A == "--extra") && I + 1 < Argc) {
      if (A == "--extra") {
        Extra.push_back(Argv[++I]);
        continue;
      }
      std::istringstream Words(Argv[++I]);
      for (std::string W; Words >> W;) Options.InclusivePrefixes.push_back(W);
    } else if (A == "--sha1" || A == "--sha256" || A == "--text") Output = A.substr(2);
    else if (A.starts_with("--")) return Usage();
    else Positional.push_back(A);
  }
  if (Positional.empty() || Positional.size() > 2) return Usage();
  try {
    const std::string Source = ReadAll(Positional[0]);
    if (Positional.size() == 1) {  // the whole document
      if (Output == "text") std::cout << detail::C14NDocumentText(Source, Extra, Options);
      else if (Output == "sha256") std::cout << Base64Encode(C14NDigestSHA256(Source, Extra, Options)) << "\n";
      else std::cout << C14NDigestBase64(Source, Extra, Options) << "\n";
      return 0;
    }
    TXMLTree Tree;
    Tree.BuildFrom(Source);
    PXMLNode Node = Tree.XPathNode(Positional[1]);
    if (!Node) {
      std::cerr << "c14n-digest: no node at " << Positional[1] << "\n";
      return 1;
    }
    if (Output == "text") std::cout << detail::C14NText(Node, Extra, Options);
    else if (Output == "sha256") std::cout << Base64Encode(C14NNodeDigestSHA256(Node, Extra, Options)) << "\n";
    else std::cout << C14NNodeDigestBase64(Node, Extra, Options) << "\n";
    return 0;
  } catch (const EXMLError& E) {
    std::cerr << "c14n-digest: " << E.what() << " at offset " << E.Index << "\n";
  } catch (const std::exception& E) {
    std::cerr << "c14n-digest: " << E.what() << "\n";
  }
  return 1;
}
