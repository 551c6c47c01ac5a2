// TDescriptor: owns one file descriptor (a file, a pipe end, a socket) and
// closes it when it goes; move-only. Used by every layer that opens
// descriptors: the message store, the relay client, the process runner, the
// classifier adapter. Any thread (one owner at a time); never fails.
#pragma once

#include <unistd.h>
#include <utility>

namespace quibo {

class TDescriptor {
public:
  TDescriptor() = default;
  explicit TDescriptor(int descriptor) : Value(descriptor) {}
  TDescriptor(TDescriptor&& other) noexcept : Value(other.Release()) {}
  TDescriptor& operator=(TDescriptor&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;
  ~TDescriptor() { Reset(); }

  int Get() const { return Value; }
  bool Valid() const { return Value >= 0; }
  // Gives the descriptor up without closing it.
  int Release() { return std::exchange(Value, -1); }
  // Closes the descriptor held, if any, and holds the one given.
  void Reset(int descriptor = -1) {
    if (Value >= 0) ::close(Value);
    Value = descriptor;
  }

private:
  int Value = -1;
};

} // namespace quibo
