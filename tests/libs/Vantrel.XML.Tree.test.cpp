#include "Vantrel.XML.Tree.h"

#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace Vantrel;

namespace {

enum class Kind { NotXML, EndOfXML, ExpectedString, UnexpectedClosing, ExpectedClosing, Base };

// Builds from a heap copy of exactly the given bytes, so that a read past the
// end is caught by the address sanitizer.
struct TExactCopy {
  explicit TExactCopy(std::string_view S) : Bytes(new char[S.size() + 1]), Size(S.size()) {
    std::copy(S.begin(), S.end(), Bytes.get());
  }
  std::unique_ptr<char[]> Bytes;
  size_t Size;
};

TDateTime DT(int Y, int M, int D, int H = 0, int N = 0, int S = 0) {
  TDateTime R = 0;
  EXPECT_TRUE(TryEncodeDateTime(TDateParts{Y, M, D, H, N, S, 0}, R));
  return R;
}

std::string Nested(int Depth) {
  std::string S;
  for (int I = 0; I < Depth; ++I) S += "<a>";
  return S;
}

std::string Show(PXMLNode N) { return N ? N->FullText() : std::string("(nil)"); }

// A markup-dense document: Count entries, each with its number and Tag as
// attributes and one child.
std::string Entries(int Count, int Tag) {
  std::string S = "<r>";
  for (int I = 0; I < Count; ++I) S += "<e n=\"" + std::to_string(I) + "\" t=\"" + std::to_string(Tag) + "\"><f/></e>";
  return S + "</r>";
}

// The first entry of Tree that differs from Entries(Count, Tag); "" when none.
std::string EntriesMismatch(const TXMLTree& Tree, int Count, int Tag) {
  const TXMLNode& R = Tree.Root();
  if (R.Length() != Count) return "root with " + std::to_string(R.Length()) + " children";
  for (int I = 0; I < Count; ++I) {
    const TXMLNode& E = R.Children()[size_t(I)];
    const TXMLString* N = E.GetAttribute("n");
    const TXMLString* T = E.GetAttribute("t");
    if (E.Parent != &R || !N || N->View() != std::to_string(I) || !T || T->View() != std::to_string(Tag) ||
        E.Length() != 1 || E.Children()[0].Parent != &E || !E.Children()[0].Name.Compare("f"))
      return "entry " + std::to_string(I) + ": " + E.FullText();
  }
  return "";
}

}  // namespace

TEST(XMLTree, parse_errors_carry_class_message_and_offset) {
  struct Case {
    std::string Text;
    Kind K;
    std::string Message;
    int32_t Index;
    std::string Expected = {};
  };
  const std::vector<Case> Cases = {
      {"hello", Kind::NotXML, "Not an XML string", 0},
      {"  \r\n", Kind::NotXML, "Not an XML string", 0},
      {"<!-- only a comment -->", Kind::NotXML, "Not an XML string", 0},
      {"<a></b>", Kind::UnexpectedClosing, "Unexpected closing tag \"/b\"", 4},
      {"</a>", Kind::UnexpectedClosing, "Unexpected closing tag \"/a\"", 1},
      {"<a><b></a>", Kind::UnexpectedClosing, "Unexpected closing tag \"/a\"", 7},
      {"<s:a></s:b>", Kind::UnexpectedClosing, "Unexpected closing tag \"/b\"", 6},
      {"<a><b></b>", Kind::ExpectedClosing, "Expected tag \"/a\" not found", 1},
      {"<r><p:a>text", Kind::ExpectedClosing, "Expected tag \"/a\" not found", 6},
      {"<a x=1/>", Kind::ExpectedString, "Expected string not found", 5, "\""},
      {"<a x y=\"1\"/>", Kind::ExpectedString, "Expected string not found", 5, "="},
      {"<a x='1'?>", Kind::ExpectedString, "Expected string not found", 8, ">"},
      {"<a?>", Kind::ExpectedClosing, "Expected tag \"/a?\" not found", 1},  // '?' belongs to the name
      {"<a / >", Kind::ExpectedString, "Expected string not found", 3, ">"},
      {"<a></a x>", Kind::ExpectedString, "Expected string not found", 7, ">"},
      {"<a x=\"1/>", Kind::EndOfXML, "Unexpected end of XML", 9},
      {"<a x='1\"/>", Kind::EndOfXML, "Unexpected end of XML", 10},
      {"<a><!-- x", Kind::EndOfXML, "Unexpected end of XML", 9},
      {"<a><![CDATA[x]]", Kind::EndOfXML, "Unexpected end of XML", 15},
      {"<?xml version=\"1.0\"", Kind::EndOfXML, "Unexpected end of XML", 19},
      {"<?pi no end", Kind::EndOfXML, "Unexpected end of XML", 11},
      {"<a", Kind::EndOfXML, "Unexpected end of XML", 2},
      {"<a ", Kind::EndOfXML, "Unexpected end of XML", 3},
      {"<a/", Kind::EndOfXML, "Unexpected end of XML", 3},
      {"<a x>", Kind::EndOfXML, "Unexpected end of XML", 5},
      {"<a></a", Kind::EndOfXML, "Unexpected end of XML", 6},
      {"<a><", Kind::EndOfXML, "Unexpected end of XML", 4},
      {Nested(XMLMaxDepth + 1),
       Kind::Base, "XML nesting too deep", 4096 * 3},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Text.substr(0, 40));
    TXMLTree Tree;
    try {
      Tree.BuildFrom(C.Text);
      ADD_FAILURE() << "no error";
    } catch (const EXMLError& E) {
      EXPECT_EQ(E.what(), C.Message);
      EXPECT_EQ(E.Index, C.Index);
      EXPECT_EQ(E.Source, C.Text.data());
      switch (C.K) {
        case Kind::NotXML: EXPECT_TRUE(dynamic_cast<const EXMLNotXMLError*>(&E)); break;
        case Kind::EndOfXML: EXPECT_TRUE(dynamic_cast<const EXMLEndOfXMLError*>(&E)); break;
        case Kind::UnexpectedClosing: EXPECT_TRUE(dynamic_cast<const EXMLUnexpectedClosingTagError*>(&E)); break;
        case Kind::ExpectedClosing: EXPECT_TRUE(dynamic_cast<const EXMLExpectedClosingTagNotFoundError*>(&E)); break;
        case Kind::ExpectedString: {
          auto* X = dynamic_cast<const EXMLExpectedStringNotFoundError*>(&E);
          ASSERT_TRUE(X);
          EXPECT_EQ(X->Expected, C.Expected);
          break;
        }
        case Kind::Base: break;
      }
    }
    // A failed build leaves an empty tree, never a half-built one.
    EXPECT_TRUE(Tree.Root().IsText());
    EXPECT_EQ(Tree.Root().Length(), 0);
  }
}

TEST(XMLTree, nesting_up_to_the_cap_is_read) {
  std::string S = Nested(XMLMaxDepth) + "x";
  for (int I = 0; I < XMLMaxDepth; ++I) S += "</a>";
  TXMLTree Tree;
  Tree.BuildFrom(S);
  PXMLNode N = Tree.Root().Search("a", XMLMaxDepth);
  ASSERT_TRUE(N);
  EXPECT_EQ(N->Value(), "x");
  int Depth = 0;
  for (; N; N = N->Parent) ++Depth;
  EXPECT_EQ(Depth, XMLMaxDepth);
  std::vector<std::string> Lines;
  Tree.Indent(Lines);
  EXPECT_EQ(Lines.size(), size_t(2 * XMLMaxDepth - 1));
  EXPECT_EQ(Tree.XPathNode("//a[@b]"), nullptr);
}

TEST(XMLTree, wide_elements_keep_order_values_and_parents) {
  // Groups of children and of attributes far larger than a storage chunk,
  // between small ones, as leaves and as elements with content.
  auto Attributes = [](int Count) {
    std::string S;
    for (int I = 0; I < Count; ++I) S += " a" + std::to_string(I) + "=\"" + std::to_string(I * 7) + '"';
    return S;
  };
  std::string S = "<r><wide>";
  for (int I = 0; I < 5000; ++I) S += "<i n='" + std::to_string(I) + "'>t" + std::to_string(I) + "</i>";
  S += "</wide><leaf" + Attributes(3000) + "/><full" + Attributes(3000) + "><k/>x</full><small a='1'><k/></small></r>";
  TXMLTree Tree;
  Tree.BuildFrom(S);
  const TXMLNode& R = Tree.Root();
  ASSERT_EQ(R.Length(), 4);
  PXMLNode Wide = R.GetChild("wide");
  ASSERT_EQ(Wide->Length(), 5000);
  for (int I : {0, 1, 2500, 4999}) {
    const TXMLNode& C = Wide->Children()[size_t(I)];
    EXPECT_EQ(C.GetAttribute("n")->View(), std::to_string(I));
    EXPECT_EQ(C.Value(), "t" + std::to_string(I));
    EXPECT_EQ(C.Children()[0].Parent, &C);
  }
  for (const TXMLNode& C : Wide->Children()) EXPECT_EQ(C.Parent, Wide);
  for (const char* Name : {"leaf", "full"}) {
    PXMLNode E = R.GetChild(Name);
    ASSERT_EQ(E->Attrs().size(), 3000u);
    EXPECT_EQ(E->Attrs()[2999].FullName(), "a2999");
    EXPECT_EQ(E->GetAttribute("a1234")->View(), "8638");
    EXPECT_EQ(E->Parent, &R);
  }
  PXMLNode Full = R.GetChild("full");
  ASSERT_EQ(Full->Length(), 2);
  EXPECT_EQ(Full->Children()[0].Parent, Full);
  EXPECT_EQ(Full->Value(), "<k/>x");
  EXPECT_EQ(R.GetChild("small")->FullText(), "<small a='1'><k/></small>");
  EXPECT_EQ(R.GetChild("small")->GetChild("k")->Parent, R.GetChild("small"));
}

TEST(XMLTree, empty_text_builds_an_empty_tree) {
  TXMLTree Tree;
  Tree.BuildFrom("", 0);
  EXPECT_TRUE(Tree.Root().Name.IsNil());
  EXPECT_EQ(Tree.Root().Length(), 0);
  EXPECT_EQ(Tree.XPathNode("a"), nullptr);
  std::vector<std::string> Lines{"old"};
  Tree.Indent(Lines);
  EXPECT_TRUE(Lines.empty());
}

TEST(XMLTree, tree_keeps_slices_of_the_source) {
  const std::string S = "<a x='1' y=\"2\"/>";
  TXMLTree Tree;
  Tree.BuildFrom(S);
  const TXMLNode& A = Tree.Root();
  EXPECT_TRUE(A.Name.Compare("a"));
  ASSERT_EQ(A.Attrs().size(), 2u);
  EXPECT_EQ(A.Attrs()[0].Name.View().data(), S.data() + 3);
  EXPECT_EQ(A.Attrs()[1].Value.View(), "2");
  EXPECT_EQ(A.Length(), 0);
  EXPECT_EQ(A.Text.Len, 0);
  EXPECT_EQ(A.Text.View().data(), S.data() + S.size());
  EXPECT_EQ(Tree.Source().data(), S.data());
}

TEST(XMLTree, text_nodes_cdata_comments_and_prolog) {
  TXMLTree Tree;
  Tree.Build(
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding='UTF-8'?>\r\n<?xml-stylesheet type=\"text/xsl\" href=\"x.xsl\"?>"
      "<!-- before -->lead<p:a xmlns:p=\"urn:p\"> one &amp; <!-- c --> \r\n <![CDATA[<b>&amp;</b>]]><?pi x?>two<b/>"
      "\r\n  </p:a>tail is not read <");
  EXPECT_TRUE(Tree.xml().Name.Compare("?xml"));
  ASSERT_EQ(Tree.xml().Attrs().size(), 2u);
  EXPECT_EQ(Tree.xml().Attrs()[1].Value.View(), "UTF-8");
  EXPECT_TRUE(Tree.StyleSheet());
  const TXMLNode& A = Tree.Root();
  EXPECT_EQ(A.FullName(), "p:a");
  ASSERT_EQ(A.Length(), 5);
  auto C = A.Children();
  EXPECT_EQ(C[0].Text.View(), "lead");  // text before the root becomes its first child
  EXPECT_EQ(C[1].Text.View(), " one &amp; ");
  EXPECT_EQ(C[1].Value(), " one & ");
  EXPECT_TRUE(C[2].IsCDATA());
  EXPECT_EQ(C[2].Value(), "<b>&amp;</b>");
  EXPECT_EQ(C[3].Value(), "two");
  EXPECT_FALSE(C[3].IsCDATA());
  EXPECT_TRUE(C[4].Name.Compare("b"));
  for (const TXMLNode& N : C) EXPECT_EQ(N.Parent, &A);
  EXPECT_EQ(C[3].Sibling(), &C[4]);
  EXPECT_EQ(C[4].Sibling(), nullptr);
  EXPECT_EQ(A.Sibling(), nullptr);
  EXPECT_EQ(A.LastChild(), &C[4]);
}

TEST(XMLTree, blank_text_is_dropped_and_element_text_is_its_whole_content) {
  TXMLTree Tree;
  Tree.BuildFrom("<a>\r\n  <b>x</b>\r\n</a>");
  const TXMLNode& A = Tree.Root();
  ASSERT_EQ(A.Length(), 1);
  EXPECT_TRUE(A.Children()[0].Name.Compare("b"));
  EXPECT_EQ(A.Value(), "\r\n  <b>x</b>\r\n");
  // Odd markup that the reader lets through: empty tag names, '<' in values,
  // end tags with another prefix, anything after the root.
  Tree.BuildFrom("<s:a v=\"<b>\r\n\">1 <> 2< /></t:a>junk<");
  EXPECT_EQ(Tree.Root().GetAttribute("v")->View(), "<b>\r\n");
  ASSERT_EQ(Tree.Root().Length(), 3);
  EXPECT_EQ(Tree.Root().Children()[0].Text.View(), "1 ");
  EXPECT_EQ(Tree.Root().Children()[1].Text.View(), "> 2");
  EXPECT_EQ(Tree.Root().Children()[2].Text.View(), " />");
}

TEST(XMLTree, tags_and_texts_as_written) {
  const std::string S = "<r><p:a x=\"1\" p:y='2'>t<b/><c></c></p:a></r>";
  TXMLTree Tree;
  Tree.BuildFrom(S);
  PXMLNode A = Tree.XPathNode("r/a");
  ASSERT_TRUE(A);
  EXPECT_EQ(A->FullTag(), "<p:a x=\"1\" p:y='2'>");
  EXPECT_EQ(A->CloseTag(), "</p:a>");
  EXPECT_EQ(A->FullText(), "<p:a x=\"1\" p:y='2'>t<b/><c></c></p:a>");
  EXPECT_EQ(A->GetChild("b")->FullText(), "<b/>");
  EXPECT_EQ(A->GetChild("c")->FullText(), "<c></c>");
  EXPECT_EQ(A->GetChild("b")->FullPath(), "r/p:a/b");
  EXPECT_EQ(A->Children()[0].FullName(), "t");
  EXPECT_EQ(A->Attrs()[1].FullName(), "p:y");
  EXPECT_EQ(A->Children()[0].FullTag(), "");
}

TEST(XMLTree, lookups_compare_local_names_and_take_the_first) {
  TXMLTree Tree;
  Tree.BuildFrom(
      "<s:Envelope xmlns:s=\"urn:soap\" xmlns=\"urn:default\"><s:Body ID=\"b\"><r xmlns=\"urn:r\" a=\"1\" q:a=\"2\" "
      "xmlns:q=\"urn:q\"><i n=\"1\"/><i n=\"2\"/>x<j/><i n=\"3\"/></r></s:Body></s:Envelope>");
  const TXMLNode& Env = Tree.Root();
  EXPECT_EQ(Tree.GetNodeAt({"Envelope", "Body"}), Env.GetChild("Body"));
  EXPECT_EQ(Tree.GetNodeAt({"Body"}), nullptr);
  EXPECT_EQ(Tree.GetNodeAt({}), nullptr);
  PXMLNode R = Env.GetChildAt({"Body", "r"});
  ASSERT_TRUE(R);
  EXPECT_EQ(Env.GetChildAt({"Body", "x", "r"}), nullptr);
  EXPECT_EQ(R->GetChild("i")->GetAttribute("n")->View(), "1");
  EXPECT_EQ(R->GetNthChild("i", 3)->GetAttribute("n")->View(), "3");
  EXPECT_EQ(R->GetNthChild("i", 0), R->GetChild("i"));
  EXPECT_EQ(R->GetNthChild("i", 4), nullptr);
  EXPECT_EQ(R->GetChilds("i").size(), 3u);
  PXMLNode Out = nullptr;
  EXPECT_TRUE(R->HasNthChild("i", 2, Out));
  EXPECT_EQ(Out->GetAttribute("n")->View(), "2");
  EXPECT_FALSE(R->HasChild("k", Out));
  EXPECT_EQ(Out, nullptr);
  EXPECT_EQ(R->GetAttribute("a")->View(), "1");  // the first attribute named a, whatever its prefix
  EXPECT_EQ(R->GetAttributeNS("a", "q"), "2");
  EXPECT_EQ(R->GetAttributeNS("a", ""), "1");
  EXPECT_EQ(R->GetAttributeNS("b", ""), "");
  EXPECT_EQ(R->GetAttribute("ID"), nullptr);

  EXPECT_EQ(Env.Namespace(), "urn:soap");
  EXPECT_EQ(R->Namespace(), "urn:r");
  EXPECT_EQ(R->GetChild("i")->Namespace(), "urn:r");
  EXPECT_EQ(R->ResolveNS("q"), "urn:q");
  EXPECT_EQ(R->ResolveNS("s"), "urn:soap");
  EXPECT_EQ(R->ResolveNS("z"), "");
  EXPECT_TRUE(R->Match("r", "urn:r"));
  EXPECT_EQ(Env.GetChildNS("Body", "urn:soap"), Env.GetChild("Body"));
  EXPECT_EQ(Env.GetChildNS("Body", "urn:default"), nullptr);
  EXPECT_EQ(R->GetChildsNS("i", "urn:r").size(), 3u);
  EXPECT_EQ(R->GetNthChildNS("i", "urn:r", 2)->GetAttribute("n")->View(), "2");
  EXPECT_EQ(R->AttrNamespace(R->Attrs()[2]), "urn:q");
  EXPECT_EQ(R->AttrFullName(R->Attrs()[1]), "urn:r:a");
  EXPECT_TRUE(R->Attrs()[0].IsNamespace());
  EXPECT_FALSE(R->Attrs()[1].IsNamespace());
  EXPECT_TRUE(R->Attrs()[3].IsNamespace());

  TXMLTree Bad;
  Bad.BuildFrom("<a xmlns='urn:&#1x;' xmlns:p='urn:&amp;'><p:b/></a>");
  EXPECT_EQ(Bad.Root().Namespace(), "urn:&#1x;");  // a lookup never raises on a bad reference
  EXPECT_EQ(Bad.Root().Children()[0].Namespace(), "urn:&");
  EXPECT_THROW((void)Bad.Root().Attrs()[0].Value.Value(), std::runtime_error);

  EXPECT_EQ(Env.getElementById("b"), Env.GetChild("Body"));
  EXPECT_EQ(Env.Search("i", 2)->GetAttribute("n")->View(), "2");
  EXPECT_EQ(Env.Search("Envelope"), &Env);
  EXPECT_EQ(Env.Search("i", 4), nullptr);

  std::vector<std::string> Seen;
  R->ForEachChild("i", [&](PXMLNode N) { Seen.push_back(N->GetAttribute("n")->RawValue()); });
  EXPECT_EQ(Seen, (std::vector<std::string>{"1", "2", "3"}));
  int Count = 0;
  R->ForEach([&](PXMLNode) { ++Count; });
  EXPECT_EQ(Count, 5);
  auto Odd = R->Filter([](PXMLNode N) -> PXMLNode {
    const TXMLString* V = N->GetAttribute("n");
    return V && V->AsInteger() % 2 ? N : nullptr;
  });
  EXPECT_EQ(Odd.size(), 2u);
  Count = 0;
  R->ForEachFilter([](PXMLNode N) { return N->IsText() ? N : nullptr; }, [&](PXMLNode N) {
    EXPECT_EQ(N->Value(), "x");
    ++Count;
  });
  EXPECT_EQ(Count, 1);
  Seen.clear();
  Env.ForEachChildPath("Body", "r/i[@n=2]", [&](PXMLNode N) { Seen.push_back(N->FullText()); });
  EXPECT_EQ(Seen, (std::vector<std::string>{"<i n=\"2\"/>"}));
}

TEST(XMLTree, null_safe_readers_chain_through_missing_nodes) {
  TXMLTree Tree;
  Tree.BuildFrom("<r><a k=\"x&amp;y\">1 &lt; 2<b/></a><a>second</a></r>");
  const PXMLNode A = ChildOf(&Tree.Root(), "a");
  ASSERT_TRUE(A);
  EXPECT_EQ(TextOf(ChildAt(&Tree.Root(), {"a"})), A->Value());
  EXPECT_EQ(AttributeValueOf(A, "k"), "x&y");
  EXPECT_EQ(RawAttributeOf(A, "k"), "x&amp;y");
  EXPECT_EQ(AttributeOf(A, "k"), A->GetAttribute("k"));
  EXPECT_EQ(RawTextOf(A), "1 &lt; 2<b/>");
  EXPECT_EQ(XPathNodeOf(&Tree.Root(), "a/b"), A->GetChild("b"));
  EXPECT_EQ(ChildrenOf(&Tree.Root(), "a").size(), 2u);
  // A missing step anywhere gives the empty answer, never a null dereference.
  const PXMLNode Missing = ChildOf(A, "z");
  EXPECT_EQ(Missing, nullptr);
  EXPECT_EQ(ChildOf(Missing, "a"), nullptr);
  EXPECT_EQ(ChildAt(Missing, {"a", "b"}), nullptr);
  EXPECT_EQ(XPathNodeOf(Missing, "a/b"), nullptr);
  EXPECT_TRUE(ChildrenOf(Missing, "a").empty());
  EXPECT_EQ(AttributeOf(Missing, "k"), nullptr);
  EXPECT_EQ(AttributeValueOf(Missing, "k"), "");
  EXPECT_EQ(AttributeValueOf(A, "missing"), "");
  EXPECT_EQ(RawAttributeOf(Missing, "k"), "");
  EXPECT_EQ(TextOf(Missing), "");
  EXPECT_EQ(RawTextOf(Missing), "");
}

TEST(XMLTree, search_walks_in_document_order) {
  TXMLTree Tree;
  Tree.BuildFrom("<a><b i='1'><b i='2'/></b><c><b i='3'><d/></b></c><b i='4'/></a>");
  TXMLSearch S;
  std::string Order;
  for (bool Found = S.FindFirst(Tree, "b"); Found; Found = S.FindNext()) Order += S.Node->GetAttribute("i")->RawValue();
  EXPECT_EQ(Order, "1234");
  EXPECT_EQ(S.Depth, -1);
  EXPECT_EQ(S.Node, nullptr);
  EXPECT_TRUE(S.FindNode(Tree.Root().GetChild("c"), "d"));
  EXPECT_FALSE(S.FindNext());
  EXPECT_FALSE(S.FindNode(nullptr, "a"));
}

TEST(XMLTree, path_selector_with_predicates_and_back_tracking) {
  TXMLTree Tree;
  Tree.BuildFrom(
      "<a><b/><b id=\"2\"/><b id=\"3\"><c k=\"v\">t</c></b>"
      "<x><y/></x><x><y><z/></y></x><d><e><f i=\"1\"/></e><f i=\"2\"/></d></a>");
  const TXMLNode& A = Tree.Root();
  auto Children = A.Children();
  struct Case {
    std::string Path;
    PXMLNode Want;
  };
  PXMLNode C = Children[2].GetChild("c");
  PXMLNode Z = A.XPathNode("x[2]/y/z");
  ASSERT_TRUE(Z);
  const std::vector<Case> TreeCases = {
      {"a", &A},
      {"/a", &A},
      {"a/b", &Children[0]},
      {"a/b[2]", &Children[1]},
      {"a/b[@id=3]", &Children[2]},
      {"a/b[0]", nullptr},
      {"a/b[4]", nullptr},
      {"//b[@id]", &Children[1]},
      {"a/b/c", C},                 // back-tracks over the first two b
      {"a/b[@id]/c", C},            // and over the second
      {"a/b[2]/c", C},              // counter 2 then any later b below which c exists
      {"a/b[1@id=3]", &Children[2]},
      {"a/b[2@id]", &Children[2]},
      {"a/b[2@id=3]", nullptr},
      {"a/b[@id=3]/c[@k=v]", C},
      {"a/b[@id=3]/c[@k=w]", nullptr},
      {"a/[2]", &Children[1]},      // an empty name is any node
      {"a/b[3]c", C},               // one character after ']' is a further step
      {"a/x/y/z", Z},               // back-tracks from the first x
      {"a//z", Z},
      {"a//y/z", Z},
      {"a//f", A.XPathNode("d/f")},  // the children of a node before its grandchildren
      {"a//f[@i=1]", A.XPathNode("d/e/f")},
      {"b", nullptr},
      {"a/", &A},
      {"", nullptr},
  };
  for (const Case& K : TreeCases) EXPECT_EQ(Tree.XPathNode(K.Path), K.Want) << K.Path << " gave " << Show(Tree.XPathNode(K.Path));

  EXPECT_EQ(A.XPathNode(""), &A);
  EXPECT_EQ(A.XPathNode("b[2]"), &Children[1]);
  EXPECT_EQ(A.XPathNode("/b[2]"), &Children[1]);
  EXPECT_EQ(A.XPathNode("//c"), C);
  EXPECT_EQ(A.XPathNode("a"), nullptr);
  EXPECT_EQ(Children[2].XPathNode("c/"), C);

  EXPECT_EQ(Tree.XPathAttr("a/b[3]/c/@k")->View(), "v");
  EXPECT_EQ(Tree.XPathAttr("a/b[2]/@id")->View(), "2");
  EXPECT_EQ(Tree.XPathAttr("a/b[2]@id"), nullptr);   // no '/' before '@'
  EXPECT_EQ(Tree.XPathAttr("a/b[@id=2]"), nullptr);  // the first '@' is in a predicate
  EXPECT_EQ(Tree.XPathAttr("a/b"), nullptr);
  EXPECT_EQ(Tree.XPathAttr("@k"), nullptr);
  EXPECT_EQ(Tree.XPathAttr("a/q/@k"), nullptr);
}

TEST(XMLTree, malformed_paths_raise_with_position) {
  struct Case {
    std::string Path, Message;
    int32_t Index;
  };
  const std::vector<Case> Cases = {
      {"a///b", "Invalid Path", 4},
      {"///b", "Invalid Path", 3},
      {"a[@x", "Unexpected end of path", 5},
      {"a[2", "Unexpected end of path", 4},
      {"a[@x=1", "Unexpected end of path", 7},
      {"a[1x]", "Unpexected character", 4},
      {"a[x]", "Unpexected character", 3},
      {"a[1]xy", "Unpexected character", 5},
  };
  TXMLTree Tree;
  Tree.BuildFrom("<a/>");
  for (const Case& C : Cases) {
    for (int Which = 0; Which < 2; ++Which) {
      try {
        Which ? (void)Tree.Root().XPathNode(C.Path) : (void)Tree.XPathNode(C.Path);
        ADD_FAILURE() << C.Path << ": no error";
      } catch (const EXPathError& E) {
        EXPECT_EQ(E.what(), C.Message) << C.Path;
        EXPECT_EQ(E.Index, C.Index) << C.Path;
        EXPECT_EQ(E.Path, C.Path);
      }
    }
  }
}

TEST(XMLTree, element_ids_are_matched_literally) {
  TXMLTree Tree;
  Tree.BuildFrom("<a><b ID=\"x]/c\"/><c ID='n'><d ID=\"m\"/></c></a>");
  EXPECT_EQ(Tree.Root().getElementById("x]/c"), &Tree.Root().Children()[0]);
  EXPECT_EQ(Tree.Root().getElementById("m")->Name.View(), "d");
  EXPECT_EQ(Tree.Root().getElementById("z"), nullptr);
}

TEST(XMLTree, references_decode_to_utf8_or_one_byte) {
  struct Case {
    std::string Raw, Utf8, Ansi;
  };
  const std::vector<Case> Cases = {
      {"plain", "plain", "plain"},
      {"1 &lt; 2 &#233;", "1 < 2 \xC3\xA9", "1 < 2 \xE9"},
      {"&amp;&apos;&gt;&lt;&quot;", "&'><\"", "&'><\""},
      {"&amp;lt;", "&lt;", "&lt;"},
      {"&ab; &amp x&am", "&ab; &amp x&am", "&ab; &amp x&am"},
      {"&#x20AC;&#8364;", "\xE2\x82\xAC\xE2\x82\xAC", "??"},
      {"&#x1F600;", "\xF0\x9F\x98\x80", "?"},
      {"&#xff;&#xFF", "\xC3\xBF\xC3\xBF", "\xFF\xFF"},
      {"&#xZ;", "#", "#"},  // in the hexadecimal form every letter counts as a digit
      {"end &#65", "end A", "end A"},
      {"&#0;&#xD800;&#1114112;&#99999999999999;", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", "????"},
      {"&#;", "\xEF\xBF\xBD", "?"},
  };
  for (const Case& C : Cases) {
    std::string R;
    XMLDecodeEntities(C.Raw, true, R);
    EXPECT_EQ(R, C.Utf8) << C.Raw;
    XMLDecodeEntities(C.Raw, false, R);
    EXPECT_EQ(R, C.Ansi) << C.Raw;
    TXMLString S{C.Raw.data(), int32_t(C.Raw.size())};
    EXPECT_EQ(S.Value(), C.Utf8);
    EXPECT_EQ(S.AnsiValue(), C.Ansi);
  }
  for (std::string Bad : {"&#6a;", "&# ;", "&#x1-;", "&#12 "}) {
    std::string R;
    try {
      XMLDecodeEntities(Bad, true, R);
      ADD_FAILURE() << Bad;
    } catch (const std::runtime_error& E) {
      EXPECT_STREQ(E.what(), "Invalid numeric character");
    }
  }
}

TEST(XMLTree, slice_operations) {
  const std::string S = "ns:Name:x";
  TXMLString Q{S.data(), int32_t(S.size())};
  EXPECT_EQ(Q.Pos(':'), 2);
  EXPECT_EQ(Q.Pos('z'), -1);
  EXPECT_TRUE(Q.StartWith("Name", 3));
  EXPECT_FALSE(Q.StartWith("Name:xy", 3));
  EXPECT_FALSE(Q.StartWith("n", -1));
  TXMLString P;
  Q.GetPrefix(P);
  EXPECT_EQ(P.View(), "ns");
  EXPECT_EQ(Q.View(), "Name:x");
  TXMLString Local{S.data() + 3, 4};
  Local.GetPrefix(P);
  EXPECT_EQ(P.View().data(), S.data() + 3);
  EXPECT_EQ(P.Len, 0);
  EXPECT_EQ(Local.View(), "Name");
  EXPECT_TRUE(Local.Match("Name"));
  EXPECT_FALSE(Local.Match("name"));
  EXPECT_TRUE(Local.iMatch("nAME"));
  EXPECT_FALSE(Local.iMatch("nam"));
  EXPECT_TRUE(Local.Equals(TXMLString{"Name", 4}));
  TXMLString Nil;
  EXPECT_FALSE(Nil.Compare(""));
  EXPECT_TRUE((TXMLString{S.data(), 0}).Compare(""));
  EXPECT_EQ(Nil.RawValue(), "");
  EXPECT_EQ(Nil.Value(), "");
  EXPECT_EQ(Nil.AsInteger(), 0);
  EXPECT_EQ(Nil.AsDateTime(), 0);
}

TEST(XMLTree, integer_readers) {
  struct Case {
    std::string Text;
    std::optional<int> Strict;  // nullopt: raises
    int Lenient;
  };
  const std::vector<Case> Cases = {
      {"12", 12, 12},       {"-42", -42, -42},    {"+7", 7, 0},        {"&#49;2", 12, 12},
      {"12a", std::nullopt, 0}, {"", std::nullopt, 0}, {" 1", std::nullopt, 0}, {"99999999999", std::nullopt, 0},
      {"+-1", std::nullopt, 0}, {"-", std::nullopt, 0},
  };
  for (const Case& C : Cases) {
    std::string Doc = "<a>" + C.Text + "</a>";
    TXMLTree Tree;
    Tree.BuildFrom(Doc);
    EXPECT_EQ(Tree.Root().AsInteger(), C.Lenient) << C.Text;
    if (C.Strict) {
      EXPECT_EQ(Tree.Root().Text.AsInteger(), *C.Strict) << C.Text;
    } else {
      try {
        (void)Tree.Root().Text.AsInteger();
        ADD_FAILURE() << C.Text;
      } catch (const std::runtime_error& E) {
        EXPECT_EQ(E.what(), "'" + Tree.Root().Value() + "' is not a valid integer value");
      }
    }
  }
}

TEST(XMLTree, date_readers) {
  struct Case {
    std::string Text;
    TDateTime Want;
  };
  const std::vector<Case> Cases = {
      {"20240131235959+0100", UTCToLocal(DT(2024, 1, 31, 22, 59, 59))},
      {"20240131235959+0000", UTCToLocal(DT(2024, 1, 31, 23, 59, 59))},
      {"20240131235959-0130", UTCToLocal(DT(2024, 2, 1, 1, 29, 59))},
      {"202401312359+0530", UTCToLocal(DT(2024, 1, 31, 18, 29))},
      {"20240131235959", DT(2024, 1, 31, 23, 59, 59)},
      {"20240131", DT(2024, 1, 31)},
      {"2024013110", DT(2024, 1, 31, 10)},
      {"202401311", DT(2024, 1, 31, 1)},
      {"2024-01-31", DT(2024, 1, 31)},
      {"2024-01-31T10:20:30.5+01:00", DT(2024, 1, 31, 10, 20, 30)},
      {"2024-01-31 10:20:30", DT(2024, 1, 31, 10, 20, 30)},
      {"0000-00-00T10:20:30", DT(1899, 12, 30, 10, 20, 30)},
      {"0000-00-00", 0},
      {"10:20:30", DT(1899, 12, 30, 10, 20, 30)},
      {"&#50;024-01-31", DT(2024, 1, 31)},
  };
  for (const Case& C : Cases) {
    TXMLString S{C.Text.data(), int32_t(C.Text.size())};
    EXPECT_NEAR(S.AsDateTime(), C.Want, 1e-9) << C.Text;
  }
  struct Bad {
    std::string Text, Message;
  };
  const std::vector<Bad> Bads = {
      {"31/01/2024", "Invalid date 31/01/2024"},
      {"20241301", "Invalid date 20241301"},  // month 13: not the compact form
      {"18991231", "Invalid date 18991231"},  // year not after 1900
      {"2024-0a-31", "Invalid date 2024-0a-31"},
      {"2024-01-31T10", "Invalid date/time 2024-01-31T10"},
      {"2024-01-31X10:20:30", "Invalid date/time 2024-01-31X10:20:30"},
      {"2024-01-31T1x:20:30", "Invalid date 2024-01-31T1x:20:30"},
      {"20240230", "Invalid argument to date encode"},
      {"20240001", "Invalid argument to date encode"},
      {"2024-02-30", "Invalid argument to date encode"},
      {"25:00:00", "Invalid argument to time encode"},
      {"&lt;2024-01-31", "Invalid date <2024-01-31"},
  };
  for (const Bad& B : Bads) {
    TXMLString S{B.Text.data(), int32_t(B.Text.size())};
    try {
      (void)S.AsDateTime();
      ADD_FAILURE() << B.Text;
    } catch (const std::runtime_error& E) {
      EXPECT_EQ(E.what(), B.Message);
    }
  }
}

TEST(XMLTree, compact_dates_with_a_zone_are_shown_in_local_time) {
  // Independent of the converter: Paris is UTC+1 in January and UTC+2 in July.
  const char* Old = std::getenv("TZ");
  std::string Saved = Old ? Old : "";
  setenv("TZ", "Europe/Paris", 1);
  tzset();
  TXMLTree Tree;
  Tree.BuildFrom("<t><a>20240131235959+0100</a><b>20240715120000-0400</b><c>20240101000000+0000</c></t>");
  EXPECT_NEAR(Tree.Root().GetChild("a")->AsDateTime(), DT(2024, 1, 31, 23, 59, 59), 1e-9);
  EXPECT_NEAR(Tree.Root().GetChild("b")->AsDateTime(), DT(2024, 7, 15, 18, 0, 0), 1e-9);
  EXPECT_NEAR(Tree.Root().GetChild("c")->AsDateTime(), DT(2024, 1, 1, 1, 0, 0), 1e-9);
  if (Old)
    setenv("TZ", Saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(XMLTree, indent_renders_one_line_per_node) {
  TXMLTree Tree;
  Tree.BuildFrom(
      "<p:a xmlns:p=\"urn:p\" v=\"&lt;1&gt;\"><b>t &amp; u</b><c/>mixed<d><e x='1'/></d><f><![CDATA[&amp;]]></f></p:a>");
  std::vector<std::string> Lines{"stale"};
  Tree.Indent(Lines);
  const std::vector<std::string> Want = {
      "<p:a xmlns:p=\"urn:p\" v=\"<1>\">",
      " <b>t & u</b>",
      " <c/>",
      " mixed",
      " <d>",
      "  <e x=\"1\"/>",
      " </d>",
      " <f>&amp;</f>",
      "</p:a>",
  };
  EXPECT_EQ(Lines, Want);
}

TEST(XMLTree, fragments_with_several_top_elements) {
  const std::string S = "<a/> text <b>x</b><c/>";
  TXMLTree Tree;
  Tree.BuildMultiRoot(S);
  const TXMLNode& R = Tree.Root();
  EXPECT_TRUE(R.IsText());
  EXPECT_EQ(R.Text.View(), S);
  ASSERT_EQ(R.Length(), 4);
  EXPECT_EQ(R.Children()[1].Value(), " text ");
  EXPECT_EQ(R.Children()[2].Parent, &R);
  EXPECT_EQ(R.GetChild("b")->Value(), "x");
  EXPECT_EQ(R.GetChild("b")->FullPath(), "b");
  std::vector<std::string> Lines;
  Tree.Indent(Lines);
  EXPECT_EQ(Lines, (std::vector<std::string>{"<a/>", " text ", "<b>x</b>", "<c/>"}));
  EXPECT_THROW(Tree.BuildMultiRoot("<a/></a>"), EXMLUnexpectedClosingTagError);
  EXPECT_THROW(Tree.BuildMultiRoot("<a><b/>"), EXMLExpectedClosingTagNotFoundError);
}

TEST(XMLTree, tree_survives_moves_and_keeps_its_built_text) {
  TXMLTree Moved;
  {
    std::string Src = "<a><b>short</b></a>";  // short enough for the string's inline buffer
    TXMLTree Tree;
    Tree.Build(Src);
    Src.assign(Src.size(), 'x');
    Moved = std::move(Tree);
  }
  EXPECT_EQ(Moved.Text(), "<a><b>short</b></a>");
  PXMLNode B = Moved.XPathNode("a/b");
  ASSERT_TRUE(B);
  EXPECT_EQ(B->Value(), "short");
  EXPECT_EQ(B->Parent, &Moved.Root());
  Moved.BuildFrom("<c/>");
  EXPECT_TRUE(Moved.Text().empty());
  EXPECT_TRUE(Moved.Root().Name.Compare("c"));
}

TEST(XMLTree, every_truncation_fails_cleanly_or_reads_the_whole_root) {
  const std::string Doc =
      "\xEF\xBB\xBF<?xml version=\"1.0\"?><!-- c --><?pi?>x<s:r xmlns:s='urn:s' a=\"&amp;\">"
      "<b c='1'>t&#233;</b><![CDATA[<z>]]><d/>\r\n<e><f g=\"h\"/></e></s:r> trailing";
  const size_t RootEnd = Doc.find("</s:r>") + 6;
  for (size_t Len = 0; Len <= Doc.size(); ++Len) {
    TExactCopy Copy(std::string_view(Doc).substr(0, Len));
    TXMLTree Tree;
    bool Built = false;
    try {
      Tree.BuildFrom(Copy.Bytes.get(), Copy.Size);
      Built = true;
    } catch (const EXMLError& E) {
      EXPECT_GE(E.Index, 0);
      EXPECT_LE(size_t(E.Index), Len);
    }
    EXPECT_EQ(Built, Len == 0 || Len >= RootEnd) << Len;
    if (!Built) continue;
    std::vector<std::string> Lines;
    Tree.Indent(Lines);
    (void)Tree.XPathNode("//f[@g=h]");
  }
}

TEST(XMLTree, freed_trees_leave_a_bounded_cache_that_later_builds_reuse) {
  constexpr int Count = 60000;  // a tree of about 12 MB
  {
    TXMLTree Tree;
    Tree.Build(Entries(Count, 1));
    EXPECT_EQ(EntriesMismatch(Tree, Count, 1), "");
  }
  const size_t Cached = XMLTreeCachedBytes();
  EXPECT_LE(Cached, XMLTreeCacheLimit);
  EXPECT_GT(Cached, XMLTreeCacheLimit / 2);
  TXMLTree Tree;
  Tree.Build(Entries(Count, 2));
  EXPECT_LT(XMLTreeCachedBytes(), Cached);
  EXPECT_EQ(EntriesMismatch(Tree, Count, 2), "");  // over chunks that held the first tree
}

TEST(XMLTree, trees_built_and_freed_on_several_threads_at_once_stay_whole) {
  std::vector<std::thread> Threads;
  for (int T = 0; T < 4; ++T)
    Threads.emplace_back([T] {
      for (int Round = 0; Round < 50; ++Round) {
        const int Count = 200 + 3000 * ((T + Round) % 4);
        TXMLTree Tree;
        Tree.Build(Entries(Count, T));
        EXPECT_EQ(EntriesMismatch(Tree, Count, T), "") << "thread " << T << ", round " << Round;
      }
    });
  for (std::thread& T : Threads) T.join();
}

// GCC names AddressSanitizer with a macro, clang with a feature.
#if defined(__SANITIZE_ADDRESS__)
#define WITH_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WITH_ADDRESS_SANITIZER 1
#endif
#endif

#if defined(WITH_ADDRESS_SANITIZER)
// Death tests run first, while the cache has room for the freed tree's chunks.
TEST(XMLTreeDeathTest, nodes_of_a_freed_tree_stay_unreadable_in_the_cache) {
  auto Tree = std::make_unique<TXMLTree>();
  Tree->Build(Entries(100, 1));
  const TXMLNode* First = &Tree->Root().Children()[0].Children()[0];  // in a chunk of the first size, kept whole
  Tree.reset();
  EXPECT_DEATH((void)*static_cast<const volatile int32_t*>(&First->Name.Len), "use-after-poison");
}
#endif
