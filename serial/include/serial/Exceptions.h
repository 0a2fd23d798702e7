// Result codes of the serial library, the exceptions they become, and their message texts.
//
// Inside the library operations return codes (0 success, positive counts and handles,
// negative errors) and never raise; the component hands negative results to CheckException.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "runtime/Classes.h"
#include "runtime/SysUtils.h"

class TSioStringResource;

// ---- result codes; the message of a code is the table entry of its absolute value ----
constexpr int32_t ecOK = 0;

// Operating-system file errors and run-time input/output errors (EInOutError).
constexpr int32_t ecFileNotFound = -2;
constexpr int32_t ecPathNotFound = -3;
constexpr int32_t ecTooManyOpenFiles = -4;
constexpr int32_t ecFileAccessDenied = -5;
constexpr int32_t ecInvalidFileHandle = -6;
constexpr int32_t ecOutOfMemory = -8;
constexpr int32_t ecInvalidDrive = -15;
constexpr int32_t ecNoMoreFiles = -18;
constexpr int32_t ecReadBeyondEof = -100;
constexpr int32_t ecDiskFull = -101;
constexpr int32_t ecFileNotAssigned = -102;
constexpr int32_t ecFileNotOpen = -103;
constexpr int32_t ecNotOpenForInput = -104;
constexpr int32_t ecNotOpenForOutput = -105;
constexpr int32_t ecDiskWriteProtected = -150;
constexpr int32_t ecUnknownDiskUnit = -151;
constexpr int32_t ecDriveNotReady = -152;
constexpr int32_t ecUnknownCommand = -153;
constexpr int32_t ecDataError = -154;
constexpr int32_t ecBadRequestLength = -155;
constexpr int32_t ecSeekError = -156;
constexpr int32_t ecUnknownMediaType = -157;
constexpr int32_t ecSectorNotFound = -158;
constexpr int32_t ecPrinterOutOfPaper = -159;
constexpr int32_t ecDeviceWriteError = -160;
constexpr int32_t ecDeviceReadError = -161;
constexpr int32_t ecGeneralFailure = -162;

// General library errors.
constexpr int32_t ecBadHandle = -1001;
constexpr int32_t ecBadArgument = -1002;
constexpr int32_t ecGotQuitMsg = -1003;
constexpr int32_t ecBufferTooBig = -1004;
constexpr int32_t ecPortNotAssigned = -1005;
constexpr int32_t ecInternal = -1006;
constexpr int32_t ecModemNotAssigned = -1007;
constexpr int32_t ecPhonebookNotAssigned = -1008;
constexpr int32_t ecCannotUseWithWinSock = -1009;

// Opening a port.
constexpr int32_t ecBadId = -2001;
constexpr int32_t ecBaudRate = -2002;
constexpr int32_t ecByteSize = -2003;
constexpr int32_t ecDefault = -2004;
constexpr int32_t ecHardware = -2005;
constexpr int32_t ecMemory = -2006;
constexpr int32_t ecCommNotOpen = -2007;
constexpr int32_t ecAlreadyOpen = -2008;
constexpr int32_t ecNoHandles = -2009;
constexpr int32_t ecNoTimers = -2010;
constexpr int32_t ecNoPortSelected = -2011;
constexpr int32_t ecNotOpenedByTapi = -2012;

// Serial input/output.
constexpr int32_t ecNullApi = -3001;
constexpr int32_t ecNotSupportedByDriver = -3002;
constexpr int32_t ecRegisterHandlerFailed = -3003;
constexpr int32_t ecPutBlockFail = -3004;
constexpr int32_t ecGetBlockFail = -3005;
constexpr int32_t ecOutputBufferTooSmall = -3006;
constexpr int32_t ecBufferIsEmpty = -3007;
constexpr int32_t ecTracingNotEnabled = -3008;
constexpr int32_t ecLoggingNotEnabled = -3009;
constexpr int32_t ecBaseAddressNotSet = -3010;

// Modem.
constexpr int32_t ecModemNotStarted = -4001;
constexpr int32_t ecModemBusy = -4002;
constexpr int32_t ecModemNotDialing = -4003;
constexpr int32_t ecNotDialing = -4004;
constexpr int32_t ecAlreadyDialing = -4005;
constexpr int32_t ecModemNotResponding = -4006;
constexpr int32_t ecModemRejectedCommand = -4007;
constexpr int32_t ecModemStatusMismatch = -4008;

// Triggers.
constexpr int32_t ecNoMoreTriggerSlots = -5001;
constexpr int32_t ecTriggerTooLong = -5002;
constexpr int32_t ecBadTriggerHandle = -5003;

// File-transfer protocols: the ones raised as the protocol group's class.
constexpr int32_t ecProtocolTimeout = -6006;
constexpr int32_t ecTooManyErrors = -6008;
constexpr int32_t ecSequenceError = -6009;

// The INI database's internal faults, raised as EInternal.
constexpr int32_t ecIniRecordOverflow = -7003;
constexpr int32_t ecIniIndexRange = -7006;
constexpr int32_t ecIniFieldListCorrupt = -7012;

// The remote-access library could not be loaded: the first of the remote-access rows, which
// close the telephony range (13972..13980).
constexpr int32_t ecRasLoadFail = -13972;

// What XlatException gives for an exception that is not the library's; it has no message.
constexpr int32_t ecUnknown = -9999;

// ---- exceptions ----

// A serial-library failure. ErrorCode is the code as raised (negative), or 0 for an
// exception made from a message alone.
class ESioException : public Exception {
public:
  // The message is SioLoadStr of the code; the flag is accepted for callers and ignored.
  explicit ESioException(int32_t code, bool = false);
  explicit ESioException(const std::string& message);
  // The message-table ident of a code: its absolute value.
  static int32_t MapCodeToStringID(int32_t code);
  int32_t ErrorCode;
};

#define SIO_EXCEPTION(name, base)                                                                  \
  class name : public base {                                                                       \
  public:                                                                                          \
    using base::base;                                                                              \
  }

SIO_EXCEPTION(EGeneral, ESioException);
SIO_EXCEPTION(EOpenComm, ESioException);
SIO_EXCEPTION(ESerialIO, ESioException);
SIO_EXCEPTION(EModem, ESioException);
SIO_EXCEPTION(ETrigger, ESioException);
SIO_EXCEPTION(EPacket, ESioException);
SIO_EXCEPTION(EProtocol, ESioException);
SIO_EXCEPTION(EINI, ESioException);
SIO_EXCEPTION(EFax, ESioException);
SIO_EXCEPTION(ETapi, ESioException);
SIO_EXCEPTION(ERas, ESioException);
SIO_EXCEPTION(ETerminal, ESioException);

SIO_EXCEPTION(EBadArgument, EGeneral);
SIO_EXCEPTION(EGotQuitMsg, EGeneral);
SIO_EXCEPTION(EBufferTooBig, EGeneral);
SIO_EXCEPTION(EPortNotAssigned, EGeneral);
SIO_EXCEPTION(EInternal, EGeneral);
SIO_EXCEPTION(EModemNotAssigned, EGeneral);
SIO_EXCEPTION(EPhonebookNotAssigned, EGeneral);
SIO_EXCEPTION(ECannotUseWithWinSock, EGeneral);

SIO_EXCEPTION(EBadId, EOpenComm);
SIO_EXCEPTION(EBaudRate, EOpenComm);
SIO_EXCEPTION(EByteSize, EOpenComm);
SIO_EXCEPTION(EDefault, EOpenComm);
SIO_EXCEPTION(EHardware, EOpenComm);
SIO_EXCEPTION(EMemory, EOpenComm);
SIO_EXCEPTION(ECommNotOpen, EOpenComm);
SIO_EXCEPTION(EAlreadyOpen, EOpenComm);
SIO_EXCEPTION(ENoHandles, EOpenComm);
SIO_EXCEPTION(ENoTimers, EOpenComm);
SIO_EXCEPTION(ENoPortSelected, EOpenComm);
SIO_EXCEPTION(ENotOpenedByTapi, EOpenComm);

SIO_EXCEPTION(ENullApi, ESerialIO);
SIO_EXCEPTION(ERegisterHandlerFailed, ESerialIO);
SIO_EXCEPTION(EPutBlockFail, ESerialIO);
SIO_EXCEPTION(EGetBlockFail, ESerialIO);
SIO_EXCEPTION(EOutputBufferTooSmall, ESerialIO);
SIO_EXCEPTION(EBufferIsEmpty, ESerialIO);
SIO_EXCEPTION(ETracingNotEnabled, ESerialIO);
SIO_EXCEPTION(ELoggingNotEnabled, ESerialIO);
SIO_EXCEPTION(EBaseAddressNotSet, ESerialIO);

SIO_EXCEPTION(ETriggerTooLong, ETrigger);
SIO_EXCEPTION(EBadTriggerHandle, ETrigger);

// Codes -4001..-4008, in this order.
SIO_EXCEPTION(EModemNotStarted, EModem);
SIO_EXCEPTION(EModemBusy, EModem);
SIO_EXCEPTION(EModemNotDialing, EModem);
SIO_EXCEPTION(ENotDialing, EModem);
SIO_EXCEPTION(EAlreadyDialing, EModem);
SIO_EXCEPTION(EModemNotResponding, EModem);
SIO_EXCEPTION(EModemRejectedCommand, EModem);
SIO_EXCEPTION(EModemStatusMismatch, EModem);

// Raised by the packet component itself, never by CheckException.
SIO_EXCEPTION(EInvalidProperty, EPacket);
SIO_EXCEPTION(EStringSizeError, EPacket);

// Declared for the protocol engines; CheckException raises EProtocol itself for their codes.
SIO_EXCEPTION(ETimeout, EProtocol);
SIO_EXCEPTION(ETooManyErrors, EProtocol);
SIO_EXCEPTION(ESequenceError, EProtocol);

SIO_EXCEPTION(ERasLoadFail, ERas);

#undef SIO_EXCEPTION

// ---- operations ----

// Returns `code` when it is not negative or while `component` is being loaded from its form;
// otherwise raises the exception of the code and does not return.
int32_t CheckException(TComponent* component, int32_t code);

// The message of a code, at most 255 bytes: the table's text, else the operating system's
// text for the number with control characters and repeated blanks folded to one blank.
// The code is 16-bit, as callers have always passed it: larger values wrap.
std::string SioLoadStr(int16_t code);
std::string ErrorMsg(int16_t code);

// The table message of |code| as a NUL-terminated ANSI string in `buffer`, which must hold
// SioLoadZSize bytes (so at most 79 characters).
constexpr int SioLoadZSize = 80;
char* SioLoadZ(char* buffer, int32_t code);

// The result code an exception stands for: an ESioException's ErrorCode, the negated
// ErrorCode of an EInOutError, ecOutOfMemory for EOutOfMemory, ecUnknown for anything else.
int32_t XlatException(const std::exception& e);
// The same for whatever was caught, e.g. XlatException(std::current_exception()) in catch (...).
int32_t XlatException(std::exception_ptr e);

// The library's message table (SIO_ERROR_STRINGS_ENGLISH), created on first use after the
// string manager's own table; thread-safe.
TSioStringResource* ErrorStrings();
