// TSioCustomComPort: the trace (bytes sent and received) and the dispatch log (what the
// dispatcher did), their state machine, and the files they are written to.
//
// Both buffers belong to the component and are filled on the dispatcher's threads through its
// sinks, so each has a lock of its own; a sink only takes that lock.
#include "serial/ComPort.h"

#include <cstdio>

#include "serial/Timers.h"

struct TSioCustomComPort::TTraceBuffer {
  struct TEntry {
    DWORD Time;
    char Kind;
    std::string Bytes;
  };
  std::mutex Lock;
  std::deque<TEntry> Entries; // one per sink call; Size counts their bytes
  size_t Bytes = 0;
  size_t Size = 0;
  DWORD Base = 0;

  void Add(char kind, const char* bytes, unsigned len) {
    std::lock_guard lock(Lock);
    if (Size == 0 || len == 0) return;
    if (len > Size) { // only the newest bytes fit
      bytes += len - Size;
      len = static_cast<unsigned>(Size);
    }
    Entries.push_back({SioTimeGetTime() - Base, kind, std::string(bytes, len)});
    Bytes += len;
    while (Bytes > Size) {
      TEntry& oldest = Entries.front();
      size_t drop = std::min(Bytes - Size, oldest.Bytes.size());
      oldest.Bytes.erase(0, drop);
      Bytes -= drop;
      if (oldest.Bytes.empty()) Entries.pop_front();
    }
  }
  void Reset(size_t size) {
    std::lock_guard lock(Lock);
    Entries.clear();
    Bytes = 0;
    Size = size;
    Base = SioTimeGetTime();
  }
  static void Sink(void* context, char kind, const char* bytes, unsigned len) {
    static_cast<TTraceBuffer*>(context)->Add(kind, bytes, len);
  }
};

struct TSioCustomComPort::TLogBuffer {
  struct TEntry {
    TSioDispatchEntry Entry;
    std::string Text; // entries added as text
  };
  std::mutex Lock;
  std::deque<TEntry> Entries;
  size_t Size = 0;
  DWORD Base = 0;

  void Add(const TSioDispatchEntry& entry, std::string text) {
    std::lock_guard lock(Lock);
    if (Size == 0) return;
    TEntry e{entry, std::move(text)};
    e.Entry.Time = SioTimeGetTime() - Base;
    Entries.push_back(std::move(e));
    while (Entries.size() > Size)
      Entries.pop_front();
  }
  void Reset(size_t size) {
    std::lock_guard lock(Lock);
    Entries.clear();
    Size = size;
    Base = SioTimeGetTime();
  }
  static void Sink(void* context, const TSioDispatchEntry& entry) {
    static_cast<TLogBuffer*>(context)->Add(entry, {});
  }
};

namespace {

const char* const DispatchTypeNames[] = {"None",           "Dispatch",
                                         "Trigger",        "Error",
                                         "Thread",         "TriggerAlloc",
                                         "TriggerDispose", "HandlerAlloc",
                                         "HandlerDispose", "TriggerDataChange",
                                         "Telnet",         "Fax",
                                         "XModem",         "YModem",
                                         "ZModem",         "Kermit",
                                         "Ascii",          "BPlus",
                                         "Packet",         "User"};
const char* const DispatchSubTypeNames[] = {
    "ReadCom",      "WriteCom",   "LineStatus",  "ModemStatus",  "Avail",
    "Timer",        "Data",       "Status",      "ThreadStart",  "ThreadExit",
    "ThreadSleep",  "ThreadWake", "DataTrigger", "TimerTrigger", "StatusTrigger",
    "AvailTrigger", "WndHandler", "ProcHandler", "EventHandler"};

std::string HexBytes(const std::string& bytes) {
  std::string s;
  for (unsigned char c : bytes)
    s += Format(s.empty() ? "%02X" : " %02X", c);
  return s;
}

std::string TextBytes(const std::string& bytes) {
  std::string s;
  for (unsigned char c : bytes)
    s += c >= 0x20 && c < 0x7F && c != '\\' ? std::string(1, static_cast<char>(c))
                                            : Format("\\x%02X", c);
  return s;
}

// False when the file cannot be written; the buffer is then given up all the same, as the
// state machine ends in tlOff either way.
bool WriteLines(const std::string& fileName, bool append, const std::vector<std::string>& lines) {
  FILE* f = std::fopen(fileName.c_str(), append ? "a" : "w");
  if (!f) return false;
  for (const std::string& line : lines) {
    std::fputs(line.c_str(), f);
    std::fputc('\n', f);
  }
  return std::fclose(f) == 0;
}

} // namespace

// ---- the state machine ----

void TSioCustomComPort::InstallSinks() {
  if (!FDispatcher) return;
  FDispatcher->SetTraceSink(FTracing == tlOn && FTrace ? &TTraceBuffer::Sink : nullptr,
                            FTrace.get());
  FDispatcher->SetDispatchLogSink(FLogging == tlOn && FLog ? &TLogBuffer::Sink : nullptr,
                                  FLog.get());
}

void TSioCustomComPort::ChangeTraceLog(bool trace, TTraceLogState value) {
  TTraceLogState current = trace ? FTracing : FLogging;
  if (value == current && !FReapply) return;
  if (FPortState != psOpen) {
    (trace ? FTracing : FLogging) = value == tlOn ? tlOn : tlOff;
    return;
  }
  bool active = current == tlOn || current == tlPause;
  switch (value) {
  case tlOff:
    if (active) trace ? AbortTracing() : AbortLogging();
    break;
  case tlOn:
    if (current == tlPause)
      trace ? StartTracing() : StartLogging();
    else
      trace ? InitTracing(FTraceSize) : InitLogging(FLogSize);
    break;
  case tlDump:
  case tlAppend:
    if (!active) break;
    if (trace) {
      StartTracing();
      value == tlDump ? DumpTrace(FTraceName, FTraceHex) : AppendTrace(FTraceName, FTraceHex);
    } else {
      StartLogging();
      value == tlDump ? DumpLog(FLogName, FLogHex) : AppendLog(FLogName, FLogHex);
    }
    break;
  case tlClear:
    if (active) trace ? ClearTracing() : ClearLogging();
    break;
  case tlPause:
    if (current == tlOn) trace ? StopTracing() : StopLogging();
    break;
  }
}

void TSioCustomComPort::SetTracing(TTraceLogState state) {
  ChangeTraceLog(true, state);
}

void TSioCustomComPort::SetLogging(TTraceLogState state) {
  ChangeTraceLog(false, state);
}

void TSioCustomComPort::SetTraceSize(uint32_t size) {
  FTraceSize = std::min(size, MaxTraceSize);
  if (FPortState == psOpen && (FTracing == tlOn || FTracing == tlPause)) {
    TTraceLogState previous = FTracing;
    AbortTracing();
    SetTracing(previous);
  }
}

void TSioCustomComPort::SetLogSize(uint32_t size) {
  FLogSize = std::min(size, MaxLogSize);
  if (FPortState == psOpen && (FLogging == tlOn || FLogging == tlPause)) {
    TTraceLogState previous = FLogging;
    AbortLogging();
    SetLogging(previous);
  }
}

// ---- trace operations; on a closed port they do nothing ----

void TSioCustomComPort::InitTracing(uint32_t numEntries) {
  if (ShuttingDown() || !DispOrNull()) return;
  if (numEntries != 0) FTraceSize = std::min(numEntries, MaxTraceSize);
  if (!FTrace) FTrace = std::make_shared<TTraceBuffer>();
  FTrace->Reset(FTraceSize);
  FTracing = tlOn;
  InstallSinks();
}

void TSioCustomComPort::DumpTrace(const std::string& fileName, bool inHex) {
  WriteTrace(fileName, inHex, false);
}

void TSioCustomComPort::AppendTrace(const std::string& fileName, bool inHex) {
  WriteTrace(fileName, inHex, true);
}

void TSioCustomComPort::WriteTrace(const std::string& fileName, bool inHex, bool append) {
  if (ShuttingDown() || !DispOrNull() || !FTrace) return;
  FTracing = tlOff;
  InstallSinks();
  std::vector<std::string> lines;
  {
    std::lock_guard lock(FTrace->Lock);
    for (const auto& e : FTrace->Entries) {
      std::string line =
          Format("%10u %c %s", static_cast<unsigned>(e.Time), e.Kind, HexBytes(e.Bytes).c_str());
      if (!inHex && !FTraceAllHex) line += "  \"" + TextBytes(e.Bytes) + "\"";
      lines.push_back(std::move(line));
    }
  }
  FTrace->Reset(0);
  WriteLines(fileName, append, lines);
}

void TSioCustomComPort::ClearTracing() {
  if (ShuttingDown() || !DispOrNull() || !FTrace) return;
  FTrace->Reset(FTrace->Size);
}

void TSioCustomComPort::AbortTracing() {
  if (ShuttingDown() || !DispOrNull()) return;
  FTracing = tlOff;
  InstallSinks();
  if (FTrace) FTrace->Reset(0);
}

void TSioCustomComPort::StartTracing() {
  if (ShuttingDown() || !DispOrNull() || !FTrace || FTrace->Size == 0) return;
  FTracing = tlOn;
  InstallSinks();
}

void TSioCustomComPort::StopTracing() {
  if (ShuttingDown() || !DispOrNull() || FTracing != tlOn) return;
  FTracing = tlPause;
  InstallSinks();
}

void TSioCustomComPort::AddTraceEntry(char kind, char c) {
  if (ShuttingDown() || !DispOrNull() || !FTrace || FTracing != tlOn) return;
  FTrace->Add(kind, &c, 1);
}

// ---- dispatch log operations ----

void TSioCustomComPort::InitLogging(uint32_t numEntries) {
  if (ShuttingDown() || !DispOrNull()) return;
  if (numEntries != 0) FLogSize = std::min(numEntries, MaxLogSize);
  if (!FLog) FLog = std::make_shared<TLogBuffer>();
  FLog->Reset(FLogSize);
  FLogging = tlOn;
  InstallSinks();
}

void TSioCustomComPort::DumpLog(const std::string& fileName, bool inHex) {
  WriteLog(fileName, inHex, false);
}

void TSioCustomComPort::AppendLog(const std::string& fileName, bool inHex) {
  WriteLog(fileName, inHex, true);
}

void TSioCustomComPort::WriteLog(const std::string& fileName, bool inHex, bool append) {
  if (ShuttingDown() || !DispOrNull() || !FLog) return;
  FLogging = tlOff;
  InstallSinks();
  std::vector<std::string> lines;
  {
    std::lock_guard lock(FLog->Lock);
    for (const auto& e : FLog->Entries) {
      const TSioDispatchEntry& d = e.Entry;
      std::string line = Format("%10u ", static_cast<unsigned>(d.Time));
      if (!e.Text.empty()) {
        line += "Text " + HexBytes(e.Text);
        if (!inHex && !FLogAllHex) line += "  \"" + TextBytes(e.Text) + "\"";
      } else {
        unsigned type = static_cast<unsigned>(d.Type), sub = static_cast<unsigned>(d.SubType);
        line += Format("%s %s %08X %08X",
                       type < std::size(DispatchTypeNames) ? DispatchTypeNames[type] : "?",
                       sub < std::size(DispatchSubTypeNames) ? DispatchSubTypeNames[sub] : "?",
                       static_cast<unsigned>(d.Data), static_cast<unsigned>(d.OtherData));
        if (!inHex && !FLogAllHex)
          line += Format("  (%u, %u)", static_cast<unsigned>(d.Data),
                         static_cast<unsigned>(d.OtherData));
      }
      lines.push_back(std::move(line));
    }
  }
  FLog->Reset(0);
  WriteLines(fileName, append, lines);
}

void TSioCustomComPort::ClearLogging() {
  if (ShuttingDown() || !DispOrNull() || !FLog) return;
  FLog->Reset(FLog->Size);
}

void TSioCustomComPort::AbortLogging() {
  if (ShuttingDown() || !DispOrNull()) return;
  FLogging = tlOff;
  InstallSinks();
  if (FLog) FLog->Reset(0);
}

void TSioCustomComPort::StartLogging() {
  if (ShuttingDown() || !DispOrNull() || !FLog || FLog->Size == 0) return;
  FLogging = tlOn;
  InstallSinks();
}

void TSioCustomComPort::StopLogging() {
  if (ShuttingDown() || !DispOrNull() || FLogging != tlOn) return;
  FLogging = tlPause;
  InstallSinks();
}

void TSioCustomComPort::AddStringToLog(const std::string& s) {
  if (ShuttingDown()) return;
  Disp();
  if (!FLog || FLogging != tlOn) return;
  TSioDispatchEntry entry;
  entry.Type = dtUser;
  FLog->Add(entry, s.empty() ? std::string(" ") : s);
}
