#include "CliTrace.h"

#include <cstdio>

#include "serial/Dispatcher.h"
#include "serial/Timers.h"

TCliTrace::TCliTrace(size_t limit) : FLimit(limit), FBase(SioTimeGetTime()) {}

TCliTrace::~TCliTrace() {
  Detach();
}

void TCliTrace::Attach(TSioBaseDispatcher& dispatcher) {
  FDispatcher = &dispatcher;
  dispatcher.SetTraceSink(&TCliTrace::Sink, this);
}

void TCliTrace::Detach() {
  if (FDispatcher) FDispatcher->SetTraceSink(nullptr, nullptr);
  FDispatcher = nullptr;
}

void TCliTrace::Sink(void* context, char kind, const char* bytes, unsigned len) {
  static_cast<TCliTrace*>(context)->Add(kind, bytes, len);
}

void TCliTrace::Add(char kind, const char* bytes, unsigned len) {
  std::lock_guard lock(FLock);
  if (len == 0 || FLimit == 0) return;
  if (len > FLimit) {
    FCut += len - FLimit;
    bytes += len - FLimit;
    len = static_cast<unsigned>(FLimit);
  }
  FEntries.push_back({SioTimeGetTime() - FBase, kind, std::string(bytes, len)});
  FBytes += len;
  while (FBytes > FLimit) {
    TEntry& oldest = FEntries.front();
    size_t drop = std::min(FBytes - FLimit, oldest.Bytes.size());
    oldest.Bytes.erase(0, drop);
    FBytes -= drop;
    FCut += drop;
    if (oldest.Bytes.empty()) FEntries.pop_front();
  }
}

std::vector<std::string> TCliTrace::Lines() const {
  std::lock_guard lock(FLock);
  std::vector<std::string> lines;
  for (const TEntry& e : FEntries) {
    char head[32];
    std::snprintf(head, sizeof head, "%10u %c", static_cast<unsigned>(e.Time), e.Kind);
    std::string line = head;
    for (unsigned char c : e.Bytes) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02X", c);
      line += hex;
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

uint64_t TCliTrace::CutBytes() const {
  std::lock_guard lock(FLock);
  return FCut;
}
