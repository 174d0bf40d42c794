// Intrusive circular doubly linked list. A node that is in no list, and an empty list
// head, point to themselves in both directions. Lists never own their members: unlinking
// and freeing a list leaves the members alive. Single-threaded.
#ifndef HALL_INCLUDE_LIST_H
#define HALL_INCLUDE_LIST_H

struct list_head {
  list_head* next;
  list_head* prev;
};

class CListHead {
 public:
  list_head objlist;

  // Does nothing: the node is set up by InitList, which CListObject calls.
  CListHead() {}

  void InitList() { objlist.next = objlist.prev = &objlist; }
  // Unlinks the node from its list (if any) and leaves it pointing to itself.
  void ResetList() {
    Unlink();
    InitList();
  }
  void ListDel() { ResetList(); }
  int ListEmpty() const { return objlist.next == &objlist; }

  CListHead* ListNext() { return FromLink(objlist.next); }
  CListHead* ListPrev() { return FromLink(objlist.prev); }

  // Inserts the unlinked node just after `head` (at the front of its list).
  void ListAdd(CListHead& head) { Insert(&head.objlist, head.objlist.next); }
  // Inserts the unlinked node just before `head` (at the tail of its list).
  void ListAddTail(CListHead& head) { Insert(head.objlist.prev, &head.objlist); }
  // Moves the node, from whatever list holds it, to the front of `head`'s list.
  void ListMove(CListHead& head) {
    Unlink();
    ListAdd(head);
  }
  // Moves the node, from whatever list holds it, to the tail of `head`'s list.
  void ListMoveTail(CListHead& head) {
    Unlink();
    ListAddTail(head);
  }
  // Unlinks every member; members are not destroyed.
  void FreeList() {
    while (!ListEmpty()) ListNext()->ResetList();
  }

 private:
  static CListHead* FromLink(list_head* l) { return reinterpret_cast<CListHead*>(l); }
  void Unlink() {
    objlist.next->prev = objlist.prev;
    objlist.prev->next = objlist.next;
  }
  void Insert(list_head* prev, list_head* next) {
    next->prev = &objlist;
    objlist.next = next;
    objlist.prev = prev;
    prev->next = &objlist;
  }

  CListHead(const CListHead&) = delete;
  CListHead& operator=(const CListHead&) = delete;
};

// A list node that is the base part of a T (T derives from CListObject<T>), or a list
// head whose members are such nodes. It leaves its list when destroyed.
template <class T>
class CListObject : public CListHead {
 public:
  CListObject() { InitList(); }
  ~CListObject() { ResetList(); }

  T* ListOwner() { return static_cast<T*>(this); }
  // The owner of the next node; on a non-empty list head, the first member.
  T* NextOwner() { return static_cast<CListObject<T>*>(ListNext())->ListOwner(); }
  T* PrevOwner() { return static_cast<CListObject<T>*>(ListPrev())->ListOwner(); }
};

#endif
