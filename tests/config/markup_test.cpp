// The XML reader against the project's own configuration samples, hand-written
// documents for each construct and parse error, hostile input, and random documents
// serialised here and walked back through the cursor.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "markup_stl.h"
#include "test_support.h"

using testsupport::source_path;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

bool load_text(CMarkupSTL& xml, const TempDir& dir, const std::string& text) {
  std::string path = dir.file("doc.xml");
  write_file(path, text);
  return xml.Load(path.c_str());
}

}  // namespace

TEST(MarkupSamples, ConfigXmlHasEverySetting) {
  CMarkupSTL xml;
  ASSERT_TRUE(xml.Load(source_path("conf/config.xml").c_str())) << xml.GetError();
  ASSERT_TRUE(xml.FindElem("SYSTEM"));
  EXPECT_EQ(xml.GetAttrib("LogDir"), "../log");
  EXPECT_EQ(xml.GetAttrib("BindAddr"), "0.0.0.0");
  EXPECT_EQ(xml.GetAttrib("RedisServer"), "127.0.0.1");
  for (const char* name : {"LogNum", "LogSize", "LogLevel", "MaxFdCount", "WebTimeout", "HelperTimeout",
                           "MaxListenCount", "RedisPort", "UdpSwitch", "UdpServer", "UdpPort"}) {
    EXPECT_FALSE(xml.GetAttrib(name).empty()) << name;
  }
}

TEST(MarkupSamples, ServerXmlListsLoopbackServers) {
  CMarkupSTL xml;
  ASSERT_TRUE(xml.Load(source_path("conf/server.xml").c_str())) << xml.GetError();
  ASSERT_TRUE(xml.FindElem("SYSTEM"));
  ASSERT_TRUE(xml.IntoElem());
  ASSERT_TRUE(xml.FindElem("Node"));
  ASSERT_TRUE(xml.IntoElem());
  ASSERT_TRUE(xml.FindElem("ServerList"));
  ASSERT_TRUE(xml.IntoElem());
  int count = 0;
  while (xml.FindElem("Server")) {
    ++count;
    EXPECT_EQ(xml.GetAttrib("ip"), "127.0.0.1");
    EXPECT_GT(atoi(xml.GetAttrib("svid").c_str()), 0);
    EXPECT_GT(atoi(xml.GetAttrib("port").c_str()), 0);
  }
  EXPECT_GE(count, 1);
  EXPECT_TRUE(xml.OutOfElem());
  EXPECT_TRUE(xml.OutOfElem());
  EXPECT_EQ(xml.GetTagName(), "Node");
}

TEST(MarkupDocument, PrologCommentsAndDoctypeAreSkipped) {
  TempDir dir;
  CMarkupSTL xml;
  const char* doc =
      "<?xml version='1.0' encoding=\"UTF-8\"?>\n"
      "<!-- leading comment with <tags> and 'quotes -->\n"
      "<!DOCTYPE SYSTEM [\n"
      "  <!ELEMENT SYSTEM (Node)*>\n"
      "  <!ATTLIST SYSTEM LogDir CDATA \"../log>[\">\n"
      "  <!-- don't stop at ] or > in here -->\n"
      "  <!ENTITY e 'a]b>'>\n"
      "]>\n"
      "<?pi some processing?>\n"
      "<SYSTEM LogDir=\"/var/log\"><![CDATA[ <Fake/> ]]><!-- <Fake/> --><Node/><?pi?></SYSTEM>";
  ASSERT_TRUE(load_text(xml, dir, doc)) << xml.GetError();
  ASSERT_TRUE(xml.FindElem("SYSTEM"));
  EXPECT_EQ(xml.GetAttrib("LogDir"), "/var/log");
  ASSERT_TRUE(xml.IntoElem());
  EXPECT_FALSE(xml.FindElem("Fake"));
  ASSERT_TRUE(xml.FindElem());
  EXPECT_EQ(xml.GetTagName(), "Node");
  EXPECT_FALSE(xml.FindElem());
}

TEST(MarkupDocument, SelfClosingRootWithSingleQuotes) {
  CMarkupSTL xml;
  ASSERT_TRUE(xml.SetDoc("<SYSTEM LogDir='/tmp/a \"b\"' BindAddr = \"1.2.3.4\" />"));
  EXPECT_FALSE(xml.FindElem("system"));
  ASSERT_TRUE(xml.FindElem("SYSTEM"));
  EXPECT_EQ(xml.GetAttrib("LogDir"), "/tmp/a \"b\"");
  EXPECT_EQ(xml.GetAttrib("BindAddr"), "1.2.3.4");
  EXPECT_EQ(xml.GetAttrib("Missing"), "");
  EXPECT_EQ(xml.GetAttrib("Log"), "");  // a prefix of a name is not that name
  EXPECT_TRUE(xml.IntoElem());          // an element without children can be entered
  EXPECT_FALSE(xml.FindElem());
}

TEST(MarkupDocument, AttributeValues) {
  CMarkupSTL xml;
  ASSERT_TRUE(xml.SetDoc("<e a=\"x&amp;y&lt;z&#38;w\" q='&quot;&apos;&gt;&amp' u=bare v=\"1>2\" w=\"\"/>"));
  ASSERT_TRUE(xml.FindElem("e"));
  EXPECT_EQ(xml.GetAttrib("a"), "x&y<z&#38;w");  // numeric references stay as written
  EXPECT_EQ(xml.GetAttrib("q"), "\"'>&amp");     // an entity cut by the value's end stays
  EXPECT_EQ(xml.GetAttrib("u"), "");             // unquoted values are never found
  EXPECT_EQ(xml.GetAttrib("v"), "1>2");          // ">" inside quotes does not end the tag
  EXPECT_EQ(xml.GetAttrib("w"), "");
  EXPECT_EQ(xml.GetAttrib(nullptr), "");
}

TEST(MarkupCursor, FindElemVisitsSiblingsOfOneName) {
  CMarkupSTL xml;
  ASSERT_TRUE(xml.SetDoc("<r>text<Server id='1'/> more <Cmd id='2'></Cmd><Server id='3'>x</Server></r>"));
  ASSERT_TRUE(xml.FindElem("r"));
  ASSERT_TRUE(xml.IntoElem());
  ASSERT_TRUE(xml.FindElem("Server"));
  EXPECT_EQ(xml.GetAttrib("id"), "1");
  ASSERT_TRUE(xml.FindElem("Server"));
  EXPECT_EQ(xml.GetAttrib("id"), "3");
  EXPECT_FALSE(xml.FindElem("Server"));
  EXPECT_EQ(xml.GetAttrib("id"), "3");  // a failed search leaves the cursor alone

  ASSERT_TRUE(xml.OutOfElem());
  EXPECT_EQ(xml.GetTagName(), "r");
  std::string before = xml.GetTagName();
  EXPECT_FALSE(xml.OutOfElem());  // top level
  EXPECT_EQ(xml.GetTagName(), before);

  xml.ResetPos();
  EXPECT_EQ(xml.GetTagName(), "");
  EXPECT_EQ(xml.GetAttrib("id"), "");
  EXPECT_FALSE(xml.IntoElem());
  EXPECT_TRUE(xml.FindElem("r"));
}

TEST(MarkupCursor, OnlyTheFirstTopLevelElementExists) {
  CMarkupSTL xml;
  ASSERT_TRUE(xml.SetDoc("<a/><SYSTEM/>"));
  EXPECT_FALSE(xml.FindElem("SYSTEM"));
  ASSERT_TRUE(xml.SetDoc("<a><SYSTEM/></a>"));
  EXPECT_FALSE(xml.FindElem("SYSTEM"));
}

TEST(MarkupErrors, EachParseErrorIsReported) {
  struct Case {
    const char* doc;
    const char* error;
  };
  const Case cases[] = {
      {"just text", "Element tag not found"},
      {"<!-- only a comment -->  ", "Element tag not found"},
      {"<", "Abrupt end within tag"},
      {"<?xml?>\n< \n\t", "Abrupt end within tag"},
      {"<\"a\"/>", "Tag starts with quote"},
      {"<!-- unterminated", "Invalid node"},
      {"<?xml version='1.0'", "Invalid node"},
      {"<![CDATA[ x ]]", "Invalid node"},
      {"<!DOCTYPE a [ <!ELEMENT a ANY> ", "Invalid node"},
      {"<!DOCTYPE a \"unterminated>", "Invalid node"},
      {"<a attr='x'", "End of tag not found"},
      {"<a attr='x>'", "End of tag not found"},
      {"<SYSTEM><Node/>text", "End tag of SYSTEM element not found"},
      {"<a><b></a>", "End tag does not correspond to b"},
      {"<a></b>", "End tag does not correspond to a"},
      {"<a></ab>", "End tag does not correspond to a"},
      {"<ab></a>", "End tag does not correspond to ab"},
      {"<a></'a'>", "End tag does not correspond to a"},
      {"<a></a", "End tag not completed for element a"},
      {"<a></a 'x'", "End tag not completed for element a"},
      {"</a>", "Element tag not found"},
  };
  for (const Case& c : cases) {
    CMarkupSTL xml;
    EXPECT_FALSE(xml.SetDoc(c.doc)) << c.doc;
    EXPECT_EQ(xml.GetError(), c.error) << c.doc;
    EXPECT_FALSE(xml.FindElem()) << c.doc;
  }

  // Names of any length appear whole in the message.
  std::string name(5000, 'n');
  CMarkupSTL xml;
  EXPECT_FALSE(xml.SetDoc(("<" + name + "></x>").c_str()));
  EXPECT_EQ(xml.GetError(), "End tag does not correspond to " + name);
}

TEST(MarkupErrors, CommentsAfterTheLastChildAreNotAnEndTag) {
  // The end tag is searched where the children's scan stopped, not after the last
  // child, so a comment or processing instruction there is passed over.
  CMarkupSTL xml;
  ASSERT_TRUE(xml.SetDoc("<a><b/><!-- c --><?p?></a>")) << xml.GetError();
  ASSERT_TRUE(xml.SetDoc("<a><!-- only --></a>")) << xml.GetError();
  ASSERT_TRUE(xml.SetDoc("<a></a >")) << xml.GetError();
  ASSERT_TRUE(xml.SetDoc("<a></a 'ignored' >")) << xml.GetError();
}

TEST(MarkupLoad, FailuresLeaveAnEmptyDocument) {
  TempDir dir;
  CMarkupSTL xml;
  ASSERT_TRUE(load_text(xml, dir, "<ok/>"));
  EXPECT_TRUE(xml.FindElem("ok"));

  EXPECT_FALSE(load_text(xml, dir, ""));
  EXPECT_FALSE(xml.FindElem());
  EXPECT_FALSE(load_text(xml, dir, "  \n <!-- no element --> \n"));
  EXPECT_FALSE(load_text(xml, dir, "<a><b></a>"));
  EXPECT_EQ(xml.GetError(), "End tag does not correspond to b");
  EXPECT_FALSE(xml.FindElem());
  EXPECT_FALSE(xml.Load(dir.file("missing.xml").c_str()));
  EXPECT_FALSE(xml.Load(dir.path().c_str()));  // a directory
  EXPECT_FALSE(xml.Load(nullptr));

  // The text ends at an embedded zero byte, as a C string does.
  std::string with_nul("<a/>\0<b", 7);
  ASSERT_TRUE(load_text(xml, dir, with_nul));
  EXPECT_TRUE(xml.FindElem("a"));
}

TEST(MarkupHostile, DeepNestingIsAnErrorNotACrash) {
  CMarkupSTL xml;
  std::string ok;
  for (int i = 0; i < CMarkupSTL::MAX_DEPTH; ++i) ok += "<d>";
  for (int i = 0; i < CMarkupSTL::MAX_DEPTH; ++i) ok += "</d>";
  ASSERT_TRUE(xml.SetDoc(ok.c_str())) << xml.GetError();
  int depth = 0;
  while (xml.FindElem("d") && xml.IntoElem()) ++depth;
  EXPECT_EQ(depth, CMarkupSTL::MAX_DEPTH);

  std::string deep;
  for (int i = 0; i < 200000; ++i) deep += "<d>";
  EXPECT_FALSE(xml.SetDoc(deep.c_str()));
  EXPECT_EQ(xml.GetError(), "Element nesting too deep at d");
}

TEST(MarkupHostile, LargeDocumentAndGarbage) {
  TempDir dir;
  CMarkupSTL xml;
  // About 4 MB with 200000 children: the table grows far past its first size.
  std::string big = "<list>";
  for (int i = 0; i < 200000; ++i) big += "<i n='" + std::to_string(i) + "'/>  padding text ";
  big += "</list>";
  ASSERT_TRUE(load_text(xml, dir, big)) << xml.GetError();
  ASSERT_TRUE(xml.FindElem("list"));
  ASSERT_TRUE(xml.IntoElem());
  int count = 0;
  while (xml.FindElem("i")) {
    if (xml.GetAttrib("n") != std::to_string(count)) break;
    ++count;
  }
  EXPECT_EQ(count, 200000);

  std::mt19937 rng(12345);
  for (int round = 0; round < 200; ++round) {
    std::string junk(static_cast<size_t>(rng() % 4096) + 1, '\0');
    for (char& c : junk) c = static_cast<char>(rng() % 256);
    if (round % 2 == 0) junk = "<r" + junk;  // make some of it look like a tag
    write_file(dir.file("junk.xml"), junk);
    if (xml.Load(dir.file("junk.xml").c_str())) {
      // Whatever parsed must be walkable.
      while (xml.FindElem()) xml.GetAttrib("a");
    }
  }
}

// ---- random documents written out here and walked back ----

namespace {

struct Node {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attrs;
  std::vector<Node> children;
};

class RandomDoc {
 public:
  explicit RandomDoc(unsigned seed) : rng_(seed) {}

  Node make(int depth) {
    Node n;
    n.name = name();
    int nattr = static_cast<int>(rng_() % 4);
    for (int i = 0; i < nattr; ++i) {
      std::string key = name() + std::to_string(i);  // unique within the element
      n.attrs.emplace_back(key, value());
    }
    if (depth < 6) {
      int nchild = static_cast<int>(rng_() % (depth < 2 ? 6 : 3));
      for (int i = 0; i < nchild; ++i) n.children.push_back(make(depth + 1));
    }
    return n;
  }

  std::string write(const Node& n) {
    std::string out = "<" + n.name;
    for (const auto& a : n.attrs) {
      char q = rng_() % 2 ? '"' : '\'';
      out += pick({" ", "\n\t", "  "}) + a.first + pick({"=", " = ", "\n=\n"}) + q + escape(a.second, q) + q;
    }
    out += pick({"", " ", "\n"});
    if (n.children.empty() && rng_() % 2) return out + "/>";
    out += ">";
    for (const Node& c : n.children) {
      out += filler();
      out += write(c);
    }
    out += filler();
    return out + "</" + n.name + pick({"", " ", "\n"}) + ">";
  }

 private:
  std::string pick(std::initializer_list<const char*> options) {
    auto it = options.begin();
    std::advance(it, rng_() % options.size());
    return *it;
  }

  std::string name() {
    static const char kFirst[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_";
    static const char kRest[] = "abcXYZ_019.-:";
    std::string s(1, kFirst[rng_() % (sizeof(kFirst) - 1)]);
    int len = static_cast<int>(rng_() % 8);
    for (int i = 0; i < len; ++i) s += kRest[rng_() % (sizeof(kRest) - 1)];
    return s;
  }

  std::string value() {
    static const char kChars[] = "abc 123<>&'\"=/;#\t!?[]";
    std::string s;
    int len = static_cast<int>(rng_() % 12);
    for (int i = 0; i < len; ++i) s += kChars[rng_() % (sizeof(kChars) - 1)];
    if (rng_() % 4 == 0) s += "&#38;&lt";  // must come back exactly as written
    return s;
  }

  std::string escape(const std::string& v, char quote) {
    std::string out;
    for (char c : v) {
      if (c == '&')
        out += "&amp;";
      else if (c == '<')
        out += "&lt;";
      else if (c == '>' && rng_() % 2)
        out += "&gt;";
      else if (c == quote)
        out += quote == '"' ? "&quot;" : "&apos;";
      else if (c == '\'' && rng_() % 2)
        out += "&apos;";
      else
        out += c;
    }
    return out;
  }

  std::string filler() {
    switch (rng_() % 6) {
      case 0:
        return "";
      case 1:
        return " text > with gt ";
      case 2:
        return "<!-- comment <x a='1'/> -->";
      case 3:
        return "<![CDATA[ <y/> ]]>";
      case 4:
        return "<?pi data?>";
      default:
        return "\n  ";
    }
  }

  std::mt19937 rng_;
};

// Walks the children of the current parent position and compares them with `nodes`.
void expect_children(CMarkupSTL& xml, const std::vector<Node>& nodes, const std::string& where) {
  for (size_t i = 0; i < nodes.size(); ++i) {
    const Node& n = nodes[i];
    std::string here = where + "/" + n.name + "[" + std::to_string(i) + "]";
    ASSERT_TRUE(xml.FindElem()) << here;
    ASSERT_EQ(xml.GetTagName(), n.name) << here;
    for (const auto& a : n.attrs) EXPECT_EQ(xml.GetAttrib(a.first.c_str()), a.second) << here << "@" << a.first;
    EXPECT_EQ(xml.GetAttrib("absent"), "") << here;
    ASSERT_TRUE(xml.IntoElem()) << here;
    expect_children(xml, n.children, here);
    ASSERT_TRUE(xml.OutOfElem()) << here;
    ASSERT_EQ(xml.GetTagName(), n.name) << here;
  }
  EXPECT_FALSE(xml.FindElem()) << where;
}

}  // namespace

TEST(MarkupStructure, RandomDocumentsWalkBack) {
  for (unsigned seed = 1; seed <= 300; ++seed) {
    RandomDoc gen(seed);
    Node root = gen.make(0);
    std::string text = "<?xml version=\"1.0\"?>\n<!-- seed -->\n" + gen.write(root) + "\n<!-- tail -->";
    CMarkupSTL xml;
    ASSERT_TRUE(xml.SetDoc(text.c_str())) << "seed " << seed << ": " << xml.GetError() << "\n" << text;
    expect_children(xml, {root}, "");
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << "seed " << seed << "\n" << text;
      return;
    }

    // Searching by name visits exactly the root's children of that name, in order.
    xml.ResetPos();
    ASSERT_TRUE(xml.FindElem(root.name.c_str()));
    ASSERT_TRUE(xml.IntoElem());
    if (!root.children.empty()) {
      const std::string& wanted = root.children.back().name;
      std::vector<size_t> expected;
      for (size_t i = 0; i < root.children.size(); ++i)
        if (root.children[i].name == wanted) expected.push_back(i);
      for (size_t i : expected) {
        ASSERT_TRUE(xml.FindElem(wanted.c_str())) << "seed " << seed;
        const auto& attrs = root.children[i].attrs;
        if (!attrs.empty()) {
          EXPECT_EQ(xml.GetAttrib(attrs[0].first.c_str()), attrs[0].second);
        }
      }
      EXPECT_FALSE(xml.FindElem(wanted.c_str())) << "seed " << seed;
    }

    // Any cut of the document either fails cleanly or still walks.
    std::string cut = text.substr(0, text.size() * (seed % 10) / 10);
    CMarkupSTL part;
    if (part.SetDoc(cut.c_str())) {
      while (part.FindElem()) part.IntoElem();
    }
  }
}
