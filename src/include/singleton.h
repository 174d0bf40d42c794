// Process-wide singleton template. Instance() creates the object on first use with the
// creation policy (double-checked: the second test runs under the mutex); Destroy()
// deletes it. The gateway is single-threaded, but the guard keeps Instance and Destroy
// safe from several threads.
#ifndef HALL_INCLUDE_SINGLETON_H
#define HALL_INCLUDE_SINGLETON_H

#include <pthread.h>

#include "noncopyable.h"

// A pthread mutex with default attributes, initialised during static initialisation.
class CMutex : noncopyable {
 public:
  CMutex() { pthread_mutex_init(&_mutex, nullptr); }
  ~CMutex() { pthread_mutex_destroy(&_mutex); }
  void lock() { pthread_mutex_lock(&_mutex); }
  void unlock() { pthread_mutex_unlock(&_mutex); }

 private:
  pthread_mutex_t _mutex;
};

// Locks a CMutex for the lifetime of the guard.
class CScopedLock : noncopyable {
 public:
  explicit CScopedLock(CMutex& m) : _m(m) { _m.lock(); }
  ~CScopedLock() { _m.unlock(); }

 private:
  CMutex& _m;
};

template <class T>
struct CreateUsingNew {
  static T* Create() { return new T; }
  static void Destroy(T* p) { delete p; }
};

template <class T, template <class> class CreationPolicy = CreateUsingNew>
class CSingleton {
 public:
  static T* Instance() {
    if (_instance == nullptr) {
      CScopedLock guard(_mutex);
      if (_instance == nullptr) _instance = CreationPolicy<T>::Create();
    }
    return _instance;
  }

  static void Destroy() {
    if (_instance != nullptr) {
      CScopedLock guard(_mutex);
      if (_instance != nullptr) {
        CreationPolicy<T>::Destroy(_instance);
        _instance = nullptr;
      }
    }
  }

 private:
  static T* volatile _instance;
  static CMutex _mutex;
};

template <class T, template <class> class C>
T* volatile CSingleton<T, C>::_instance = nullptr;
template <class T, template <class> class C>
CMutex CSingleton<T, C>::_mutex;

#endif
