#include "serial/Exceptions.h"

#include "platform/Win32.h"
#include "serial/StringResource.h"

// Defined by the file resgen generates from errors.tsv; calling it keeps that file linked.
void RegisterResource_SIO_ERROR_STRINGS_ENGLISH();

namespace {

constexpr size_t MaxMessage = 255;

// Codes of the units outside the serial path whose leaf classes we do not carry: they raise
// their group class, with the code.
constexpr int32_t FirstIniCode = -7014, LastIniCode = -7001;
constexpr int32_t IniNoMoreRecords = -7014; // a status, raised as the general exception
constexpr int32_t FirstFaxCode = -8020, LastFaxCode = -8001; // the fax converter's errors
constexpr int32_t FirstTapiCode = -13894, LastTapiCode = -13801;

// Cuts an ANSI (UTF-8) text to `limit` bytes without splitting a character.
std::string CutText(std::string text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
    --cut;
  text.resize(cut);
  return text;
}

// The operating system's text for an error number, on one line with single blanks.
std::string SystemMessage(int32_t number) {
  char buffer[MaxMessage] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(number), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                           buffer, sizeof buffer, nullptr);
  std::string text;
  for (DWORD i = 0; i < n && i < sizeof buffer && buffer[i] != '\0'; ++i) {
    char c = static_cast<unsigned char>(buffer[i]) < 32 ? ' ' : buffer[i];
    if (c == ' ' && !text.empty() && text.back() == ' ') continue;
    text += c;
  }
  return CutText(text, MaxMessage);
}

template <typename E> [[noreturn]] void Raise(int32_t code) {
  throw E(code);
}

} // namespace

ESioException::ESioException(int32_t code, bool)
    : Exception(SioLoadStr(static_cast<int16_t>(code))), ErrorCode(code) {}

ESioException::ESioException(const std::string& message) : Exception(message), ErrorCode(0) {}

int32_t ESioException::MapCodeToStringID(int32_t code) {
  // Through unsigned arithmetic: the most negative code has no positive twin and stays as is.
  return code < 0 ? static_cast<int32_t>(0u - static_cast<uint32_t>(code)) : code;
}

std::string SioLoadStr(int16_t code) {
  int32_t ident = code < 0 ? -int32_t(code) : int32_t(code);
  std::string text = CutText(ErrorStrings()->GetString(ident), MaxMessage);
  if (text.empty()) text = SystemMessage(ident);
  return text;
}

std::string ErrorMsg(int16_t code) {
  return SioLoadStr(code);
}

char* SioLoadZ(char* buffer, int32_t code) {
  return ErrorStrings()->GetAsciiZ(ESioException::MapCodeToStringID(code), buffer, SioLoadZSize);
}

int32_t CheckException(TComponent* component, int32_t code) {
  if (code >= 0) return code;
  if (component != nullptr && component->ComponentState().Contains(csLoading)) return code;

  switch (code) {
  case ecBadArgument:
    Raise<EBadArgument>(code);
  case ecGotQuitMsg:
    Raise<EGotQuitMsg>(code);
  case ecBufferTooBig:
    Raise<EBufferTooBig>(code);
  case ecPortNotAssigned:
    Raise<EPortNotAssigned>(code);
  case ecInternal:
    Raise<EInternal>(code);
  case ecModemNotAssigned:
    Raise<EModemNotAssigned>(code);
  case ecPhonebookNotAssigned:
    Raise<EPhonebookNotAssigned>(code);
  case ecCannotUseWithWinSock:
    Raise<ECannotUseWithWinSock>(code);

  case ecBadId:
    Raise<EBadId>(code);
  case ecBaudRate:
    Raise<EBaudRate>(code);
  case ecByteSize:
    Raise<EByteSize>(code);
  case ecDefault:
    Raise<EDefault>(code);
  case ecHardware:
    Raise<EHardware>(code);
  case ecMemory:
    Raise<EMemory>(code);
  case ecCommNotOpen:
    Raise<ECommNotOpen>(code);
  case ecAlreadyOpen:
    Raise<EAlreadyOpen>(code);
  case ecNoHandles:
    Raise<ENoHandles>(code);
  case ecNoTimers:
    Raise<ENoTimers>(code);
  case ecNoPortSelected:
    Raise<ENoPortSelected>(code);
  case ecNotOpenedByTapi:
    Raise<ENotOpenedByTapi>(code);

  case ecNullApi:
    Raise<ENullApi>(code);
  case ecRegisterHandlerFailed:
    Raise<ERegisterHandlerFailed>(code);
  case ecPutBlockFail:
    Raise<EPutBlockFail>(code);
  case ecGetBlockFail:
    Raise<EGetBlockFail>(code);
  case ecOutputBufferTooSmall:
    Raise<EOutputBufferTooSmall>(code);
  case ecBufferIsEmpty:
    Raise<EBufferIsEmpty>(code);
  case ecTracingNotEnabled:
    Raise<ETracingNotEnabled>(code);
  case ecLoggingNotEnabled:
    Raise<ELoggingNotEnabled>(code);
  case ecBaseAddressNotSet:
    Raise<EBaseAddressNotSet>(code);

  case ecModemNotStarted:
    Raise<EModemNotStarted>(code);
  case ecModemBusy:
    Raise<EModemBusy>(code);
  case ecModemNotDialing:
    Raise<EModemNotDialing>(code);
  case ecNotDialing:
    Raise<ENotDialing>(code);
  case ecAlreadyDialing:
    Raise<EAlreadyDialing>(code);
  case ecModemNotResponding:
    Raise<EModemNotResponding>(code);
  case ecModemRejectedCommand:
    Raise<EModemRejectedCommand>(code);
  case ecModemStatusMismatch:
    Raise<EModemStatusMismatch>(code);

  case ecTriggerTooLong:
    Raise<ETriggerTooLong>(code);
  case ecBadTriggerHandle:
    Raise<EBadTriggerHandle>(code);

  case ecProtocolTimeout:
  case ecTooManyErrors:
  case ecSequenceError:
    Raise<EProtocol>(code);

  case ecIniRecordOverflow:
  case ecIniIndexRange:
  case ecIniFieldListCorrupt:
    Raise<EInternal>(code);

  case ecRasLoadFail:
    Raise<ERasLoadFail>(code);
  default:
    break;
  }

  if (code >= FirstIniCode && code <= LastIniCode && code != IniNoMoreRecords) Raise<EINI>(code);
  if (code >= FirstFaxCode && code <= LastFaxCode) Raise<EFax>(code);
  if (code >= FirstTapiCode && code <= LastTapiCode) Raise<ETapi>(code);

  if (code >= ecGeneralFailure && code <= ecFileNotFound) {
    std::string message = SioLoadStr(static_cast<int16_t>(code));
    if (code == ecOutOfMemory) throw EOutOfMemory(message);
    throw EInOutError(message, -code);
  }
  // The comm layer's answer when the user may not open the device: say that permission is
  // missing instead of a bare "Serial port exception".
  if (code == -static_cast<int32_t>(ERROR_PRIVILEGE_NOT_HELD)) {
    EOpenComm e(Trim(SystemMessage(-code)) + " (no permission to open the serial port)");
    e.ErrorCode = code;
    throw e;
  }
  // A device that went away mid-use (an adapter pulled): a bare "Serial port exception" with
  // no code would leave the user guessing.
  if (code == -static_cast<int32_t>(ERROR_DEVICE_NOT_CONNECTED)) {
    ESioException e(Trim(SystemMessage(-code)) + " (the serial device has gone: unplugged or "
                                                 "switched off)");
    e.ErrorCode = code;
    throw e;
  }
  throw ESioException(std::string("Serial port exception"));
}

int32_t XlatException(const std::exception& e) {
  if (auto* sio = dynamic_cast<const ESioException*>(&e)) return sio->ErrorCode;
  if (auto* io = dynamic_cast<const EInOutError*>(&e)) return -io->ErrorCode;
  if (dynamic_cast<const EOutOfMemory*>(&e) != nullptr) return ecOutOfMemory;
  return ecUnknown;
}

int32_t XlatException(std::exception_ptr e) {
  if (!e) return ecUnknown;
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& caught) {
    return XlatException(caught);
  } catch (...) {
    return ecUnknown;
  }
}

TSioStringResource* ErrorStrings() {
  static TSioStringResource* const instance = [] {
    SioResStrings(); // the string manager's table comes first: it words this one's failures
    RegisterResource_SIO_ERROR_STRINGS_ENGLISH();
    static TSioStringResource strings(GetModuleHandleA(nullptr), "SIO_ERROR_STRINGS_ENGLISH");
    return &strings;
  }();
  return instance;
}
