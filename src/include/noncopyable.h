// Base class of objects that own a descriptor, a slot or a buffer and so must not be
// copied or assigned.
#ifndef HALL_INCLUDE_NONCOPYABLE_H
#define HALL_INCLUDE_NONCOPYABLE_H

class noncopyable {
 protected:
  noncopyable() = default;
  ~noncopyable() = default;

 public:
  noncopyable(const noncopyable&) = delete;
  noncopyable& operator=(const noncopyable&) = delete;
};

#endif
