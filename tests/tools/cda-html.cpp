// cda-html FILE: renders a CDA R2 document as the document window shows it.
//
// Output (UTF-8): the header page; then, for a structured body, the body
// page; then one line per medium of the structured body:
//   "medium" TAB name TAB MIME type TAB size in bytes
// (control characters of the name and type written as '?').
//
// Exit 0; 1 with the error on stderr when the file cannot be read or rendered.
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "Talven.Carvelin.ClinicalDocuments.h"

namespace {

std::string Printable(std::string S) {
  for (char& C : S)
    if (static_cast<unsigned char>(C) < 0x20 || C == 0x7F) C = '?';
  return S;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: cda-html FILE\n";
    return 2;
  }
  std::ifstream In(argv[1], std::ios::binary);
  if (!In) {
    std::cerr << "cannot read " << argv[1] << "\n";
    return 1;
  }
  const std::string XML((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  Talven::TClinicalDocument Doc;
  try {
    Doc.Parse(XML);
  } catch (const std::exception& E) {
    std::cerr << "error: " << E.what() << "\n";
    return 1;
  }
  std::cout << Doc.HtmlStream;
  if (Doc.mimeType == "text/html") std::cout << Doc.NonXMLBody.Bytes();
  for (const auto& M : Doc.MediaList.Items())
    std::cout << "medium\t" << Printable(M.FName) << '\t' << Printable(M.FMimeType) << '\t' << M.Data.size() << '\n';
  return 0;
}
