#include "serial/Ring.h"

#include <algorithm>
#include <cstring>

void TSioRing::Attach(std::unique_ptr<char[]> storage, int size) {
  FData = std::move(storage);
  FSize = FData ? size : 0;
  Reset();
}

void TSioRing::Reset(int at) {
  FRead = FWrite = FSize > 0 ? at % FSize : 0;
  FFull = false;
}

int TSioRing::Held() const {
  if (FFull) return FSize;
  int held = FWrite - FRead;
  return held < 0 ? held + FSize : held;
}

int TSioRing::Advance(int pos, int count) const {
  return FSize > 0 ? (pos + count) % FSize : 0;
}

int TSioRing::WritableRun() const {
  if (FFull || !FData) return 0;
  return FRead > FWrite ? FRead - FWrite : FSize - FWrite;
}

void TSioRing::Produced(int count) {
  count = std::min(count, WritableRun());
  if (count <= 0) return;
  FWrite = Advance(FWrite, count);
  FFull = FWrite == FRead;
}

int TSioRing::Put(const char* src, int len) {
  int taken = 0;
  // At most two runs: up to the storage's end, then from its start.
  for (int run; taken < len && (run = std::min(WritableRun(), len - taken)) > 0; taken += run) {
    std::memcpy(WritePtr(), src + taken, static_cast<size_t>(run));
    Produced(run);
  }
  return taken;
}

int TSioRing::ReadableRun() const {
  if (Held() == 0) return 0;
  return FRead < FWrite ? FWrite - FRead : FSize - FRead;
}

void TSioRing::Consumed(int count) {
  count = std::min(count, Held());
  if (count <= 0) return;
  FRead = Advance(FRead, count);
  FFull = false;
}

void TSioRing::CopyOut(char* dest, int offset, int len) const {
  if (len <= 0) return;
  int start = Advance(FRead, offset);
  int first = std::min(len, FSize - start);
  std::memcpy(dest, FData.get() + start, static_cast<size_t>(first));
  if (len > first) std::memcpy(dest + first, FData.get(), static_cast<size_t>(len - first));
}

void TSioRing::Gather() {
  int held = Held();
  if (FRead == 0 || ReadableRun() == held) return;
  std::rotate(FData.get(), FData.get() + FRead, FData.get() + FSize);
  FRead = 0;
  FWrite = held == FSize ? 0 : held;
}
