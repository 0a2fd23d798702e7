// --trace: the bytes a port sends ('T') and receives ('R') with their time in milliseconds
// from the start of the run, taken from the dispatcher's trace sink and kept in memory up to
// MaxTraceSize bytes (the newest ones; the older are counted as cut).
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

class TSioBaseDispatcher;

class TCliTrace {
public:
  explicit TCliTrace(size_t limit);
  ~TCliTrace();
  TCliTrace(const TCliTrace&) = delete;
  TCliTrace& operator=(const TCliTrace&) = delete;

  // Starts taking the dispatcher's bytes; Detach (or the dispatcher's end) stops it.
  void Attach(TSioBaseDispatcher& dispatcher);
  void Detach();
  // "      1234 T 00 03 AA BB CC", one line per sink call, oldest first.
  std::vector<std::string> Lines() const;
  // Bytes dropped to stay within the limit.
  uint64_t CutBytes() const;

private:
  struct TEntry {
    uint32_t Time;
    char Kind;
    std::string Bytes;
  };
  static void Sink(void* context, char kind, const char* bytes, unsigned len);
  void Add(char kind, const char* bytes, unsigned len);

  mutable std::mutex FLock;
  std::deque<TEntry> FEntries;
  size_t FLimit;
  size_t FBytes = 0;
  uint64_t FCut = 0;
  uint32_t FBase;
  TSioBaseDispatcher* FDispatcher = nullptr;
};
