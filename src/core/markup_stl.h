// CMarkupSTL: a small in-memory XML reader for the gateway's configuration files.
// It holds the whole document text, parses the element structure once into a flat
// table of element positions linked by index, and lets the caller walk the tree with
// a three-level cursor (parent, main, child) and read decoded attribute values.
// Owned by the caller (usually a local object); not shared between threads.
#ifndef HALL_CORE_MARKUP_STL_H
#define HALL_CORE_MARKUP_STL_H

#include <string>
#include <vector>

class CMarkupSTL {
 public:
  CMarkupSTL();
  virtual ~CMarkupSTL();

  // Reads the file at `path` and parses it. False when the file cannot be opened or
  // read in one piece (an empty file counts as unreadable) or is not well-formed;
  // the reader then holds an empty document.
  bool Load(const char* path);
  // Takes `text` (null means empty) as the document and parses it. True when the root
  // element parsed. Only the first top-level element is parsed.
  bool SetDoc(const char* text);

  // Moves the main position to the next element named `name` among the children of
  // the parent position; a null or empty name matches any element.
  bool FindElem(const char* name = nullptr);
  // Descends into the main position: (main, child, 0). False without a main element.
  bool IntoElem();
  // Climbs back: (parent of parent, parent, main). False at the top level.
  bool OutOfElem();
  // The decoded value of the quoted attribute `name` of the main element, or "".
  std::string GetAttrib(const char* name) const;
  // The tag name of the main element, or "" when there is none.
  std::string GetTagName() const;
  // Cursor to (0, 0, 0), before the root element.
  void ResetPos();

  // Text of the last parse error; empty after a successful parse.
  const std::string& GetError() const { return m_strError; }

  // Elements nested deeper than this are a parse error ("Element nesting too deep"),
  // so hostile input cannot exhaust the stack of the recursive parser.
  static constexpr int MAX_DEPTH = 256;

 protected:
  struct ElemPos {
    int nStartL;      // "<" that opens the start tag
    int nStartR;      // ">" that closes the start tag
    int nEndL;        // "<" of the end tag, or the "/" of a self-closing tag
    int nEndR;        // ">" that closes the end tag (nStartR for a self-closing tag)
    int nReserved;    // always 0
    int iElemParent;  // parent index, 0 for the root
    int iElemChild;   // first child, or 0
    int iElemNext;    // next sibling, or 0
  };

  struct TokenPos {
    TokenPos(const char* doc, int len) : nL(0), nR(-1), nNext(0), szDoc(doc), nDocLen(len), bIsString(false) {}
    // The token equals the start of `name`, and `name` ends there or goes on with one
    // of " =/[".
    bool Match(const char* name) const;
    int nL;     // first character of the token
    int nR;     // last character of the token
    int nNext;  // where the next scan starts
    const char* szDoc;
    int nDocLen;     // the scanner never reads at or past this offset
    bool bIsString;  // a quoted string; nL..nR exclude the quotes
  };

  bool x_FindToken(TokenPos& token) const;
  int x_ParseElem(int iPosParent, int& nContent, int nDepth);
  int x_ParseError(const char* szError, const char* szName = nullptr);
  bool x_SkipNode(TokenPos& token);
  int x_GetFreePos();
  void x_ReleasePos() { --m_iPosFree; }
  std::string x_GetTagName(int iPos) const;
  std::string x_TextFromDoc(int nL, int nR) const;
  void x_SetPos(int iPosParent, int iPos, int iPosChild);

  std::string m_strDoc;
  std::string m_strError;
  std::vector<ElemPos> m_aPos;
  int m_iPosParent;
  int m_iPos;
  int m_iPosChild;
  int m_iPosFree;
  int m_nNodeType;
};

#endif
