// TSioCustomComPort: construction, the gates, the open and close sequences, the notification
// window, registered users, Assign, Loaded and destruction.
#include "serial/ComPort.h"

#include <atomic>
#include <cstdio>

#include "serial/Exceptions.h"
#include "serial/Timers.h"
#include "serial/Win32Dispatcher.h"

namespace {

constexpr const char* WindowClassName = "sioComWindow";

std::atomic<TSioExceptionDisplay> gExceptionDisplay{nullptr};

} // namespace

void SetSioExceptionDisplay(TSioExceptionDisplay display) {
  gExceptionDisplay = display;
}

namespace sio_component {
void ShowException(const std::string& message) {
  if (TSioExceptionDisplay display = gExceptionDisplay.load())
    display(message);
  else
    std::fprintf(stderr, "serial port: %s\n", message.c_str());
}
} // namespace sio_component

std::string ComName(WORD number) {
  return "COM" + std::to_string(number);
}

// ---- construction and destruction ----

TSioCustomComPort::TSioCustomComPort(TComponent* owner) : TSioBaseComponent(owner) {}

TSioCustomComPort::~TSioCustomComPort() {
  FDestroying = true;
  try {
    if (FPortState == psOpen) DonePort();
  } catch (...) {
    // A destructor raises nothing; the close itself goes on below.
  }
  // A close deferred by a handler would otherwise be finished by a message to a component
  // that no longer exists: finish it now (the dispatcher waits for its threads).
  if (FPortState != psClosed) FinishClose();
  FUsers.clear();
  if (FDispatcher) {
    delete FDispatcher;
    FDispatcher = nullptr;
  }
  // The trigger save record frees its copies itself.
}

bool TSioCustomComPort::LoadingOrDesigning() const {
  TComponentState state = ComponentState();
  return state.Contains(csLoading) || state.Contains(csDesigning);
}

// ---- gates ----

TSioBaseDispatcher* TSioCustomComPort::DispOrNull() {
  if (!FDispatcher && FAutoOpen && !LoadingOrDesigning() && FPortState != psOpen) SetOpen(true);
  return FDispatcher;
}

TSioBaseDispatcher& TSioCustomComPort::Disp() {
  TSioBaseDispatcher* d = DispOrNull();
  if (!d) CheckException(nullptr, ecCommNotOpen);
  return *d;
}

TSioBaseDispatcher* TSioCustomComPort::GetDispatcher() {
  return DispOrNull();
}

// ---- opening ----

void TSioCustomComPort::SetOpen(bool open) {
  if (open == FOpen) return;
  if (LoadingOrDesigning()) {
    FOpen = open;
    if (open) FOpenAfterLoading = true;
    return;
  }
  if (!open) {
    DonePort();
  } else if (FPortState == psClosed) {
    InitPort();
  } else if (FPortState == psShuttingDown) {
    FReopenPending = true;
  }
}

void TSioCustomComPort::ActivateDeviceLayer() {
  if (DispatcherFactory) {
    FDispatcher = DispatcherFactory(this);
    return;
  }
  if (FDeviceLayer != dlWin32) CheckException(nullptr, ecNullApi);
  if (FTapiMode == tmOn)
    FDispatcher =
        new TSioTAPI32Dispatcher(this, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(FTapiCid)));
  else
    FDispatcher = new TSioWin32Dispatcher(this);
}

int TSioCustomComPort::InitializePort() {
  std::string name = FTapiMode == tmOn ? std::string() : Format("\\\\.\\COM%d", FComNumber);
  unsigned flags = (FDTR ? InitOptDtr : 0) | (FRTS ? InitOptRts : 0) |
                   (FHWFlowOptions.Contains(hwfUseDTR) ? InitOptDtrAuto : 0) |
                   (FHWFlowOptions.Contains(hwfUseRTS) ? InitOptRtsAuto : 0);
  return FDispatcher->InitPort(name.c_str(), FBaud, static_cast<unsigned>(FParity),
                               static_cast<signed char>(FDataBits),
                               static_cast<signed char>(FStopBits), FInSize, FOutSize, flags);
}

void TSioCustomComPort::AbandonOpen() {
  FOpen = false;
  FPortState = psClosed;
  if (FWnd) {
    if (FDispatcher) FDispatcher->DeregisterWndTriggerHandler(FWnd);
    DestroyWindow(FWnd);
    FWnd = nullptr;
  }
  delete FDispatcher;
  FDispatcher = nullptr;
}

void TSioCustomComPort::InitPort() {
  if (FTapiMode != tmOn) ValidateComport();
  ActivateDeviceLayer();
  if (!FDispatcher) CheckException(nullptr, ecNullApi);
  try {
    if (FTapiMode == tmOn) {
      if (FTapiCid == 0) Check(ecNotOpenedByTapi);
    }
    int result = InitializePort();
    if (result == ecFileAccessDenied) result = ecAlreadyOpen;
    if (result == ecFileNotFound || result == ecPathNotFound) result = ecBadId;
    Check(result);
    if (result < 0) { // refused while loading: the port stays closed
      AbandonOpen();
      return;
    }
    if (FTapiMode == tmOn) {
      int baud = 0;
      unsigned short parity = 0;
      signed char dataBits = 0, stopBits = 0;
      FDispatcher->GetLine(baud, parity, dataBits, stopBits);
      FBaud = baud;
      FParity = static_cast<TParity>(parity);
      FDataBits = static_cast<WORD>(dataBits);
      FStopBits = static_cast<WORD>(stopBits);
      unsigned hw = 0, sw = 0, full = 0, resume = 0;
      FDispatcher->GetFlowOptions(hw, sw, full, resume, FXOnChar, FXOffChar);
      FHWFlowOptions = THWFlowOptionSet::FromBits(hw & HwOptAll);
      FSWFlowOptions = sw == (SwOptReceive | SwOptTransmit) ? swfBoth
                       : sw == SwOptReceive                 ? swfReceive
                       : sw == SwOptTransmit                ? swfTransmit
                                                            : swfNone;
    }

    FPortState = psOpen;
    UpdateHandlerFlag();
    FReapply = true;
    SetTracing(FTracing);
    SetLogging(FLogging);
    SetHWFlowOptions(FHWFlowOptions);
    SetSWFlowOptions(FSWFlowOptions);
    SetXOnChar(FXOnChar);
    SetXOffChar(FXOffChar);
    SetTriggerLength(FTriggerLength);
    SetDTR(FDTR);
    if (FDeviceLayer != dlFossil) SetRTS(FRTS);
    SetUseMSRShadow(FUseMSRShadow);
    SetUseEventWord(FUseEventWord);
    SetCommNotificationLevel(FCommNotificationLevel);
    SetRS485Mode(FRS485Mode);
    FDispatcher->SetThreadBoost(static_cast<unsigned char>(FThreadBoost));
    FReapply = false;

    FOpen = true;
    RegisterComPort(true);
    if (FTriggersSaved) {
      FTriggersSaved = false;
      FDispatcher->RestoreTriggers(FTriggerSave);
    }
    PortOpen();
  } catch (...) {
    FReapply = false;
    AbandonOpen();
    throw;
  }
}

// ---- closing ----

void TSioCustomComPort::DonePort() {
  FOpen = false;
  if (FPortState != psOpen) return;
  SetTracing(tlDump);
  SetLogging(tlDump);
  FPortState = psShuttingDown;
  PortClose();
  if (!FDispatcher) { // a user's handler freed it through another path
    FPortState = psClosed;
    return;
  }
  FDispatcher->SaveTriggers(FTriggerSave);
  FTriggersSaved = true;
  FDispatcher->DonePort();
  if (FDispatcher->Notifying() && FWnd) {
    PostMessageA(FWnd, SioClosePendingMsg, 0,
                 static_cast<LPARAM>(static_cast<DWORD>(FDispatcher->Handle()) << 16));
    SafeYield();
    return;
  }
  FinishClose();
}

void TSioCustomComPort::FinishClose() {
  RegisterComPort(false);
  delete FDispatcher;
  FDispatcher = nullptr;
  FPortState = psClosed;
}

// ---- the notification window ----

void TSioCustomComPort::RegisterComPort(bool enabling) {
  if (enabling) {
    static const bool registered = [] {
      WNDCLASSA wc{};
      wc.lpfnWndProc = &TSioCustomComPort::WindowProc;
      wc.lpszClassName = WindowClassName;
      return RegisterClassA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    if (!registered) CheckException(nullptr, ecRegisterHandlerFailed);
    FWnd =
        CreateWindowExA(0, WindowClassName, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    if (!FWnd) CheckException(nullptr, ecRegisterHandlerFailed);
    Check(FDispatcher->RegisterWndTriggerHandler(FWnd));
    return;
  }
  if (FWnd) {
    if (FDispatcher) FDispatcher->DeregisterWndTriggerHandler(FWnd);
    DestroyWindow(FWnd);
    FWnd = nullptr;
  }
}

LRESULT CALLBACK TSioCustomComPort::WindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if ((msg < SioTriggerAvail || msg > SioTriggerStatus) && msg != SioClosePendingMsg)
    return DefWindowProcA(wnd, msg, wParam, lParam);
  // The list lock is held for the look-up only: it is not recursive, and handlers may open
  // and close ports, which take it. Dispatchers are freed on this thread alone.
  TSioCustomComPort* port = nullptr;
  int index = static_cast<int>(HIWORD(static_cast<DWORD>(lParam)));
  LockPortList();
  if (index < static_cast<int>(PortList.size()) && PortList[index])
    port = dynamic_cast<TSioCustomComPort*>(PortList[index]->Owner());
  TSioBaseDispatcher* d = port ? PortList[index] : nullptr;
  UnlockPortList();
  if (!port || port->FDispatcher != d || port->FWnd != wnd || port->FDestroying) return 0;
  try {
    port->HandleWindowMessage(msg, wParam, lParam);
  } catch (const std::exception& e) {
    if (GetCurrentThreadId() == MainThreadID()) sio_component::ShowException(e.what());
  } catch (...) {
    if (GetCurrentThreadId() == MainThreadID()) sio_component::ShowException("unknown exception");
  }
  return 0;
}

void TSioCustomComPort::HandleWindowMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  WORD first = static_cast<WORD>(wParam);
  WORD data = msg == SioTriggerAvail ? first : LOWORD(static_cast<DWORD>(lParam));
  if (msg == SioClosePendingMsg) {
    if (FDispatcher->Started()) {
      PostMessageA(FWnd, msg, wParam, lParam);
      return;
    }
    Trigger(static_cast<WORD>(msg), first, data);
    FinishClose();
    if (FReopenPending) {
      FReopenPending = false;
      InitPort();
    }
    return;
  }
  Trigger(static_cast<WORD>(msg), first, data);
  switch (msg) {
  case SioTriggerAvail:
    TriggerAvail(first);
    break;
  case SioTriggerData:
    TriggerData(first);
    break;
  case SioTriggerTimer:
    TriggerTimer(first);
    break;
  case SioTriggerStatus:
    TriggerStatus(first);
    switch (TSioBaseDispatcher::ClassifyStatusTrigger(first)) {
    case stModem:
      TriggerModemStatus();
      break;
    case stLine: {
      bool lineBreak = GetLineBreak();
      TriggerLineError(GetLineError(), lineBreak);
      break;
    }
    case stOutBuffFree:
      TriggerOutbuffFree();
      break;
    case stOutBuffUsed:
      TriggerOutbuffUsed();
      break;
    case stOutSent:
      TriggerOutSent();
      break;
    default:
      break;
    }
    break;
  default:
    break;
  }
}

// ---- users ----

void TSioCustomComPort::RegisterUser(HWND wnd) {
  auto user = std::make_unique<TUser>();
  user->Wnd = wnd;
  FUsers.push_back(std::move(user));
}

void TSioCustomComPort::DeregisterUser(HWND wnd) {
  std::erase_if(FUsers, [&](const auto& u) { return u->Wnd == wnd && !u->Callback.Code; });
}

void TSioCustomComPort::RegisterUserCallback(TPortCallback callback) {
  auto user = std::make_unique<TUser>();
  user->Callback = callback;
  FUsers.push_back(std::move(user));
}

void TSioCustomComPort::DeregisterUserCallback(TPortCallback callback) {
  std::erase_if(FUsers, [&](const auto& u) { return u->Callback.Code == callback.Code; });
}

void TSioCustomComPort::ForcePortOpen() {
  if (FAutoOpen) FOpenAfterLoading = true;
}

void TSioCustomComPort::PortOpen() {
  // A user may deregister itself while being told; walk a copy.
  std::vector<TUser> users;
  for (const auto& u : FUsers)
    users.push_back(*u);
  for (auto it = users.rbegin(); it != users.rend(); ++it) {
    if (it->Callback.Code)
      it->Callback.Code(it->Callback.Object, this, true);
    else
      SendMessageA(it->Wnd, SioPortOpenedMsg, 0, 0);
  }
  if (OnPortOpened) OnPortOpened(this);
}

void TSioCustomComPort::PortClose() {
  std::vector<TUser> users;
  for (const auto& u : FUsers)
    users.push_back(*u);
  for (auto it = users.rbegin(); it != users.rend(); ++it) {
    if (it->Callback.Code)
      it->Callback.Code(it->Callback.Object, this, false);
    else
      SendMessageA(it->Wnd, SioPortClosingMsg, 0, 0);
  }
  if (OnPortClosing) OnPortClosing(this);
}

// ---- Assign and Loaded ----

void TSioCustomComPort::Assign(TObject* source) {
  auto* src = dynamic_cast<TSioCustomComPort*>(source);
  if (!src || src == this) return;
  FUsers.clear();
  for (const auto& u : src->FUsers)
    FUsers.push_back(std::make_unique<TUser>(*u));
  if (src->FPortState == psOpen && src->FDispatcher) {
    src->FDispatcher->SaveTriggers(FTriggerSave);
    FTriggersSaved = true;
  }
  FReapply = src->FReapply;
  FDeviceLayer = src->FDeviceLayer;
  FComNumber = src->FComNumber;
  FBaud = src->FBaud;
  FParity = src->FParity;
  FDataBits = src->FDataBits;
  FStopBits = src->FStopBits;
  FInSize = src->FInSize;
  FOutSize = src->FOutSize;
  FAutoOpen = src->FAutoOpen;
  FPromptForPort = src->FPromptForPort;
  FRS485Mode = src->FRS485Mode;
  FThreadBoost = src->FThreadBoost;
  FDTR = src->FDTR;
  FRTS = src->FRTS;
  FBufferFull = src->FBufferFull;
  FBufferResume = src->FBufferResume;
  FHWFlowOptions = src->FHWFlowOptions;
  FSWFlowOptions = src->FSWFlowOptions;
  FXOnChar = src->FXOnChar;
  FXOffChar = src->FXOffChar;
  FTracing = src->FTracing;
  FTraceSize = src->FTraceSize;
  FTraceName = src->FTraceName;
  FTraceHex = src->FTraceHex;
  FTraceAllHex = src->FTraceAllHex;
  FLogging = src->FLogging;
  FLogSize = src->FLogSize;
  FLogName = src->FLogName;
  FLogHex = src->FLogHex;
  FLogAllHex = src->FLogAllHex;
  FTriggerLength = src->FTriggerLength;
  SetOnTrigger(src->FOnTrigger);
  SetOnTriggerAvail(src->FOnTriggerAvail);
  SetOnTriggerData(src->FOnTriggerData);
  SetOnTriggerStatus(src->FOnTriggerStatus);
  SetOnTriggerTimer(src->FOnTriggerTimer);
  OnPortOpened = src->OnPortOpened;
  OnPortClosing = src->OnPortClosing;
  FTapiMode = src->FTapiMode;
  FOpen = false;
}

void TSioCustomComPort::Loaded() {
  TSioBaseComponent::Loaded();
  if (ComponentState().Contains(csDesigning)) return;
  if (FOpenAfterLoading) FOpen = true;
  if (!FOpen) return;
  FOpenAfterLoading = false;
  try {
    FOpen = false; // InitPort sets it once the open has completed
    InitPort();
  } catch (const std::exception& e) {
    FOpen = false;
    sio_component::ShowException(e.what());
  }
}
