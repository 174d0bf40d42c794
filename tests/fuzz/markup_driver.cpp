// CMarkupSTL over arbitrary documents: parse the input as a document, then walk every
// element reachable with FindElem/IntoElem/OutOfElem and read attributes, checking that
// the cursor comes back where it went in and that a parsed document is found again.
#include <string.h>

#include <string>

#include "fuzz_driver.h"
#include "markup_stl.h"

namespace hallfuzz {

namespace {

const int kMaxVisits = 4096;

void walk(CMarkupSTL& xml, int depth, int* visits) {
  FUZZ_CHECK(depth <= CMarkupSTL::MAX_DEPTH + 1, "walked %d levels deep", depth);
  while (*visits < kMaxVisits && xml.FindElem()) {
    ++*visits;
    const std::string tag = xml.GetTagName();
    (void)xml.GetAttrib("name");
    (void)xml.GetAttrib("port");
    (void)xml.GetAttrib(tag.c_str());
    (void)xml.GetAttrib("");
    if (xml.IntoElem()) {
      walk(xml, depth + 1, visits);
      FUZZ_CHECK(xml.OutOfElem(), "OutOfElem failed after IntoElem at depth %d", depth);
      FUZZ_CHECK(xml.GetTagName() == tag, "came back to <%s> instead of <%s>", xml.GetTagName().c_str(), tag.c_str());
    }
  }
}

}  // namespace

int markup_one(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CMarkupSTL xml;
  const bool ok = xml.SetDoc(text.c_str());
  // An empty document fails without a message; any other failure names its error.
  FUZZ_CHECK(ok ? xml.GetError().empty() : (text.empty() || text[0] == '\0' || !xml.GetError().empty()),
             "SetDoc gave %d with error \"%s\"", ok, xml.GetError().c_str());

  int visits = 0;
  walk(xml, 0, &visits);
  FUZZ_CHECK(!xml.OutOfElem(), "OutOfElem succeeded at the top level");

  xml.ResetPos();
  if (xml.FindElem()) {
    const std::string root = xml.GetTagName();
    xml.ResetPos();
    FUZZ_CHECK(xml.FindElem(root.c_str()), "root <%s> not found again by name", root.c_str());
    // Named search among the root's children, with the name of the first child.
    if (xml.IntoElem() && xml.FindElem()) {
      const std::string child = xml.GetTagName();
      xml.ResetPos();
      xml.FindElem();
      xml.IntoElem();
      FUZZ_CHECK(xml.FindElem(child.c_str()), "child <%s> not found again by name", child.c_str());
    }
  }
  return 0;
}

}  // namespace hallfuzz
