#include "markup_stl.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

namespace {

const char kBlanks[] = " \t\n\r";
const char kDelimiters[] = " \t\n\r<>=\\/?!";

bool is_one_of(char c, const char* set) { return c != '\0' && strchr(set, c) != nullptr; }

}  // namespace

bool CMarkupSTL::TokenPos::Match(const char* name) const {
  if (name == nullptr) return false;
  int len = nR - nL + 1;
  if (len <= 0) return false;
  if (strncmp(szDoc + nL, name, len) != 0) return false;
  char after = name[len];
  return after == '\0' || is_one_of(after, " =/[");
}

CMarkupSTL::CMarkupSTL() : m_iPosParent(0), m_iPos(0), m_iPosChild(0), m_iPosFree(1), m_nNodeType(0) {
  SetDoc(nullptr);
}

CMarkupSTL::~CMarkupSTL() {}

bool CMarkupSTL::Load(const char* path) {
  bool ok = false;
  std::string error = "Cannot read file";
  FILE* fp = path != nullptr ? fopen(path, "rb") : nullptr;
  if (fp != nullptr) {
    long size = -1;
    if (fseek(fp, 0, SEEK_END) == 0) size = ftell(fp);
    // Positions are int offsets: a file that does not fit one is refused.
    if (size > 0 && size < INT_MAX && fseek(fp, 0, SEEK_SET) == 0) {
      std::vector<char> buf(static_cast<size_t>(size) + 1, '\0');
      if (fread(buf.data(), 1, static_cast<size_t>(size), fp) == static_cast<size_t>(size)) {
        ok = SetDoc(buf.data());
        error = m_strError;
      }
    }
    fclose(fp);
  }
  if (!ok) {
    SetDoc(nullptr);
    m_strError = error;
  }
  return ok;
}

bool CMarkupSTL::SetDoc(const char* text) {
  m_iPosFree = 1;
  ResetPos();
  m_strError.clear();
  m_strDoc = text != nullptr ? text : "";
  if (m_strDoc.size() >= static_cast<size_t>(INT_MAX)) {
    m_strDoc.clear();
    m_strError = "Document too large";
  }

  size_t needed = m_strDoc.size() / 64 + 8;
  if (m_aPos.size() < needed) m_aPos.resize(needed);

  bool well_formed = false;
  m_aPos[0] = ElemPos();
  if (!m_strDoc.empty()) {
    int content = 0;
    int root = x_ParseElem(0, content, 0);
    if (root > 0) {
      m_aPos[0].iElemChild = root;
      well_formed = true;
    } else if (root == 0 && m_strError.empty()) {
      // An end tag before any element.
      m_strError = "Element tag not found";
    }
  }
  if (!well_formed) {
    m_aPos[0] = ElemPos();
    m_iPosFree = 1;
  }
  ResetPos();
  return well_formed;
}

bool CMarkupSTL::x_FindToken(TokenPos& token) const {
  const char* doc = token.szDoc;
  int len = token.nDocLen;
  int n = token.nNext;
  while (n < len && is_one_of(doc[n], kBlanks)) ++n;
  if (n >= len) {
    token.nL = len;
    token.nR = len - 1;
    token.nNext = len;
    token.bIsString = false;
    return false;
  }

  char c = doc[n];
  if (c == '"' || c == '\'') {
    token.bIsString = true;
    token.nL = n + 1;
    int end = token.nL;
    while (end < len && doc[end] != c) ++end;
    token.nR = end - 1;
    token.nNext = end < len ? end + 1 : len;  // an unterminated string runs to the end
    return true;
  }

  token.bIsString = false;
  token.nL = n;
  while (n < len && !is_one_of(doc[n], kDelimiters)) ++n;
  if (n == token.nL) ++n;  // the delimiter alone is the token
  token.nR = n - 1;
  token.nNext = n;
  return true;
}

int CMarkupSTL::x_GetFreePos() {
  if (static_cast<size_t>(m_iPosFree) >= m_aPos.size()) {
    size_t size = m_aPos.size() < 8 ? 8 : m_aPos.size();
    m_aPos.resize(size + size / 2);
  }
  return m_iPosFree++;
}

int CMarkupSTL::x_ParseError(const char* szError, const char* szName) {
  m_strError = szError;
  size_t at = m_strError.find("%s");
  if (at != std::string::npos) m_strError.replace(at, 2, szName != nullptr ? szName : "");
  return -1;
}

// Skips a declaration, processing instruction, comment, CDATA section or DOCTYPE whose
// "<" opens the token's node; the token stands on its "?" or "!". On success the
// token's nNext is past the node.
bool CMarkupSTL::x_SkipNode(TokenPos& token) {
  const std::string& doc = m_strDoc;
  const int len = static_cast<int>(doc.size());
  const int at = token.nL;
  auto skip_past = [&](const char* terminator, int from) {
    size_t found = doc.find(terminator, static_cast<size_t>(from));
    if (found == std::string::npos) return false;
    token.nNext = static_cast<int>(found + strlen(terminator));
    return true;
  };

  if (doc[at] == '?') return skip_past("?>", at + 1);
  char next = at + 1 < len ? doc[at + 1] : '\0';
  if (next == '[') return skip_past("]]>", at + 2);
  if (next == '-') return skip_past("-->", at + 2);

  // Any other "<!" (a DOCTYPE) ends at the first ">" outside square brackets. Quoted
  // strings and comments of an internal subset may hold brackets and quotes of their
  // own, so they are passed over whole.
  int depth = 0;
  int i = at + 1;
  while (i < len) {
    char c = doc[i];
    if (c == '"' || c == '\'') {
      size_t close = doc.find(c, static_cast<size_t>(i) + 1);
      if (close == std::string::npos) return false;
      i = static_cast<int>(close) + 1;
      continue;
    }
    if (c == '<' && doc.compare(static_cast<size_t>(i), 4, "<!--") == 0) {
      size_t close = doc.find("-->", static_cast<size_t>(i) + 4);
      if (close == std::string::npos) return false;
      i = static_cast<int>(close) + 3;
      continue;
    }
    if (c == '[') {
      ++depth;
    } else if (c == ']') {
      if (depth > 0) --depth;
    } else if (c == '>' && depth == 0) {
      token.nNext = i + 1;
      return true;
    }
    ++i;
  }
  return false;
}

// Parses one element under iPosParent, scanning from nContent. Returns the element's
// index, 0 when the parent's end tag (or, inside an element, the end of the text) was
// met instead, or -1 on error. After an element, nContent is past its end; after 0 it
// stands on the "<" of the parent's end tag.
int CMarkupSTL::x_ParseElem(int iPosParent, int& nContent, int nDepth) {
  const int len = static_cast<int>(m_strDoc.size());
  const char* doc = m_strDoc.c_str();
  int iPos = x_GetFreePos();
  m_aPos[iPos] = ElemPos();
  m_aPos[iPos].iElemParent = iPosParent;

  TokenPos token(doc, len);
  token.nNext = nContent;
  int nStartL = -1;
  for (;;) {
    size_t lt = m_strDoc.find('<', static_cast<size_t>(token.nNext));
    if (lt == std::string::npos) {
      x_ReleasePos();
      if (iPosParent != 0) {
        // Let the parent report its missing end tag by name.
        nContent = len;
        return 0;
      }
      return x_ParseError("Element tag not found");
    }
    nStartL = static_cast<int>(lt);
    token.nNext = nStartL + 1;
    if (!x_FindToken(token)) {
      x_ReleasePos();
      return x_ParseError("Abrupt end within tag");
    }
    if (token.bIsString) {
      x_ReleasePos();
      return x_ParseError("Tag starts with quote");
    }
    char c = doc[token.nL];
    if (c == '?' || c == '!') {
      if (!x_SkipNode(token)) {
        x_ReleasePos();
        return x_ParseError("Invalid node");
      }
      continue;
    }
    if (c == '/') {
      x_ReleasePos();
      nContent = nStartL;
      return 0;
    }
    break;
  }

  std::string name(doc + token.nL, static_cast<size_t>(token.nR - token.nL + 1));
  if (nDepth >= MAX_DEPTH) {
    x_ReleasePos();
    return x_ParseError("Element nesting too deep at %s", name.c_str());
  }

  // The start tag ends at the first ">" outside quoted attribute values.
  int nStartR = -1;
  while (x_FindToken(token)) {
    if (!token.bIsString && doc[token.nL] == '>') {
      nStartR = token.nL;
      break;
    }
  }
  if (nStartR < 0) {
    x_ReleasePos();
    return x_ParseError("End of tag not found");
  }
  m_aPos[iPos].nStartL = nStartL;
  m_aPos[iPos].nStartR = nStartR;

  if (doc[nStartR - 1] == '/') {
    m_aPos[iPos].nEndL = nStartR - 1;
    m_aPos[iPos].nEndR = nStartR;
    nContent = nStartR + 1;
    return iPos;
  }

  int content = nStartR + 1;
  int iPrev = 0;
  for (;;) {
    int iChild = x_ParseElem(iPos, content, nDepth + 1);
    if (iChild < 0) return -1;
    if (iChild == 0) break;
    if (iPrev == 0) {
      m_aPos[iPos].iElemChild = iChild;
    } else {
      m_aPos[iPrev].iElemNext = iChild;
    }
    iPrev = iChild;
  }

  size_t endl = m_strDoc.find('<', static_cast<size_t>(content));
  if (endl == std::string::npos) {
    x_ReleasePos();
    return x_ParseError("End tag of %s element not found", name.c_str());
  }
  m_aPos[iPos].nEndL = static_cast<int>(endl);

  token.nNext = static_cast<int>(endl) + 1;
  int count = 0;
  bool closed = false;
  while (x_FindToken(token)) {
    ++count;
    // The name is the second token: a quoted string there names no element. Strings
    // after it are passed over.
    if (count == 2 && (token.bIsString || !token.Match(name.c_str()))) {
      x_ReleasePos();
      return x_ParseError("End tag does not correspond to %s", name.c_str());
    }
    if (token.bIsString) continue;
    char c = doc[token.nL];
    if (count == 1 && c != '/') {
      x_ReleasePos();
      return x_ParseError("Expecting end tag of element %s", name.c_str());
    }
    if (c == '>') {
      closed = true;
      break;
    }
  }
  if (!closed || count < 2) {
    x_ReleasePos();
    return x_ParseError("End tag not completed for element %s", name.c_str());
  }
  m_aPos[iPos].nEndR = token.nL;
  nContent = token.nL + 1;
  return iPos;
}

void CMarkupSTL::x_SetPos(int iPosParent, int iPos, int iPosChild) {
  m_iPosParent = iPosParent;
  m_iPos = iPos;
  m_iPosChild = iPosChild;
  m_nNodeType = iPos != 0 ? 1 : 0;
}

void CMarkupSTL::ResetPos() { x_SetPos(0, 0, 0); }

std::string CMarkupSTL::x_GetTagName(int iPos) const {
  if (iPos <= 0) return std::string();
  TokenPos token(m_strDoc.c_str(), static_cast<int>(m_strDoc.size()));
  token.nNext = m_aPos[iPos].nStartL + 1;
  if (!x_FindToken(token) || token.bIsString) return std::string();
  return m_strDoc.substr(static_cast<size_t>(token.nL), static_cast<size_t>(token.nR - token.nL + 1));
}

std::string CMarkupSTL::GetTagName() const { return x_GetTagName(m_iPos); }

bool CMarkupSTL::FindElem(const char* name) {
  int iPos = m_iPos != 0 ? m_aPos[m_iPos].iElemNext : m_aPos[m_iPosParent].iElemChild;
  bool any = name == nullptr || name[0] == '\0';
  TokenPos token(m_strDoc.c_str(), static_cast<int>(m_strDoc.size()));
  while (iPos != 0) {
    if (any) break;
    token.nNext = m_aPos[iPos].nStartL + 1;
    if (x_FindToken(token) && !token.bIsString && token.Match(name)) break;
    iPos = m_aPos[iPos].iElemNext;
  }
  if (iPos == 0) return false;
  x_SetPos(m_aPos[iPos].iElemParent, iPos, 0);
  return true;
}

bool CMarkupSTL::IntoElem() {
  if (m_iPos == 0 || m_nNodeType != 1) return false;
  x_SetPos(m_iPos, m_iPosChild, 0);
  return true;
}

bool CMarkupSTL::OutOfElem() {
  if (m_iPosParent == 0) return false;
  x_SetPos(m_aPos[m_iPosParent].iElemParent, m_iPosParent, m_iPos);
  return true;
}

std::string CMarkupSTL::GetAttrib(const char* name) const {
  if (m_iPos == 0 || name == nullptr) return std::string();
  const ElemPos& elem = m_aPos[m_iPos];
  // The scan never leaves the start tag.
  TokenPos token(m_strDoc.c_str(), elem.nStartR + 1);
  token.nNext = elem.nStartL + 1;
  if (!x_FindToken(token)) return std::string();  // the tag name

  int count = 0;
  int candidate = -1;
  while (x_FindToken(token)) {
    ++count;
    if (token.bIsString) {
      if (candidate >= 0 && count == candidate + 2) return x_TextFromDoc(token.nL, token.nR);
      continue;
    }
    char c = m_strDoc[static_cast<size_t>(token.nL)];
    if (c == '>' || c == '/') break;
    if (c != '=' && token.Match(name)) candidate = count;
  }
  return std::string();
}

std::string CMarkupSTL::x_TextFromDoc(int nL, int nR) const {
  static const struct {
    const char* name;
    char ch;
  } kEntities[] = {{"lt;", '<'}, {"amp;", '&'}, {"gt;", '>'}, {"apos;", '\''}, {"quot;", '"'}};

  std::string text;
  if (nR < nL) return text;
  text.reserve(static_cast<size_t>(nR - nL + 1));
  int i = nL;
  while (i <= nR) {
    char c = m_strDoc[static_cast<size_t>(i)];
    if (c == '&') {
      bool decoded = false;
      for (const auto& entity : kEntities) {
        int n = static_cast<int>(strlen(entity.name));
        if (i + n <= nR && m_strDoc.compare(static_cast<size_t>(i) + 1, static_cast<size_t>(n), entity.name) == 0) {
          text += entity.ch;
          i += n + 1;
          decoded = true;
          break;
        }
      }
      if (decoded) continue;
    }
    text += c;
    ++i;
  }
  return text;
}
