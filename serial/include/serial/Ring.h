// TSioRing: a byte ring with one producer position and one consumer position, for the
// dispatcher's receive and transmit rings. It owns the storage and the rules that plain index
// arithmetic gets wrong: equal positions mean empty unless the full flag is set, and every
// position wraps at the ring's size. It takes no lock; the dispatcher's ring locks guard it.
#pragma once

#include <memory>

class TSioRing {
public:
  // Takes `storage` of `size` bytes (nullptr for none) and empties the ring.
  void Attach(std::unique_ptr<char[]> storage, int size);
  void Release() { Attach(nullptr, 0); }
  bool Attached() const { return FData != nullptr; }
  int Size() const { return FSize; }
  // The storage from position 0, for laying out or inspecting the whole ring.
  char* Data() const { return FData.get(); }
  // Empties the ring with both positions at `at`.
  void Reset(int at = 0);

  int Held() const;
  int Free() const { return FSize - Held(); }
  bool Empty() const { return Held() == 0; }
  bool Full() const { return FFull; }
  int ReadPos() const { return FRead; }
  int WritePos() const { return FWrite; }
  // The position `count` bytes after `pos`, and how far `pos` lies after the read position.
  int Advance(int pos, int count) const;
  int OffsetOf(int pos) const { return FSize > 0 ? (pos - FRead + FSize) % FSize : 0; }

  // The free bytes from the write position on before the storage ends or the held bytes
  // begin; the producer fills them through WritePtr and then reports Produced.
  int WritableRun() const;
  char* WritePtr() const { return FData.get() + FWrite; }
  // Counts `count` bytes written at WritePtr (at most the writable run).
  void Produced(int count);
  // Copies in as much of `src` as is free, across the wrap; returns the count taken.
  int Put(const char* src, int len);

  // The held bytes from the read position on before the storage ends.
  int ReadableRun() const;
  const char* ReadPtr() const { return FData.get() + FRead; }
  // Drops the first `count` held bytes (at most all of them).
  void Consumed(int count);
  // The held byte `offset` bytes after the read position, and the byte at a position.
  char PeekAt(int offset) const { return FData[static_cast<size_t>(Advance(FRead, offset))]; }
  char At(int pos) const { return FData[static_cast<size_t>(pos)]; }
  // Copies `len` held bytes from `offset` after the read position on, across the wrap.
  void CopyOut(char* dest, int offset, int len) const;
  // Moves held bytes that wrap to the start of the storage, so that one run holds them all.
  void Gather();

private:
  std::unique_ptr<char[]> FData;
  int FSize = 0;
  int FRead = 0;
  int FWrite = 0;
  bool FFull = false;
};
