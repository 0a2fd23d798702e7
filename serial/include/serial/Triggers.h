// The records of the dispatcher's trigger machinery: triggers (avail, data, timer, status),
// the handlers notified when one fires, and the save record that carries triggers from one
// open of a port to the next. The dispatcher (Dispatcher.h) owns the lists of them.
#pragma once

#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "platform/Win32.h"
#include "serial/Timers.h"

// How UpdateHandlerFlags changes the window-notification path of the owning component.
enum TSioHandlerFlagUpdate { fuKeepPort, fuEnablePort, fuDisablePort };

enum TTriggerType { ttNone, ttTimer, ttData, ttStatus };

// The notification messages; the same numbers reach windows, procedures and methods.
// wParam: avail: the unread count announced; otherwise the trigger's handle. lParam: the
// dispatcher's handle * 65536 plus the data trigger's length or the status value.
constexpr UINT SioTriggerAvail = 0x7E01;
constexpr UINT SioTriggerData = 0x7E02;
constexpr UINT SioTriggerTimer = 0x7E03;
constexpr UINT SioTriggerStatus = 0x7E04;

// The avail trigger's fixed handle; every other handle is a multiple of 8.
constexpr unsigned AvailTriggerHandle = 1;

// Status trigger kinds, kept in the low three bits of a status trigger's handle.
constexpr unsigned stNone = 0;
constexpr unsigned stModem = 1;
constexpr unsigned stLine = 2;
constexpr unsigned stOutBuffFree = 3;
constexpr unsigned stOutBuffUsed = 4;
constexpr unsigned stOutSent = 5;

// The longest pattern a data trigger matches.
constexpr unsigned MaxTrigData = 21;

// A plain procedure notified of triggers (message, wParam, lParam).
using TSioNotifyProc = void (*)(UINT msg, WPARAM wParam, LPARAM lParam);

// A method of an object notified of triggers: the code part and the object it runs on.
struct TSioNotifyEvent {
  void (*Code)(void* object, UINT msg, WPARAM wParam, LPARAM lParam) = nullptr;
  void* Object = nullptr;
};

struct TTimerTrigger {
  unsigned Handle = 0;
  EventTimer Timer{};
  int32_t Ticks = 0;
  bool Armed = false;
};

struct TDataTrigger {
  unsigned Handle = 0;
  unsigned Length = 0;
  uint32_t Matches[MaxTrigData + 1] = {};
  bool Matched = false;
  bool IgnoreCase = false;
  char Pattern[MaxTrigData] = {};
};

struct TStatusTrigger {
  unsigned Handle = 0;
  unsigned Kind = 0;
  uint16_t Value = 0;
  bool Armed = false;
  bool Hit = false;
};

struct TWndTriggerHandler {
  HWND Wnd = nullptr;
  bool Deleted = false;
};

struct TProcTriggerHandler {
  TSioNotifyProc Proc = nullptr;
  bool Deleted = false;
};

struct TEventTriggerHandler {
  TSioNotifyEvent Event;
  bool Deleted = false;
  bool Sync = false;
};

// Dispatch log entry kinds; their texts follow the event-type and sub-type message numbers
// in this order.
enum TDispatchType {
  dtNone,
  dtDispatch,
  dtTrigger,
  dtError,
  dtThread,
  dtTriggerAlloc,
  dtTriggerDispose,
  dtTriggerHandlerAlloc,
  dtTriggerHandlerDispose,
  dtTriggerDataChange,
  dtTelnet,
  dtFax,
  dtXModem,
  dtYModem,
  dtZModem,
  dtKermit,
  dtAscii,
  dtBPlus,
  dtPacket,
  dtUser
};
enum TDispatchSubType {
  dstReadCom,
  dstWriteCom,
  dstLineStatus,
  dstModemStatus,
  dstAvail,
  dstTimer,
  dstData,
  dstStatus,
  dstThreadStart,
  dstThreadExit,
  dstThreadSleep,
  dstThreadWake,
  dstDataTrigger,
  dstTimerTrigger,
  dstStatusTrigger,
  dstAvailTrigger,
  dstWndHandler,
  dstProcHandler,
  dstEventHandler
};

struct TSioDispatchEntry {
  DWORD Time = 0; // ms since the port was opened
  TDispatchType Type = dtNone;
  TDispatchSubType SubType = dstReadCom;
  DWORD Data = 0;
  DWORD OtherData = 0;
};
using TSioDispatchLogSink = void (*)(void* context, const TSioDispatchEntry& entry);
// kind 'R' for received bytes taken, 'T' for bytes queued to send.
using TSioTraceSink = void (*)(void* context, char kind, const char* bytes, unsigned len);

// One step of a data trigger's partial match with the received byte `c`: true when an
// occurrence of the pattern ends at c (the match state then starts afresh).
bool DataTriggerMatchStep(TDataTrigger& trigger, char c);

// A copy of one trigger, as FindTriggerFromHandle reports it.
using TTriggerRecord = std::variant<std::monostate, TTimerTrigger, TDataTrigger, TStatusTrigger>;

template <class T> using TTriggerList = std::vector<std::unique_ptr<T>>;

// Triggers saved before a close and restored at the next open.
struct TTriggerSave {
  unsigned TriggerLength = 0;
  TTriggerList<TTimerTrigger> TimerTriggers;
  TTriggerList<TDataTrigger> DataTriggers;
  TTriggerList<TStatusTrigger> StatusTriggers;
};
