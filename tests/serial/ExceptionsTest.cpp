#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <typeinfo>

#include "serial/Exceptions.h"
#include "serial/StringResource.h"

namespace {

// Expects CheckException to raise exactly class E with the code and its table message.
template <typename E> void ExpectRaises(int32_t code, const std::string& message = "") {
  try {
    CheckException(nullptr, code);
    ADD_FAILURE() << code << " raised nothing";
  } catch (const ESioException& e) {
    EXPECT_EQ(typeid(e), typeid(E)) << code << " raised " << typeid(e).name();
    EXPECT_EQ(e.ErrorCode, code);
    EXPECT_EQ(e.Message(), message.empty() ? ErrorStrings()->GetString(-code) : message) << code;
    EXPECT_FALSE(e.Message().empty()) << code;
  } catch (...) {
    ADD_FAILURE() << code << " raised something other than ESioException";
  }
}

EInOutError InOutErrorOf(int32_t code) {
  try {
    CheckException(nullptr, code);
  } catch (const EInOutError& e) {
    return e;
  }
  ADD_FAILURE() << code << " did not raise EInOutError";
  return EInOutError("", 0);
}

} // namespace

TEST(CheckException, PassesSuccessAndPositiveResultsThrough) {
  TComponent component(nullptr);
  for (int32_t code : {0, 5, 15742, INT32_MAX}) {
    EXPECT_EQ(CheckException(nullptr, code), code);
    EXPECT_EQ(CheckException(&component, code), code);
  }
}

TEST(CheckException, ReturnsNegativeCodesWhileTheComponentIsLoading) {
  TComponent component(nullptr);
  component.BeginLoading();
  EXPECT_EQ(CheckException(&component, ecNoPortSelected), ecNoPortSelected);
  EXPECT_EQ(CheckException(&component, -50), -50);
  component.EndLoading();
  EXPECT_THROW(CheckException(&component, ecNoPortSelected), ENoPortSelected);
}

TEST(CheckException, SerialPathCodesRaiseTheirLeafWithTheTableText) {
  ExpectRaises<ENoPortSelected>(-2011,
                                "The ComNumber property of the TSioComPort has not been set");
  ExpectRaises<EBadId>(-2001, "ie_BadId - Specified comport doesn't exist");
  ExpectRaises<EAlreadyOpen>(-2008, "ie_Open - device already open");
  ExpectRaises<EBadArgument>(ecBadArgument, "Bad argument passed to function");
  ExpectRaises<ECannotUseWithWinSock>(ecCannotUseWithWinSock);
  ExpectRaises<EInternal>(ecInternal, "Internal error creating window class");
  ExpectRaises<EHardware>(ecHardware);
  ExpectRaises<ENotOpenedByTapi>(ecNotOpenedByTapi, "Comport was not opened by Tapi");
  ExpectRaises<ENullApi>(ecNullApi);
  ExpectRaises<ERegisterHandlerFailed>(ecRegisterHandlerFailed);
  ExpectRaises<EPutBlockFail>(ecPutBlockFail, "Failed to put entire block");
  ExpectRaises<EBaseAddressNotSet>(ecBaseAddressNotSet);
  ExpectRaises<ETriggerTooLong>(ecTriggerTooLong, "Data trigger too long");
  ExpectRaises<EBadTriggerHandle>(ecBadTriggerHandle);
  ExpectRaises<EModemNotStarted>(-4001);
  ExpectRaises<EModemNotDialing>(-4003);
  ExpectRaises<ENotDialing>(-4004);
  ExpectRaises<EModemStatusMismatch>(-4008);
  try {
    CheckException(nullptr, ecNoPortSelected);
  } catch (const EOpenComm& e) { // caught through its group
    EXPECT_EQ(e.ErrorCode, ecNoPortSelected);
  }
}

TEST(CheckException, OtherUnitsRaiseTheirGroupClass) {
  ExpectRaises<EProtocol>(-6006);
  ExpectRaises<EProtocol>(-6008);
  ExpectRaises<EProtocol>(-6009);
  ExpectRaises<EInternal>(-7003);
  ExpectRaises<EInternal>(-7006);
  ExpectRaises<EInternal>(-7012);
  ExpectRaises<EINI>(-7001);
  ExpectRaises<EINI>(-7013);
  ExpectRaises<EFax>(-8001);
  ExpectRaises<EFax>(-8020);
  ExpectRaises<ETapi>(-13801);
  ExpectRaises<ETapi>(-13894);
  ExpectRaises<ERasLoadFail>(ecRasLoadFail);
}

TEST(CheckException, OperatingSystemAndRunTimeErrorsBecomeEInOutError) {
  EInOutError notFound = InOutErrorOf(ecFileNotFound);
  EXPECT_EQ(notFound.ErrorCode, 2);
  EXPECT_EQ(notFound.Message(), "File not found");
  EXPECT_EQ(InOutErrorOf(ecDiskFull).Message(), "Disk is full");
  EXPECT_EQ(InOutErrorOf(ecGeneralFailure).ErrorCode, 162);
  EXPECT_THROW(CheckException(nullptr, ecOutOfMemory), EOutOfMemory);
  try {
    CheckException(nullptr, ecOutOfMemory);
  } catch (const EInOutError&) {
    ADD_FAILURE() << "-8 must be the out-of-memory error";
  } catch (const EOutOfMemory&) {
  }

  // No row: the system's text, on one line with single blanks.
  char raw[255] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 50,
                           0, raw, sizeof raw, nullptr);
  ASSERT_GT(n, 2u);
  ASSERT_EQ(std::string(raw).substr(n - 2), "\r\n");
  EInOutError unsupported = InOutErrorOf(-50);
  EXPECT_EQ(unsupported.ErrorCode, 50);
  EXPECT_EQ(unsupported.Message(), std::string(raw, n - 2) + " ");
  // 7 has neither a row nor a system text.
  EInOutError none = InOutErrorOf(-7);
  EXPECT_EQ(none.ErrorCode, 7);
  EXPECT_EQ(none.Message(), "");
}

TEST(CheckException, CodesWithoutAClassRaiseTheGeneralException) {
  for (int32_t code : {-1,
                       ecBadHandle,
                       ecNotSupportedByDriver,
                       ecNoMoreTriggerSlots,
                       -163,
                       -1000,
                       -4101,
                       -5501,
                       -6001,
                       -7014,
                       -8051,
                       -8092,
                       -9001,
                       -10054,
                       -13501,
                       -13973,
                       -15001,
                       ecUnknown,
                       -40000,
                       INT32_MIN}) {
    try {
      CheckException(nullptr, code);
      ADD_FAILURE() << code << " raised nothing";
    } catch (const ESioException& e) {
      EXPECT_EQ(typeid(e), typeid(ESioException)) << code;
      EXPECT_EQ(e.Message(), "Serial port exception") << code;
      EXPECT_EQ(e.ErrorCode, 0) << code;
    }
  }
}

TEST(SioLoadStr, LooksUpTheAbsoluteValueOfASixteenBitCode) {
  EXPECT_EQ(SioLoadStr(ecNoPortSelected),
            "The ComNumber property of the TSioComPort has not been set");
  EXPECT_EQ(SioLoadStr(2011), SioLoadStr(-2011));
  EXPECT_EQ(ErrorMsg(ecDiskFull), "Disk is full");
  EXPECT_EQ(SioLoadStr(0), "OK");
  int32_t wide = ecNoPortSelected - 65536; // callers' 32-bit codes wrap to 16 bits
  EXPECT_EQ(SioLoadStr(static_cast<int16_t>(wide)), SioLoadStr(ecNoPortSelected));
  EXPECT_EQ(ErrorStrings()->GetString(7), "");
  EXPECT_EQ(ESioException::MapCodeToStringID(-2011), 2011);
  EXPECT_EQ(ESioException::MapCodeToStringID(2011), 2011);
  EXPECT_EQ(ESioException::MapCodeToStringID(INT32_MIN), INT32_MIN);
}

TEST(ESioException, ConstructsFromACodeOrAMessage) {
  ESioException fromCode(ecPutBlockFail, true);
  EXPECT_EQ(fromCode.ErrorCode, ecPutBlockFail);
  EXPECT_EQ(fromCode.Message(), "Failed to put entire block");
  EBufferIsEmpty leaf(ecBufferIsEmpty);
  EXPECT_EQ(leaf.Message(), "Buffer is empty");
  ESioException fromText("custom");
  EXPECT_EQ(fromText.ErrorCode, 0);
  EXPECT_EQ(fromText.Message(), "custom");
}

TEST(XlatException, TurnsExceptionsBackIntoCodes) {
  EXPECT_EQ(XlatException(EAlreadyOpen(ecAlreadyOpen)), ecAlreadyOpen);
  EXPECT_EQ(XlatException(ESioException("text only")), 0);
  EXPECT_EQ(XlatException(EInOutError("x", 101)), -101);
  EXPECT_EQ(XlatException(EOutOfMemory()), ecOutOfMemory);
  EXPECT_EQ(XlatException(std::runtime_error("foreign")), ecUnknown);
  EXPECT_EQ(XlatException(Exception("plain")), ecUnknown);
  for (int32_t code : {ecAlreadyOpen, ecDiskFull, ecOutOfMemory, -6008}) {
    try {
      CheckException(nullptr, code);
    } catch (...) {
      EXPECT_EQ(XlatException(std::current_exception()), code);
    }
  }
  try {
    throw 42;
  } catch (...) {
    EXPECT_EQ(XlatException(std::current_exception()), ecUnknown);
  }
  EXPECT_EQ(XlatException(std::exception_ptr()), ecUnknown);
}

TEST(CheckException, AVanishedDeviceIsNamedAndKeepsItsCode) {
  try {
    CheckException(nullptr, -static_cast<int32_t>(ERROR_DEVICE_NOT_CONNECTED));
    ADD_FAILURE() << "raised nothing";
  } catch (const ESioException& e) {
    EXPECT_EQ(
        e.Message(),
        "The device is not connected. (the serial device has gone: unplugged or switched off)");
    EXPECT_EQ(e.ErrorCode, -1167);
    EXPECT_EQ(XlatException(e), -1167);
  }
}
