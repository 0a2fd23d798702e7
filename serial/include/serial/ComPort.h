// TSioComPort: the serial port component. It keeps the port's configuration, creates a
// dispatcher (Dispatcher.h) at each open and frees it at the close, forwards every operation
// to it and turns negative results into exceptions through CheckException. Trigger
// notifications reach its On... handlers through a hidden window ("sioComWindow") on the
// thread that opened the port; everything here runs on that thread.
//
// Every operation that needs the dispatcher passes three gates: while the port is shutting
// down it does nothing and returns a neutral value; with no dispatcher it opens the port
// first when AutoOpen is set, and otherwise raises ECommNotOpen; a negative result raises.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/Classes.h"
#include "runtime/Sets.h"
#include "serial/Dispatcher.h"
#include "serial/Exceptions.h"
#include "serial/Triggers.h"

enum TParity { pNone, pOdd, pEven, pMark, pSpace };
enum TDeviceLayer { dlWin16, dlFossil, dlWin32, dlWinsock };
using TDeviceLayers = TSet<TDeviceLayer>;
enum TTapiMode { tmNone, tmAuto, tmOn, tmOff };
enum TPortState { psClosed, psShuttingDown, psOpen };
enum THWFlowOptions { hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS };
using THWFlowOptionSet = TSet<THWFlowOptions>;
enum TSWFlowOptions { swfNone, swfReceive, swfTransmit, swfBoth };
enum TFlowControlState {
  fcOff,
  fcOn,
  fcDsrHold,
  fcCtsHold,
  fcDcdHold,
  fcXOutHold,
  fcXInHold,
  fcXBothHold
};
enum TTraceLogState { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };
enum TSioThreadBoost { tbNone, tbPlusOne, tbPlusTwo };

// The component's own messages: users are told of an open and a close, and the close that a
// handler asked for is finished from the message loop.
constexpr UINT SioPortOpenedMsg = 0x7E08;
constexpr UINT SioPortClosingMsg = 0x7E09;
constexpr UINT SioClosePendingMsg = 0x7E0A;

// Dispatcher option bit that UseEventWord switches.
constexpr DWORD SioOptionEventWord = 4;

using TNotifyEvent = std::function<void(TObject* sender)>;
using TTriggerEvent = std::function<void(TObject* cp, WORD msg, WORD triggerHandle, WORD data)>;
using TTriggerAvailEvent = std::function<void(TObject* cp, WORD count)>;
using TTriggerDataEvent = std::function<void(TObject* cp, WORD triggerHandle)>;
using TTriggerStatusEvent = TTriggerDataEvent;
using TTriggerTimerEvent = TTriggerDataEvent;
using TTriggerLineErrorEvent = std::function<void(TObject* cp, WORD error, bool lineBreak)>;
using TWaitCharEvent = std::function<void(TObject* cp, char c)>;

// A method told of opens and closes: the code part and its object. Deregistration compares
// the code part only.
struct TPortCallback {
  void (*Code)(void* object, TObject* cp, bool opening) = nullptr;
  void* Object = nullptr;
};

class TSioCustomComPort;
using TSioDispatcherFactory = std::function<TSioBaseDispatcher*(TSioCustomComPort* owner)>;

// Shows an exception that a trigger handler or a load-time open raised; the GUI installs its
// exception display. Without one the message goes to standard error.
using TSioExceptionDisplay = void (*)(const std::string& message);
void SetSioExceptionDisplay(TSioExceptionDisplay display);

class TSioBaseComponent : public TComponent {
public:
  using TComponent::TComponent;
  std::string Version() const { return "v3.02"; }
  void SetVersion(const std::string&) {}
};

// Entry counts above these are cut to them.
constexpr uint32_t MaxTraceSize = 4000000;
constexpr uint32_t MaxLogSize = 16000000;

class TSioCustomComPort : public TSioBaseComponent {
public:
  explicit TSioCustomComPort(TComponent* owner);
  ~TSioCustomComPort() override;

  virtual void Assign(TObject* source);

  // ---- properties ----
  TDeviceLayer DeviceLayer() const { return FDeviceLayer; }
  void SetDeviceLayer(TDeviceLayer layer);
  WORD ComNumber() const { return FComNumber; }
  void SetComNumber(WORD number);
  int32_t Baud() const { return FBaud; }
  void SetBaud(int32_t baud);
  bool PromptForPort() const { return FPromptForPort; }
  void SetPromptForPort(bool prompt) { FPromptForPort = prompt; }
  TParity Parity() const { return FParity; }
  void SetParity(TParity parity);
  WORD DataBits() const { return FDataBits; }
  void SetDataBits(WORD bits);
  WORD StopBits() const { return FStopBits; }
  void SetStopBits(WORD bits);
  WORD InSize() const { return FInSize; }
  void SetInSize(WORD size);
  WORD OutSize() const { return FOutSize; }
  void SetOutSize(WORD size);
  bool AutoOpen() const { return FAutoOpen; }
  void SetAutoOpen(bool autoOpen) { FAutoOpen = autoOpen; }
  bool Open() const { return FOpen; }
  void SetOpen(bool open);
  bool DTR() const { return FDTR; }
  void SetDTR(bool on);
  bool RTS() const { return FRTS; }
  void SetRTS(bool on);
  THWFlowOptionSet HWFlowOptions() const { return FHWFlowOptions; }
  void SetHWFlowOptions(THWFlowOptionSet options);
  TSWFlowOptions SWFlowOptions() const { return FSWFlowOptions; }
  void SetSWFlowOptions(TSWFlowOptions options);
  char XOnChar() const { return FXOnChar; }
  void SetXOnChar(char c);
  char XOffChar() const { return FXOffChar; }
  void SetXOffChar(char c);
  WORD BufferFull() const { return FBufferFull; }
  void SetBufferFull(WORD value);
  WORD BufferResume() const { return FBufferResume; }
  void SetBufferResume(WORD value);
  TTraceLogState Tracing() const { return FTracing; }
  void SetTracing(TTraceLogState state);
  uint32_t TraceSize() const { return FTraceSize; }
  void SetTraceSize(uint32_t size);
  const std::string& TraceName() const { return FTraceName; }
  void SetTraceName(const std::string& name) { FTraceName = name.substr(0, 255); }
  bool TraceHex() const { return FTraceHex; }
  void SetTraceHex(bool hex) { FTraceHex = hex; }
  bool TraceAllHex() const { return FTraceAllHex; }
  void SetTraceAllHex(bool hex) { FTraceAllHex = hex; }
  TTraceLogState Logging() const { return FLogging; }
  void SetLogging(TTraceLogState state);
  uint32_t LogSize() const { return FLogSize; }
  void SetLogSize(uint32_t size);
  const std::string& LogName() const { return FLogName; }
  void SetLogName(const std::string& name) { FLogName = name.substr(0, 255); }
  bool LogHex() const { return FLogHex; }
  void SetLogHex(bool hex) { FLogHex = hex; }
  bool LogAllHex() const { return FLogAllHex; }
  void SetLogAllHex(bool hex) { FLogAllHex = hex; }
  bool UseMSRShadow() const { return FUseMSRShadow; }
  virtual void SetUseMSRShadow(bool) {}
  bool UseEventWord() const { return FUseEventWord; }
  void SetUseEventWord(bool use);
  WORD CommNotificationLevel() const { return FCommNotificationLevel; }
  void SetCommNotificationLevel(WORD level);
  TTapiMode TapiMode() const { return FTapiMode; }
  void SetTapiMode(TTapiMode mode) { FTapiMode = mode; }
  WORD TapiCid() const { return FTapiCid; }
  void SetTapiCid(WORD cid) { FTapiCid = cid; }
  bool RS485Mode() const { return FRS485Mode; }
  void SetRS485Mode(bool on);
  TSioThreadBoost ThreadBoost() const { return FThreadBoost; }
  void SetThreadBoost(TSioThreadBoost boost);
  WORD TriggerLength() const { return FTriggerLength; }
  void SetTriggerLength(WORD length);
  TPortState PortState() const { return FPortState; }
  TDeviceLayers SupportedDeviceLayers() const { return FDeviceLayers; }

  TSioDispatcherFactory DispatcherFactory;

  // ---- handlers ----
  const TTriggerEvent& OnTrigger() const { return FOnTrigger; }
  void SetOnTrigger(TTriggerEvent handler);
  const TTriggerAvailEvent& OnTriggerAvail() const { return FOnTriggerAvail; }
  void SetOnTriggerAvail(TTriggerAvailEvent handler);
  const TTriggerDataEvent& OnTriggerData() const { return FOnTriggerData; }
  void SetOnTriggerData(TTriggerDataEvent handler);
  const TTriggerStatusEvent& OnTriggerStatus() const { return FOnTriggerStatus; }
  void SetOnTriggerStatus(TTriggerStatusEvent handler);
  const TTriggerTimerEvent& OnTriggerTimer() const { return FOnTriggerTimer; }
  void SetOnTriggerTimer(TTriggerTimerEvent handler);
  const TTriggerLineErrorEvent& OnTriggerLineError() const { return FOnTriggerLineError; }
  void SetOnTriggerLineError(TTriggerLineErrorEvent handler);
  const TNotifyEvent& OnTriggerModemStatus() const { return FOnTriggerModemStatus; }
  void SetOnTriggerModemStatus(TNotifyEvent handler);
  const TNotifyEvent& OnTriggerOutbuffFree() const { return FOnTriggerOutbuffFree; }
  void SetOnTriggerOutbuffFree(TNotifyEvent handler);
  const TNotifyEvent& OnTriggerOutbuffUsed() const { return FOnTriggerOutbuffUsed; }
  void SetOnTriggerOutbuffUsed(TNotifyEvent handler);
  const TNotifyEvent& OnTriggerOutSent() const { return FOnTriggerOutSent; }
  void SetOnTriggerOutSent(TNotifyEvent handler);
  TNotifyEvent OnPortOpened;
  TNotifyEvent OnPortClosing;
  TWaitCharEvent OnWaitChar;

  // ---- data ----
  void FlushOutBuffer();
  void FlushInBuffer();
  // The length is a 16-bit count: a larger value arrives as its low 16 bits.
  int PutBlock(const void* block, uint32_t length);
  void PutChar(char c);
  void PutString(const std::string& s);
  bool CharReady();
  char GetChar();
  int GetBlock(void* block, uint32_t length);
  int PeekBlock(void* block, uint32_t length);
  char PeekChar(WORD position);
  void SendBreak(WORD duration, bool yield);
  void SetBreak(bool on);
  virtual void ProcessCommunications();

  // ---- triggers ----
  WORD AddDataTrigger(const std::string& data, bool ignoreCase);
  WORD AddTimerTrigger();
  WORD AddStatusTrigger(WORD kind);
  void SetTimerTrigger(WORD handle, int32_t ticks, bool activate);
  void SetStatusTrigger(WORD handle, WORD value, bool activate);
  void RemoveTrigger(WORD handle);
  void RemoveAllTriggers();

  // ---- status ----
  bool GetDSR();
  bool GetCTS();
  bool GetRI();
  bool GetDCD();
  bool GetDeltaDSR();
  bool GetDeltaCTS();
  bool GetDeltaRI();
  bool GetDeltaDCD();
  bool GetLineBreak();
  WORD GetLineError();
  WORD GetInBuffUsed();
  WORD GetInBuffFree();
  WORD GetOutBuffUsed();
  WORD GetOutBuffFree();
  WORD GetBaseAddress();
  void SetBaseAddress(WORD address);
  BYTE GetModemStatus();
  TFlowControlState GetFlowState();
  TSioBaseDispatcher* GetDispatcher();

  // ---- tracing and the dispatch log ----
  // The files hold one entry a line: the time in ms since the buffer was started, the
  // direction (R received, T sent) or the event, and the bytes or values in hex; with the hex
  // flag clear the bytes are also shown as text. With the all-hex flag the text is left out.
  void InitTracing(uint32_t numEntries);
  void DumpTrace(const std::string& fileName, bool inHex);
  void AppendTrace(const std::string& fileName, bool inHex);
  void ClearTracing();
  void AbortTracing();
  void StartTracing();
  void StopTracing();
  void AddTraceEntry(char kind, char c);
  void InitLogging(uint32_t numEntries);
  void DumpLog(const std::string& fileName, bool inHex);
  void AppendLog(const std::string& fileName, bool inHex);
  void ClearLogging();
  void AbortLogging();
  void StartLogging();
  void StopLogging();
  void AddStringToLog(const std::string& s);

  // ---- string waits ----
  // Waits up to `timeout` ticks (55 ms) for `text` in the received bytes, which it consumes
  // (each is shown to OnWaitChar). With `pump` the thread's messages are handled meanwhile.
  bool WaitForString(const std::string& text, int32_t timeout, bool pump, bool ignoreCase);
  // The same for alternatives separated by `separator`; the 1-based number of the first one
  // completed, or 0.
  int WaitForMultiString(const std::string& text, int32_t timeout, bool pump, bool ignoreCase,
                         char separator);
  // One matching step with a caller-held position (bytes matched so far).
  static bool CheckForString(BYTE& position, char c, const std::string& text, bool ignoreCase);
  // Keeps triggers from consuming what arrives before the next wait starts.
  void PrepareWait();

  // ---- users ----
  void RegisterUser(HWND wnd);
  void DeregisterUser(HWND wnd);
  void RegisterUserCallback(TPortCallback callback);
  void DeregisterUserCallback(TPortCallback callback);
  void ForcePortOpen();

  // The notification window; none while closed.
  HWND WindowHandle() const { return FWnd; }

  // ---- event raising, called by the notification window ----
  virtual void Trigger(WORD msg, WORD triggerHandle, WORD data);
  virtual void TriggerAvail(WORD count);
  virtual void TriggerData(WORD triggerHandle);
  virtual void TriggerStatus(WORD triggerHandle);
  virtual void TriggerTimer(WORD triggerHandle);
  virtual void TriggerLineError(WORD error, bool lineBreak);
  virtual void TriggerModemStatus();
  virtual void TriggerOutbuffFree();
  virtual void TriggerOutbuffUsed();
  virtual void TriggerOutSent();
  virtual void WaitChar(char c);

protected:
  virtual void ActivateDeviceLayer();
  virtual void DeviceLayerChanged() {}
  virtual int InitializePort();
  virtual void RegisterComPort(bool enabling);
  virtual void ValidateComport();
  virtual void UpdateHandlerFlag();
  virtual void DonePort();
  virtual void PortOpen();
  virtual void PortClose();
  virtual void InitPort();
  void Loaded() override;

private:
  friend struct TSioComPortAccess;
  static LRESULT CALLBACK WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void HandleWindowMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  // Step 7 of the close: window gone, dispatcher freed, port closed.
  void FinishClose();
  // Undoes a failed open from the point where the dispatcher exists.
  void AbandonOpen();
  // Gate 1: true while shutting down.
  bool ShuttingDown() const { return FPortState == psShuttingDown; }
  // Gate 2: the dispatcher, opening the port when allowed; raises ECommNotOpen without one.
  TSioBaseDispatcher& Disp();
  // Gate 2 without its check.
  TSioBaseDispatcher* DispOrNull();
  bool LoadingOrDesigning() const;
  int32_t Check(int32_t code) { return CheckException(this, code); }
  bool AnyTriggerHandler() const;
  void TriggerHandlerChanged();
  // The flow-control rule: thresholds of 0 or out of range become these shares of InSize.
  void ApplyThresholds(double fullShare, double resumeShare);
  struct TTraceBuffer;
  struct TLogBuffer;
  void ChangeTraceLog(bool trace, TTraceLogState state);
  void WriteTrace(const std::string& fileName, bool inHex, bool append);
  void WriteLog(const std::string& fileName, bool inHex, bool append);
  void InstallSinks();
  int WaitForAlternatives(const std::vector<std::string>& texts, int32_t timeout, bool pump,
                          bool ignoreCase);

  struct TUser {
    HWND Wnd = nullptr;
    TPortCallback Callback;
  };

  bool FReapply = false;
  // Set by the destructor: its close may pump messages, and no handler may run then.
  bool FDestroying = false;
  TPortState FPortState = psClosed;
  bool FReopenPending = false;
  bool FOpenAfterLoading = false;
  std::vector<std::unique_ptr<TUser>> FUsers;
  bool FTriggersSaved = false;
  TTriggerSave FTriggerSave;
  bool FWaitNotifying = false;
  bool FWaitPrepared = false;
  HWND FWnd = nullptr;
  TDeviceLayer FDeviceLayer = dlWin32;
  TDeviceLayers FDeviceLayers{dlWin32};
  TSioBaseDispatcher* FDispatcher = nullptr;
  WORD FComNumber = 0;
  int32_t FBaud = 19200;
  TParity FParity = pNone;
  WORD FDataBits = 8;
  WORD FStopBits = 1;
  WORD FInSize = 4096;
  WORD FOutSize = 4096;
  bool FOpen = false;
  bool FPromptForPort = true;
  bool FAutoOpen = true;
  WORD FCommNotificationLevel = 10;
  WORD FTapiCid = 0;
  TTapiMode FTapiMode = tmAuto;
  bool FRS485Mode = false;
  TSioThreadBoost FThreadBoost = tbNone;
  bool FDTR = true;
  bool FRTS = true;
  WORD FBufferFull = 0;
  WORD FBufferResume = 0;
  THWFlowOptionSet FHWFlowOptions;
  TSWFlowOptions FSWFlowOptions = swfNone;
  char FXOnChar = 0x11;
  char FXOffChar = 0x13;
  TTraceLogState FTracing = tlOff;
  uint32_t FTraceSize = 10000;
  std::string FTraceName = "SERIAL.TRC";
  bool FTraceHex = true;
  bool FTraceAllHex = false;
  TTraceLogState FLogging = tlOff;
  uint32_t FLogSize = 10000;
  std::string FLogName = "SERIAL.LOG";
  bool FLogHex = true;
  bool FLogAllHex = false;
  bool FUseMSRShadow = true;
  bool FUseEventWord = true;
  WORD FTriggerLength = 1;
  TTriggerEvent FOnTrigger;
  TTriggerAvailEvent FOnTriggerAvail;
  TTriggerDataEvent FOnTriggerData;
  TTriggerStatusEvent FOnTriggerStatus;
  TTriggerTimerEvent FOnTriggerTimer;
  TTriggerLineErrorEvent FOnTriggerLineError;
  TNotifyEvent FOnTriggerModemStatus;
  TNotifyEvent FOnTriggerOutbuffFree;
  TNotifyEvent FOnTriggerOutbuffUsed;
  TNotifyEvent FOnTriggerOutSent;
  // Trace and log buffers; the dispatcher's threads fill them through the sinks.
  std::shared_ptr<TTraceBuffer> FTrace;
  std::shared_ptr<TLogBuffer> FLog;
};

// All published: the component as forms use it.
class TSioComPort : public TSioCustomComPort {
public:
  using TSioCustomComPort::TSioCustomComPort;
};

// "COM" and the number in decimal.
std::string ComName(WORD number);
