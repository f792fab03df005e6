// Owners of the library's Win32 handles: each frees its handle on every path.
// The library links nothing of the program's (its form framework, which has
// the same family as vcl::TOwned, included), so it keeps this one of its own.
#pragma once

#include <windows.h>

namespace sevenzip32 {

template <typename T, typename Free>
class Owned {
 public:
  explicit Owned(T value = T()) : value_(value) {}
  ~Owned() { reset(); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;

  T get() const { return value_; }
  explicit operator bool() const { return value_ != T(); }
  void reset(T value = T()) {
    if (value_ != T()) Free()(value_);
    value_ = value;
  }

 private:
  T value_;
};

struct CloseKernelHandle {
  void operator()(HANDLE h) const { CloseHandle(h); }
};

// An event, a thread or another kernel object that CloseHandle frees (never
// a file: those have INVALID_HANDLE_VALUE, not null, as their empty value).
using OwnedHandle = Owned<HANDLE, CloseKernelHandle>;

}  // namespace sevenzip32
