// The process-wide handle table shared by every kind of platform object (devices,
// symbolic links, registry keys, mutexes). NtClose and CloseHandle close any of them.
#pragma once

#include <cstddef>
#include <memory>

#include "nttypes.h"

namespace ntp {

// Base of everything a handle can refer to; the destructor releases what the
// object holds once its last handle is closed and no call still uses it.
struct HandleObject {
  virtual ~HandleObject() = default;
};

// Inserts an object and returns its new handle. Handle values are multiples of 4,
// never reused during a process, and never 0 or a predefined registry root.
HANDLE InsertHandle(std::shared_ptr<HandleObject> object);

// The object a handle refers to, or null for an unknown or closed handle.
std::shared_ptr<HandleObject> ReferenceHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> ReferenceHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(ReferenceHandle(handle));
}

// Removes a handle; false when it was not open.
bool RemoveHandle(HANDLE handle);

// Number of open handles (tests check that every path closes what it opened).
size_t OpenHandleCount();

}  // namespace ntp
