// xml-dump FILE: one line per element of the XML file, in document order, so
// that the reader's view of a document can be compared with another parser's.
//
// Line format (UTF-8, LF-terminated):
//   path [TAB "@" name "=" value]... [TAB "=" text]
// - path: the local names from the root down to the element, joined by '/';
// - one field per attribute in document order, local name and decoded value,
//   namespace declarations left out;
// - the text field only for an element without child elements: its text
//   nodes (a run of text made only of TAB/LF/CR/space is none) and CDATA
//   sections joined, decoded, with leading and trailing TAB/LF/CR/space
//   removed (no text gives an empty field);
// - in values and text, '\' TAB LF CR are written \\ \t \n \r.
// Line ends are normalised as XML 1.0 §2.11 says (CRLF and CR become LF) and
// attribute values as §3.3.3 says for CDATA attributes (TAB LF CR become
// spaces) before references are decoded: the reader keeps the source bytes
// as they are and leaves those steps to its callers.
//
// Exit 0; 1 with "error at offset N: message" on stderr when parsing fails.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Vantrel.UTF8.Utils.h"
#include "Vantrel.XML.Tree.h"

using namespace Vantrel;

namespace {

std::string NormaliseLineEnds(std::string_view S, bool Attribute) {
  std::string R;
  R.reserve(S.size());
  for (size_t I = 0; I < S.size(); ++I) {
    char C = S[I];
    if (C == '\r') {
      if (I + 1 < S.size() && S[I + 1] == '\n') ++I;
      C = '\n';
    }
    if (Attribute && (C == '\n' || C == '\t')) C = ' ';
    R += C;
  }
  return R;
}

std::string Decode(std::string_view Raw, bool Attribute) {
  std::string R;
  XMLDecodeEntities(NormaliseLineEnds(Raw, Attribute), true, R);
  return R;
}

std::string_view Trim(std::string_view S) {
  constexpr std::string_view Blanks = " \t\n\r";
  size_t First = S.find_first_not_of(Blanks);
  if (First == std::string_view::npos) return {};
  return S.substr(First, S.find_last_not_of(Blanks) - First + 1);
}

void DumpLine(const TXMLNode& E, const std::string& Path, std::string& Out) {
  Out += Path;
  for (const TXMLAttribute& A : E.Attrs()) {
    if (A.IsNamespace()) continue;
    Out += "\t@";
    Out += A.Name.View();
    Out += '=';
    AppendBackslashEscaped(Out, Decode(A.Value.View(), true));
  }
  bool HasElements = false;
  std::string Text;
  for (const TXMLNode& C : E.Children()) {
    if (!C.IsText())
      HasElements = true;
    else
      Text += C.IsCDATA() ? NormaliseLineEnds(C.Text.View(), false) : Decode(C.Text.View(), false);
  }
  if (!HasElements) {
    Out += "\t=";
    AppendBackslashEscaped(Out, Trim(Text));
  }
  Out += '\n';
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: xml-dump FILE\n";
    return 2;
  }
  std::ifstream In(argv[1], std::ios::binary);
  if (!In) {
    std::cerr << "cannot read " << argv[1] << "\n";
    return 2;
  }
  std::ostringstream Buffer;
  Buffer << In.rdbuf();
  TXMLTree Tree;
  std::string Out;
  try {
    Tree.Build(Buffer.str());
    if (Tree.Root().IsText()) return 0;  // an empty file
    // Pre-order walk with an explicit stack of (element, its path).
    std::vector<std::pair<PXMLNode, std::string>> Stack;
    Stack.emplace_back(&Tree.Root(), std::string(Tree.Root().Name.View()));
    while (!Stack.empty()) {
      auto [E, Path] = std::move(Stack.back());
      Stack.pop_back();
      DumpLine(*E, Path, Out);
      auto Children = E->Children();
      for (size_t I = Children.size(); I-- > 0;)
        if (!Children[I].IsText()) Stack.emplace_back(&Children[I], Path + '/' + std::string(Children[I].Name.View()));
    }
  } catch (const EXMLError& E) {
    std::cerr << "error at offset " << E.Index << ": " << E.what() << "\n";
    return 1;
  } catch (const std::exception& E) {
    std::cerr << "error: " << E.what() << "\n";
    return 1;
  }
  std::fwrite(Out.data(), 1, Out.size(), stdout);
  return 0;
}
