// TSioCustomComPort: the data operations, triggers, status getters and string waits, each
// through the gates.
#include "serial/ComPort.h"

#include <algorithm>

#include "serial/Exceptions.h"
#include "serial/Timers.h"

// ---- data ----

void TSioCustomComPort::FlushOutBuffer() {
  if (ShuttingDown()) return;
  Check(Disp().FlushOutBuffer());
}

void TSioCustomComPort::FlushInBuffer() {
  if (ShuttingDown()) return;
  Check(Disp().FlushInBuffer());
}

int TSioCustomComPort::PutBlock(const void* block, uint32_t length) {
  if (ShuttingDown()) return 0;
  TSioBaseDispatcher& d = Disp();
  Check(d.PutBlock(block, static_cast<WORD>(length)));
  return 0;
}

void TSioCustomComPort::PutChar(char c) {
  if (ShuttingDown()) return;
  Check(Disp().PutChar(c));
}

void TSioCustomComPort::PutString(const std::string& s) {
  if (ShuttingDown()) return;
  Check(Disp().PutString(s));
}

bool TSioCustomComPort::CharReady() {
  if (ShuttingDown()) return false;
  return Disp().CharReady();
}

char TSioCustomComPort::GetChar() {
  if (ShuttingDown()) return 0;
  char c = 0;
  Check(Disp().GetChar(c));
  return c;
}

int TSioCustomComPort::GetBlock(void* block, uint32_t length) {
  if (ShuttingDown()) return 0;
  return Check(Disp().GetBlock(static_cast<char*>(block), static_cast<WORD>(length)));
}

int TSioCustomComPort::PeekBlock(void* block, uint32_t length) {
  if (ShuttingDown()) return 0;
  return Check(Disp().PeekBlock(static_cast<char*>(block), static_cast<WORD>(length)));
}

char TSioCustomComPort::PeekChar(WORD position) {
  if (ShuttingDown()) return 0;
  char c = 0;
  Check(Disp().PeekChar(c, position));
  return c;
}

void TSioCustomComPort::SendBreak(WORD duration, bool yield) {
  if (ShuttingDown()) return;
  Disp().SendBreak(duration, yield);
}

void TSioCustomComPort::SetBreak(bool on) {
  if (ShuttingDown()) return;
  Disp().SetBreak(on);
}

void TSioCustomComPort::ProcessCommunications() {
  if (ShuttingDown()) return;
  Check(Disp().ProcessCommunications());
}

// ---- triggers ----

WORD TSioCustomComPort::AddDataTrigger(const std::string& data, bool ignoreCase) {
  if (ShuttingDown()) return 0;
  std::string text = data.substr(0, 255);
  return static_cast<WORD>(
      Check(Disp().AddDataTriggerLen(text.data(), ignoreCase, static_cast<unsigned>(text.size()))));
}

WORD TSioCustomComPort::AddTimerTrigger() {
  if (ShuttingDown()) return 0;
  return static_cast<WORD>(Check(Disp().AddTimerTrigger()));
}

WORD TSioCustomComPort::AddStatusTrigger(WORD kind) {
  if (ShuttingDown()) return 0;
  return static_cast<WORD>(Check(Disp().AddStatusTrigger(kind)));
}

void TSioCustomComPort::SetTimerTrigger(WORD handle, int32_t ticks, bool activate) {
  if (ShuttingDown()) return;
  Check(Disp().SetTimerTrigger(handle, ticks, activate));
}

void TSioCustomComPort::SetStatusTrigger(WORD handle, WORD value, bool activate) {
  if (ShuttingDown()) return;
  Check(Disp().SetStatusTrigger(handle, value, activate));
}

void TSioCustomComPort::RemoveTrigger(WORD handle) {
  if (FPortState != psOpen) return;
  Check(FDispatcher->RemoveTrigger(handle));
}

void TSioCustomComPort::RemoveAllTriggers() {
  if (FPortState != psOpen) return;
  // Handle 1, the avail trigger, goes with the length.
  FTriggerLength = 0;
  Check(FDispatcher->ChangeLengthTrigger(0));
  TTriggerSave empty;
  Check(FDispatcher->RestoreTriggers(empty));
}

// ---- status ----

bool TSioCustomComPort::GetDSR() {
  return FPortState == psOpen && FDispatcher->CheckDSR();
}
bool TSioCustomComPort::GetCTS() {
  return FPortState == psOpen && FDispatcher->CheckCTS();
}
bool TSioCustomComPort::GetRI() {
  return FPortState == psOpen && FDispatcher->CheckRI();
}
bool TSioCustomComPort::GetDCD() {
  return FPortState == psOpen && FDispatcher->CheckDCD();
}
bool TSioCustomComPort::GetDeltaDSR() {
  return FPortState == psOpen && FDispatcher->CheckDeltaDSR();
}
bool TSioCustomComPort::GetDeltaCTS() {
  return FPortState == psOpen && FDispatcher->CheckDeltaCTS();
}
bool TSioCustomComPort::GetDeltaRI() {
  return FPortState == psOpen && FDispatcher->CheckDeltaRI();
}
bool TSioCustomComPort::GetDeltaDCD() {
  return FPortState == psOpen && FDispatcher->CheckDeltaDCD();
}
bool TSioCustomComPort::GetLineBreak() {
  return FPortState == psOpen && FDispatcher->CheckLineBreak();
}
WORD TSioCustomComPort::GetLineError() {
  if (FPortState != psOpen) return 0;
  return static_cast<WORD>(Check(FDispatcher->GetLineError()));
}
WORD TSioCustomComPort::GetInBuffUsed() {
  return FPortState == psOpen ? static_cast<WORD>(FDispatcher->InBuffUsed()) : 0;
}
WORD TSioCustomComPort::GetInBuffFree() {
  return FPortState == psOpen ? static_cast<WORD>(FDispatcher->InBuffFree()) : 8192;
}
WORD TSioCustomComPort::GetOutBuffUsed() {
  return FPortState == psOpen ? static_cast<WORD>(FDispatcher->OutBuffUsed()) : 0;
}
WORD TSioCustomComPort::GetOutBuffFree() {
  return FPortState == psOpen ? static_cast<WORD>(FDispatcher->OutBuffFree()) : FOutSize;
}
WORD TSioCustomComPort::GetBaseAddress() {
  return FPortState == psOpen ? FDispatcher->GetBaseAddress() : 0;
}

BYTE TSioCustomComPort::GetModemStatus() {
  if (ShuttingDown()) return 0;
  return Disp().GetModemStatus();
}

TFlowControlState TSioCustomComPort::GetFlowState() {
  if (ShuttingDown()) return fcOff;
  TSioBaseDispatcher& d = Disp();
  // The dispatcher's codes run one above the states.
  int hw = Check(d.HWFlowState()) - 1;
  if (hw != fcOff) return static_cast<TFlowControlState>(std::clamp(hw, 0, 7));
  int sw = Check(d.SWFlowState()) - 1;
  return static_cast<TFlowControlState>(std::clamp(sw, 0, 7));
}

// ---- string waits ----

bool TSioCustomComPort::CheckForString(BYTE& position, char c, const std::string& text,
                                       bool ignoreCase) {
  if (text.empty()) return false;
  auto fold = [ignoreCase](char x) {
    return ignoreCase && x >= 'a' && x <= 'z' ? static_cast<char>(x - 'a' + 'A') : x;
  };
  size_t len = std::min<size_t>(text.size(), 255);
  if (position >= len) position = 0;
  if (fold(c) == fold(text[position])) {
    if (++position == len) {
      position = 0;
      return true;
    }
    return false;
  }
  position = fold(c) == fold(text[0]) ? 1 : 0;
  if (position == len) { // a one-byte text cannot get here, but stay in range
    position = 0;
    return true;
  }
  return false;
}

void TSioCustomComPort::PrepareWait() {
  if (ShuttingDown()) return;
  TSioBaseDispatcher& d = Disp();
  FWaitPrepared = true;
  FWaitNotifying = d.SetEventBusy(true);
}

int TSioCustomComPort::WaitForAlternatives(const std::vector<std::string>& texts, int32_t timeout,
                                           bool pump, bool ignoreCase) {
  TSioBaseDispatcher* d = &Disp();
  bool previous = d->SetEventBusy(true);
  if (FWaitPrepared) previous = FWaitNotifying;
  std::vector<BYTE> positions(texts.size(), 0);
  EventTimer timer;
  NewTimer(timer, timeout);
  int found = 0;
  bool terminating = false;
  // Ends when the port closes too: nothing more can arrive then.
  while (found == 0 && FPortState == psOpen && FDispatcher == d) {
    while (found == 0 && d->CharReady()) {
      char c = 0;
      if (d->GetChar(c) != 0) break;
      WaitChar(c);
      for (size_t i = 0; i < texts.size() && found == 0; ++i)
        if (CheckForString(positions[i], c, texts[i], ignoreCase)) found = static_cast<int>(i) + 1;
      if (FPortState != psOpen || FDispatcher != d) break;
    }
    if (found != 0 || TimerExpired(timer)) break;
    DWORD wait = static_cast<DWORD>(std::clamp<int32_t>(RemainingTime(timer) * 55, 1, 55));
    HANDLE received = d->ReceiveEvent();
    if (pump) {
      MSG msg;
      if (PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)) {
        terminating = true;
        break;
      }
      UINT handled = SafeYield();
      if (handled == WM_QUIT) {
        terminating = true;
        break;
      }
      if (handled == 0) MsgWaitForMultipleObjects(1, &received, FALSE, wait, QS_ALLINPUT);
    } else {
      WaitForSingleObject(received, wait);
    }
  }
  // A close handled while pumping may have freed the dispatcher.
  if (FDispatcher == d && (!previous || (FWaitPrepared && !FWaitNotifying))) d->SetEventBusy(false);
  FWaitNotifying = false;
  FWaitPrepared = false;
  if (terminating) return 0;
  return found;
}

bool TSioCustomComPort::WaitForString(const std::string& text, int32_t timeout, bool pump,
                                      bool ignoreCase) {
  if (text.empty() || ShuttingDown()) return true;
  return WaitForAlternatives({text.substr(0, 255)}, timeout, pump, ignoreCase) != 0;
}

int TSioCustomComPort::WaitForMultiString(const std::string& text, int32_t timeout, bool pump,
                                          bool ignoreCase, char separator) {
  if (ShuttingDown()) return 0;
  std::vector<std::string> texts;
  size_t start = 0;
  while (texts.size() < 127) {
    size_t end = text.find(separator, start);
    texts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return WaitForAlternatives(texts, timeout, pump, ignoreCase);
}
