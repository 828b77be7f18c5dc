// The XML tree reader on any input: building (single root and fragment),
// walking every node, every value reader, the path selector with fixed paths
// and a path taken from the input, the search and the serializer. Only the
// documented exceptions may come out; every slice must lie inside the input
// and every parent link must be right.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Vantrel.XML.Tree.h"

using namespace Vantrel;

namespace {

const char* Begin = nullptr;
const char* End = nullptr;

void CheckSlice(const TXMLString& S) {
  if (S.IsNil()) return;
  if (S.Len < 0 || S.Start < Begin || S.Start + S.Len > End) abort();
}

template <typename F>
void Tolerant(F&& Read) {
  try {
    Read();
  } catch (const std::runtime_error&) {
    // the value readers' documented errors
  }
}

void Walk(const TXMLNode& Root) {
  std::vector<PXMLNode> Stack{&Root};
  while (!Stack.empty()) {
    PXMLNode N = Stack.back();
    Stack.pop_back();
    CheckSlice(N->Name);
    CheckSlice(N->Prefix);
    CheckSlice(N->Text);
    for (const TXMLAttribute& A : N->Attrs()) {
      CheckSlice(A.Name);
      CheckSlice(A.Value);
      Tolerant([&] { (void)A.Value.Value(); });
      Tolerant([&] { (void)A.Value.AsDateTime(); });
      Tolerant([&] { (void)A.Value.AsInteger(); });
      (void)N->AttrFullName(A);
    }
    Tolerant([&] { (void)N->AnsiValue(); });
    Tolerant([&] { (void)N->AsDateTime(); });
    Tolerant([&] { (void)N->AsInteger(); });
    Tolerant([&] { (void)N->FullText(); });
    (void)N->FullTag();
    (void)N->Namespace();
    for (const TXMLNode& C : N->Children()) {
      if (C.Parent != N) abort();
      Stack.push_back(&C);
    }
  }
}

void Select(const TXMLTree& Tree, std::string_view InputPath) {
  static const char* const Paths[] = {"a/b", "//b[@id]", "a/b[2]/c", "//[@ID=x]", "a//c[1@k=v]", "/a/[3]"};
  for (const char* P : Paths) {
    (void)Tree.XPathNode(P);
    (void)Tree.Root().XPathNode(P);
  }
  (void)Tree.XPathAttr("a/b/@id");
  (void)Tree.Root().getElementById("x");
  (void)Tree.Root().Search("b", 3);
  try {
    (void)Tree.XPathNode(InputPath);
    (void)Tree.Root().XPathNode(InputPath);
    (void)Tree.XPathAttr(InputPath);
  } catch (const EXPathError& E) {
    if (E.Index < 1 || size_t(E.Index) > InputPath.size() + 1) abort();
  }
}

void Exercise(const TXMLTree& Tree, std::string_view InputPath) {
  Walk(Tree.Root());
  Select(Tree, InputPath);
  std::vector<std::string> Lines;
  Tolerant([&] { Tree.Indent(Lines); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  // An exact copy, so that any read past the end is caught.
  auto Copy = std::make_unique<char[]>(Size ? Size : 1);
  if (Size) std::memcpy(Copy.get(), Data, Size);
  Begin = Copy.get();
  End = Begin + Size;
  const std::string_view Text(Begin, Size);
  const size_t LastLine = Text.rfind('\n');
  std::string_view InputPath = Text.substr(LastLine == std::string_view::npos ? 0 : LastLine + 1);
  InputPath = InputPath.substr(0, 64);

  for (bool MultiRoot : {false, true}) {
    TXMLTree Tree;
    try {
      if (MultiRoot)
        Tree.BuildMultiRoot(Begin, Size);
      else
        Tree.BuildFrom(Begin, Size);
    } catch (const EXMLError& E) {
      if (E.Index < 0 || size_t(E.Index) > Size || E.Source != Begin) abort();
      continue;
    }
    Exercise(Tree, InputPath);
  }
  return 0;
}
