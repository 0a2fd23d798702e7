// TSioCustomComPort: the setters, what each does to an open port, and the flow-control
// threshold rules.
#include "serial/ComPort.h"

#include <algorithm>

#include "serial/Exceptions.h"

namespace {

// Restores the re-apply flag however the scope is left.
class TReapplyScope {
public:
  TReapplyScope(bool& flag, bool value) : FFlag(flag), FSaved(flag) { flag = value; }
  ~TReapplyScope() { FFlag = FSaved; }
  TReapplyScope(const TReapplyScope&) = delete;
  TReapplyScope& operator=(const TReapplyScope&) = delete;

private:
  bool& FFlag;
  bool FSaved;
};

WORD Trunc(double value) {
  return static_cast<WORD>(value);
}

} // namespace

void TSioCustomComPort::SetDeviceLayer(TDeviceLayer layer) {
  if (layer == FDeviceLayer || FPortState != psClosed || !FDeviceLayers.Contains(layer)) return;
  FDeviceLayer = layer;
  DeviceLayerChanged();
}

void TSioCustomComPort::SetComNumber(WORD number) {
  if (number == FComNumber) return;
  if (FPortState != psOpen) {
    FComNumber = number;
    return;
  }
  // The close saves the triggers and the open restores them into the new dispatcher.
  TTraceLogState tracing = FTracing;
  TTraceLogState logging = FLogging;
  SetOpen(false);
  FComNumber = number;
  SetTracing(tracing);
  SetLogging(logging);
  SetOpen(true);
}

void TSioCustomComPort::SetBaud(int32_t baud) {
  if (baud == FBaud) return;
  FBaud = baud;
  if (FPortState == psOpen)
    Check(FDispatcher->SetLine(FBaud, static_cast<unsigned>(FParity),
                               static_cast<signed char>(FDataBits),
                               static_cast<signed char>(FStopBits)));
}

void TSioCustomComPort::SetParity(TParity parity) {
  if (parity == FParity) return;
  FParity = parity;
  if (FPortState == psOpen)
    Check(FDispatcher->SetLine(FBaud, static_cast<unsigned>(FParity),
                               static_cast<signed char>(FDataBits),
                               static_cast<signed char>(FStopBits)));
}

void TSioCustomComPort::SetDataBits(WORD bits) {
  if (bits == FDataBits) return;
  FDataBits = bits;
  if (FPortState == psOpen)
    Check(FDispatcher->SetLine(FBaud, static_cast<unsigned>(FParity),
                               static_cast<signed char>(FDataBits),
                               static_cast<signed char>(FStopBits)));
}

void TSioCustomComPort::SetStopBits(WORD bits) {
  if (bits == FStopBits) return;
  FStopBits = bits;
  if (FPortState == psOpen)
    Check(FDispatcher->SetLine(FBaud, static_cast<unsigned>(FParity),
                               static_cast<signed char>(FDataBits),
                               static_cast<signed char>(FStopBits)));
}

void TSioCustomComPort::SetInSize(WORD size) {
  if (size == FInSize) return;
  FInSize = size;
  if (FPortState == psOpen) FDispatcher->SetupCom(FInSize, FOutSize);
}

void TSioCustomComPort::SetOutSize(WORD size) {
  if (size == FOutSize) return;
  FOutSize = size;
  if (FPortState == psOpen) FDispatcher->SetupCom(FInSize, FOutSize);
}

void TSioCustomComPort::SetDTR(bool on) {
  if (on == FDTR && !FReapply) return;
  if (FPortState == psOpen) {
    if (Check(FDispatcher->SetDtr(on)) == 0) FDTR = on;
  } else {
    FDTR = on;
  }
}

void TSioCustomComPort::SetRTS(bool on) {
  if (on == FRTS && !FReapply) return;
  if (FPortState == psOpen) {
    if (Check(FDispatcher->SetRts(on)) == 0) FRTS = on;
  } else {
    FRTS = on;
  }
}

void TSioCustomComPort::ApplyThresholds(double fullShare, double resumeShare) {
  if (FBufferFull == 0 || FBufferFull > FInSize) FBufferFull = Trunc(FInSize * fullShare);
  if (FBufferResume == 0 || FBufferResume > FBufferFull)
    FBufferResume = Trunc(FInSize * resumeShare);
}

void TSioCustomComPort::SetHWFlowOptions(THWFlowOptionSet options) {
  if (options == FHWFlowOptions && !FReapply) return;
  unsigned mask = static_cast<unsigned>(options.Bits() & HwOptAll);
  if (mask != 0) ApplyThresholds(0.9, 0.1);
  if (FPortState == psOpen) {
    // Without handshaking the thresholds mean nothing to the driver; a BufferFull above
    // InSize (kept for the software rule) must not make the open fail.
    unsigned full = FBufferFull, resume = FBufferResume;
    if (mask == 0) {
      full = std::min<unsigned>(full, FInSize);
      resume = std::min(resume, full);
    }
    Check(FDispatcher->HWFlowOptions(full, resume, mask));
  }
  FHWFlowOptions = options;
  if (options.Contains(hwfUseRTS) || options.Contains(hwfRequireCTS)) SetRS485Mode(false);
}

void TSioCustomComPort::SetSWFlowOptions(TSWFlowOptions options) {
  if (options == FSWFlowOptions && !FReapply) return;
  unsigned option = options == swfReceive    ? SwOptReceive
                    : options == swfTransmit ? SwOptTransmit
                    : options == swfBoth     ? SwOptReceive | SwOptTransmit
                                             : 0;
  if (option != 0) ApplyThresholds(0.75, 0.25);
  if (FPortState == psOpen) {
    if (option != 0)
      Check(FDispatcher->SWFlowEnable(FBufferFull, FBufferResume, option));
    else
      Check(FDispatcher->SWFlowDisable());
  }
  FSWFlowOptions = options;
}

void TSioCustomComPort::SetBufferFull(WORD value) {
  if (value == FBufferFull && !FReapply) return;
  FBufferFull = value > FInSize ? Trunc(value * 0.9) : value;
  TReapplyScope scope(FReapply, true);
  SetHWFlowOptions(FHWFlowOptions);
  SetSWFlowOptions(FSWFlowOptions);
}

void TSioCustomComPort::SetBufferResume(WORD value) {
  if (value == FBufferResume && !FReapply) return;
  FBufferResume = value > FBufferFull ? Trunc(FBufferFull * 0.1) : value;
  TReapplyScope scope(FReapply, true);
  SetHWFlowOptions(FHWFlowOptions);
  SetSWFlowOptions(FSWFlowOptions);
}

void TSioCustomComPort::SetXOnChar(char c) {
  if (c == FXOnChar && !FReapply) return;
  FXOnChar = c;
  if (FPortState == psOpen) Check(FDispatcher->SWFlowChars(FXOnChar, FXOffChar));
}

void TSioCustomComPort::SetXOffChar(char c) {
  if (c == FXOffChar && !FReapply) return;
  FXOffChar = c;
  if (FPortState == psOpen) Check(FDispatcher->SWFlowChars(FXOnChar, FXOffChar));
}

void TSioCustomComPort::SetUseEventWord(bool use) {
  if (use == FUseEventWord && !FReapply) return;
  FUseEventWord = use;
  if (FPortState != psOpen) return;
  if (use)
    FDispatcher->OptionsOn(SioOptionEventWord);
  else
    FDispatcher->OptionsOff(SioOptionEventWord);
}

void TSioCustomComPort::SetCommNotificationLevel(WORD level) {
  if (level == FCommNotificationLevel && !FReapply) return;
  FCommNotificationLevel = level;
}

void TSioCustomComPort::SetRS485Mode(bool on) {
  if (on == FRS485Mode && !FReapply) return;
  FRS485Mode = on;
  if (FPortState == psOpen) FDispatcher->SetRS485Mode(on);
  if (on) {
    // The transmitter switching drives RTS: no RTS handshake, and RTS starts low.
    SetHWFlowOptions(FHWFlowOptions - THWFlowOptionSet{hwfUseRTS, hwfRequireCTS});
    SetRTS(false);
  }
}

void TSioCustomComPort::SetThreadBoost(TSioThreadBoost boost) {
  FThreadBoost = boost;
  if (FPortState == psOpen) FDispatcher->SetThreadBoost(static_cast<unsigned char>(boost));
}

void TSioCustomComPort::SetTriggerLength(WORD length) {
  if (length == FTriggerLength && !FReapply) return;
  FTriggerLength = length;
  if (FPortState == psOpen) Check(FDispatcher->ChangeLengthTrigger(length));
}

void TSioCustomComPort::SetBaseAddress(WORD address) {
  if (FPortState != psOpen) return;
  if (address != GetBaseAddress() || FReapply) FDispatcher->SetBaseAddress(address);
}

// ---- trigger handlers ----

bool TSioCustomComPort::AnyTriggerHandler() const {
  return FOnTrigger || FOnTriggerAvail || FOnTriggerData || FOnTriggerStatus || FOnTriggerTimer ||
         FOnTriggerLineError || FOnTriggerModemStatus || FOnTriggerOutbuffFree ||
         FOnTriggerOutbuffUsed || FOnTriggerOutSent;
}

void TSioCustomComPort::UpdateHandlerFlag() {
  if (FPortState != psOpen || !FDispatcher) return;
  FDispatcher->UpdateHandlerFlags(AnyTriggerHandler() ? fuEnablePort : fuDisablePort);
}

void TSioCustomComPort::SetOnTrigger(TTriggerEvent handler) {
  FOnTrigger = std::move(handler);
  UpdateHandlerFlag();
}
void TSioCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent handler) {
  FOnTriggerAvail = std::move(handler);
  UpdateHandlerFlag();
}
void TSioCustomComPort::SetOnTriggerData(TTriggerDataEvent handler) {
  FOnTriggerData = std::move(handler);
  UpdateHandlerFlag();
}
void TSioCustomComPort::SetOnTriggerStatus(TTriggerStatusEvent handler) {
  FOnTriggerStatus = std::move(handler);
  UpdateHandlerFlag();
}
void TSioCustomComPort::SetOnTriggerTimer(TTriggerTimerEvent handler) {
  FOnTriggerTimer = std::move(handler);
  UpdateHandlerFlag();
}
void TSioCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent handler) {
  FOnTriggerLineError = std::move(handler);
  UpdateHandlerFlag();
}
void TSioCustomComPort::SetOnTriggerModemStatus(TNotifyEvent handler) {
  FOnTriggerModemStatus = std::move(handler);
  UpdateHandlerFlag();
}
void TSioCustomComPort::SetOnTriggerOutbuffFree(TNotifyEvent handler) {
  FOnTriggerOutbuffFree = std::move(handler);
  UpdateHandlerFlag();
}
void TSioCustomComPort::SetOnTriggerOutbuffUsed(TNotifyEvent handler) {
  FOnTriggerOutbuffUsed = std::move(handler);
  UpdateHandlerFlag();
}
void TSioCustomComPort::SetOnTriggerOutSent(TNotifyEvent handler) {
  FOnTriggerOutSent = std::move(handler);
  UpdateHandlerFlag();
}

// ---- event raising ----

void TSioCustomComPort::Trigger(WORD msg, WORD triggerHandle, WORD data) {
  if (FOnTrigger) FOnTrigger(this, msg, triggerHandle, data);
}
void TSioCustomComPort::TriggerAvail(WORD count) {
  if (FOnTriggerAvail) FOnTriggerAvail(this, count);
}
void TSioCustomComPort::TriggerData(WORD triggerHandle) {
  if (FOnTriggerData) FOnTriggerData(this, triggerHandle);
}
void TSioCustomComPort::TriggerStatus(WORD triggerHandle) {
  if (FOnTriggerStatus) FOnTriggerStatus(this, triggerHandle);
}
void TSioCustomComPort::TriggerTimer(WORD triggerHandle) {
  if (FOnTriggerTimer) FOnTriggerTimer(this, triggerHandle);
}
void TSioCustomComPort::TriggerLineError(WORD error, bool lineBreak) {
  if (FOnTriggerLineError) FOnTriggerLineError(this, error, lineBreak);
}
void TSioCustomComPort::TriggerModemStatus() {
  if (FOnTriggerModemStatus) FOnTriggerModemStatus(this);
}
void TSioCustomComPort::TriggerOutbuffFree() {
  if (FOnTriggerOutbuffFree) FOnTriggerOutbuffFree(this);
}
void TSioCustomComPort::TriggerOutbuffUsed() {
  if (FOnTriggerOutbuffUsed) FOnTriggerOutbuffUsed(this);
}
void TSioCustomComPort::TriggerOutSent() {
  if (FOnTriggerOutSent) FOnTriggerOutSent(this);
}
void TSioCustomComPort::WaitChar(char c) {
  if (OnWaitChar) OnWaitChar(this, c);
}
