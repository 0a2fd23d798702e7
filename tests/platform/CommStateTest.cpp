// Line settings: the DCB <-> termios2 mapping, and SetCommState/GetCommState on a real
// pseudo-terminal, read back both through the handle and through the tty itself.
#include "CommTest.h"

#include "../../platform/posix/CommTermios.h"

#include <termios.h>

using namespace commtest;
using platform::comm::TTermiosImage;

namespace {

// BOTHER has no name in <termios.h>; it is the CBAUDEX code with no other speed bits.
const uint32_t OtherSpeed = CBAUDEX;

DCB BaseDcb() {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.fBinary = 1;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}

// The fields the dispatcher sets, compared one by one so that a failure names the field.
void ExpectSameDcb(const DCB& a, const DCB& b) {
  EXPECT_EQ(a.BaudRate, b.BaudRate);
  EXPECT_EQ(a.ByteSize, b.ByteSize);
  EXPECT_EQ(a.Parity, b.Parity);
  EXPECT_EQ(a.StopBits, b.StopBits);
  EXPECT_EQ(a.fBinary, b.fBinary);
  EXPECT_EQ(a.fParity, b.fParity);
  EXPECT_EQ(a.fOutxCtsFlow, b.fOutxCtsFlow);
  EXPECT_EQ(a.fOutxDsrFlow, b.fOutxDsrFlow);
  EXPECT_EQ(a.fDtrControl, b.fDtrControl);
  EXPECT_EQ(a.fDsrSensitivity, b.fDsrSensitivity);
  EXPECT_EQ(a.fTXContinueOnXoff, b.fTXContinueOnXoff);
  EXPECT_EQ(a.fOutX, b.fOutX);
  EXPECT_EQ(a.fInX, b.fInX);
  EXPECT_EQ(a.fNull, b.fNull);
  EXPECT_EQ(a.fRtsControl, b.fRtsControl);
  EXPECT_EQ(a.XonLim, b.XonLim);
  EXPECT_EQ(a.XoffLim, b.XoffLim);
  EXPECT_EQ(a.XonChar, b.XonChar);
  EXPECT_EQ(a.XoffChar, b.XoffChar);
}

const DWORD Speeds[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                        19200, 38400, 56000, 57600, 115200, 128000, 256000};

} // namespace

// ---- the mapping alone ----

TEST(CommTermiosMapping, EverySpeedGoesThroughBotherAndBack) {
  for (DWORD speed : Speeds) {
    DCB dcb = BaseDcb();
    dcb.BaudRate = speed;
    TTermiosImage image;
    image.CFlag = B9600 | CS8;
    platform::comm::DcbToTermios(dcb, image);
    EXPECT_EQ(image.CFlag & CBAUD, OtherSpeed) << speed;
    EXPECT_EQ(image.OSpeed, speed);
    EXPECT_EQ(image.ISpeed, speed);
    DCB back = BaseDcb();
    platform::comm::TermiosToDcb(image, back);
    EXPECT_EQ(back.BaudRate, speed);
  }
  TTermiosImage classic;
  classic.CFlag = B38400 | CS8;
  EXPECT_EQ(platform::comm::TermiosSpeed(classic), 38400u);
}

TEST(CommTermiosMapping, ParityDataAndStopBits) {
  struct TCase {
    BYTE Parity;
    tcflag_t Bits;
  } parities[] = {{NOPARITY, 0},
                  {ODDPARITY, PARENB | PARODD},
                  {EVENPARITY, PARENB},
                  {MARKPARITY, PARENB | CMSPAR | PARODD},
                  {SPACEPARITY, PARENB | CMSPAR}};
  const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
  for (const TCase& p : parities) {
    for (BYTE bits = 5; bits <= 8; ++bits) {
      for (BYTE stop : {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS}) {
        bool valid = stop == ONESTOPBIT || (stop == ONE5STOPBITS) == (bits == 5);
        if (!valid) continue; // 1.5 goes with 5 data bits only, 2 with 6 to 8
        DCB dcb = BaseDcb();
        dcb.Parity = p.Parity;
        dcb.ByteSize = bits;
        dcb.StopBits = stop;
        TTermiosImage image;
        image.CFlag = CS8 | PARENB | PARODD | CMSPAR | CSTOPB; // all must be rewritten
        platform::comm::DcbToTermios(dcb, image);
        EXPECT_EQ(image.CFlag & (PARENB | PARODD | CMSPAR), p.Bits);
        EXPECT_EQ(image.CFlag & CSIZE, sizes[bits - 5]);
        EXPECT_EQ((image.CFlag & CSTOPB) != 0, stop != ONESTOPBIT);
        DCB back = BaseDcb();
        platform::comm::TermiosToDcb(image, back);
        EXPECT_EQ(back.Parity, p.Parity);
        EXPECT_EQ(back.ByteSize, bits);
        EXPECT_EQ(back.StopBits, stop);
      }
    }
  }
}

TEST(CommTermiosMapping, FlowControlAndCharacters) {
  DCB dcb = BaseDcb();
  dcb.fOutX = 1;
  dcb.XonChar = 'Q';
  dcb.XoffChar = 'S';
  dcb.fParity = 1;
  TTermiosImage image;
  image.IFlag = IXANY;
  platform::comm::DcbToTermios(dcb, image);
  EXPECT_EQ(image.IFlag & (IXON | IXOFF | INPCK), IXON | INPCK);
  EXPECT_EQ(image.Cc[VSTART], 'Q');
  EXPECT_EQ(image.Cc[VSTOP], 'S');
  EXPECT_EQ(image.CFlag & CRTSCTS, 0u);

  dcb.fOutX = 0;
  dcb.fInX = 1;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE; // the RTS handshake is CRTSCTS
  platform::comm::DcbToTermios(dcb, image);
  EXPECT_EQ(image.IFlag & (IXON | IXOFF), IXOFF);
  EXPECT_NE(image.CFlag & CRTSCTS, 0u);

  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutxCtsFlow = 1; // so is CTS output flow
  platform::comm::DcbToTermios(dcb, image);
  EXPECT_NE(image.CFlag & CRTSCTS, 0u);
  dcb.fOutxCtsFlow = 0;
  platform::comm::DcbToTermios(dcb, image);
  EXPECT_EQ(image.CFlag & CRTSCTS, 0u);

  // Reading back keeps what termios has no notion of.
  DCB back = BaseDcb();
  back.fDsrSensitivity = 1;
  back.fNull = 1;
  back.fDtrControl = DTR_CONTROL_HANDSHAKE;
  back.fTXContinueOnXoff = 1;
  platform::comm::TermiosToDcb(image, back);
  EXPECT_EQ(back.fDsrSensitivity, 1u);
  EXPECT_EQ(back.fNull, 1u);
  EXPECT_EQ(back.fDtrControl, unsigned(DTR_CONTROL_HANDSHAKE));
  EXPECT_EQ(back.fTXContinueOnXoff, 1u);
  EXPECT_EQ(back.fInX, 1u);
  EXPECT_EQ(back.fOutX, 0u);
  EXPECT_EQ(back.XonChar, 'Q');
}

TEST(CommTermiosMapping, RawModeHasNoLineDiscipline) {
  TTermiosImage image;
  image.IFlag = ICRNL | IXON | IXOFF | ISTRIP | BRKINT;
  image.OFlag = OPOST | ONLCR;
  image.LFlag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
  image.Cc[VMIN] = 0;
  image.Cc[VTIME] = 5;
  platform::comm::MakeRaw(image);
  EXPECT_EQ(image.IFlag & (ICRNL | ISTRIP | BRKINT | IXON | IXOFF), 0u);
  EXPECT_EQ(image.OFlag & OPOST, 0u);
  EXPECT_EQ(image.LFlag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_NE(image.CFlag & CLOCAL, 0u);
  EXPECT_NE(image.CFlag & CREAD, 0u);
  EXPECT_EQ(image.Cc[VMIN], 1);
  EXPECT_EQ(image.Cc[VTIME], 0);
}

// ---- on a pseudo-terminal ----

using CommState = TPortFixture;

// The tty's own settings, read through the master (which reports the slave's termios).
static TTermiosImage TtyTermios(const TPty& pty) {
  TTermiosImage image;
  EXPECT_EQ(platform::comm::ReadTermios(pty.Fd(), image), 0);
  return image;
}

TEST_F(CommState, OpenLeavesRawModeAndASaneDcb) {
  TTermiosImage tty = TtyTermios(FPty);
  EXPECT_EQ(tty.LFlag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tty.IFlag & (ICRNL | IXON), 0u);
  EXPECT_EQ(tty.OFlag & OPOST, 0u);
  EXPECT_EQ(tty.Cc[VMIN], 1);
  DCB dcb{};
  ASSERT_TRUE(GetCommState(FPort, &dcb));
  EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
  EXPECT_NE(dcb.BaudRate, 0u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  // What the open read is accepted back unchanged.
  EXPECT_TRUE(SetCommState(FPort, &dcb));
}

TEST_F(CommState, EverySpeedRoundTripsAndReachesTheTty) {
  for (DWORD speed : Speeds) {
    DCB dcb = BaseDcb();
    dcb.BaudRate = speed;
    ASSERT_TRUE(SetCommState(FPort, &dcb)) << speed << " error " << GetLastError();
    DCB back{};
    ASSERT_TRUE(GetCommState(FPort, &back));
    EXPECT_EQ(back.BaudRate, speed);
    EXPECT_EQ(platform::comm::TermiosSpeed(TtyTermios(FPty)), speed);
  }
}

TEST_F(CommState, EveryDispatcherFieldRoundTrips) {
  std::vector<DCB> variants;
  for (BYTE parity = NOPARITY; parity <= SPACEPARITY; ++parity)
    for (BYTE bits = 5; bits <= 8; ++bits)
      for (BYTE stop : {BYTE(ONESTOPBIT), bits == 5 ? BYTE(ONE5STOPBITS) : BYTE(TWOSTOPBITS)}) {
        DCB dcb = BaseDcb();
        dcb.Parity = parity;
        dcb.ByteSize = bits;
        dcb.StopBits = stop;
        variants.push_back(dcb);
      }
  DCB flow = BaseDcb();
  flow.fOutX = 1;
  flow.fInX = 1;
  flow.XonLim = 1024;
  flow.XoffLim = 1024;
  flow.fTXContinueOnXoff = 1;
  flow.fDtrControl = DTR_CONTROL_HANDSHAKE;
  flow.fRtsControl = RTS_CONTROL_HANDSHAKE;
  flow.fOutxCtsFlow = 1;
  flow.fOutxDsrFlow = 1;
  flow.fDsrSensitivity = 1;
  variants.push_back(flow);
  DCB modes = BaseDcb();
  modes.fParity = 1;
  modes.fNull = 1;
  modes.fBinary = 1;
  modes.Parity = EVENPARITY;
  modes.fDtrControl = DTR_CONTROL_DISABLE;
  modes.fRtsControl = RTS_CONTROL_TOGGLE;
  modes.XonChar = 'a';
  modes.XoffChar = 'b';
  variants.push_back(modes);
  DCB lines = BaseDcb();
  lines.fDtrControl = DTR_CONTROL_ENABLE;
  lines.fRtsControl = RTS_CONTROL_DISABLE;
  variants.push_back(lines);

  for (const DCB& dcb : variants) {
    DCB set = dcb;
    ASSERT_TRUE(SetCommState(FPort, &set)) << "error " << GetLastError();
    DCB back{};
    ASSERT_TRUE(GetCommState(FPort, &back));
    SCOPED_TRACE(testing::Message() << "parity " << int(dcb.Parity) << " bits " << int(dcb.ByteSize)
                                    << " stop " << int(dcb.StopBits));
    ExpectSameDcb(back, dcb);
    // What the tty can hold, it holds.
    TTermiosImage tty = TtyTermios(FPty);
    EXPECT_EQ((tty.CFlag & CSTOPB) != 0, dcb.StopBits != ONESTOPBIT);
    EXPECT_EQ((tty.IFlag & IXON) != 0, dcb.fOutX != 0);
    EXPECT_EQ((tty.IFlag & IXOFF) != 0, dcb.fInX != 0);
    EXPECT_EQ((tty.IFlag & INPCK) != 0, dcb.fParity != 0);
    EXPECT_EQ((tty.CFlag & CRTSCTS) != 0,
              dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(tty.Cc[VSTART], static_cast<uint8_t>(dcb.XonChar));
    EXPECT_EQ(tty.Cc[VSTOP], static_cast<uint8_t>(dcb.XoffChar));
  }
}

TEST_F(CommState, PseudoTerminalForcesEightBitsYetTheDcbReadsBack) {
  DCB dcb = BaseDcb();
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  ASSERT_TRUE(SetCommState(FPort, &dcb));
  TTermiosImage tty = TtyTermios(FPty);
  EXPECT_EQ(tty.CFlag & CSIZE, CS8); // the pty driver's doing
  EXPECT_EQ(tty.CFlag & PARENB, 0u);
  DCB back{};
  ASSERT_TRUE(GetCommState(FPort, &back));
  EXPECT_EQ(back.ByteSize, 7);
  EXPECT_EQ(back.Parity, EVENPARITY);
}

TEST_F(CommState, RefusesWhatAWindowsDriverRefuses) {
  DCB good = BaseDcb();
  good.BaudRate = 4800;
  ASSERT_TRUE(SetCommState(FPort, &good));
  auto refused = [&](void (*change)(DCB&)) {
    DCB dcb = BaseDcb();
    change(dcb);
    SetLastError(0);
    bool ok = SetCommState(FPort, &dcb);
    return !ok && GetLastError() == ERROR_INVALID_PARAMETER;
  };
  EXPECT_TRUE(refused([](DCB& d) { d.ByteSize = 4; }));
  EXPECT_TRUE(refused([](DCB& d) { d.ByteSize = 9; }));
  EXPECT_TRUE(refused([](DCB& d) { d.Parity = 5; }));
  EXPECT_TRUE(refused([](DCB& d) { d.StopBits = 3; }));
  EXPECT_TRUE(refused([](DCB& d) { d.BaudRate = 0; }));
  EXPECT_TRUE(refused([](DCB& d) { d.ByteSize = 5, d.StopBits = TWOSTOPBITS; }));
  EXPECT_TRUE(refused([](DCB& d) { d.ByteSize = 8, d.StopBits = ONE5STOPBITS; }));
  EXPECT_TRUE(refused([](DCB& d) { d.fOutX = 1, d.XoffChar = d.XonChar; }));
  DCB back{};
  ASSERT_TRUE(GetCommState(FPort, &back));
  EXPECT_EQ(back.BaudRate, 4800u); // nothing of the refused settings stuck
  EXPECT_EQ(platform::comm::TermiosSpeed(TtyTermios(FPty)), 4800u);
}

TEST_F(CommState, TimeoutsQueueSizesAndBadHandles) {
  COMMTIMEOUTS t{MAXDWORD, 0, 0, 7, 9};
  ASSERT_TRUE(SetCommTimeouts(FPort, &t));
  COMMTIMEOUTS back{};
  ASSERT_TRUE(GetCommTimeouts(FPort, &back));
  EXPECT_EQ(back.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(back.WriteTotalTimeoutMultiplier, 7u);
  EXPECT_EQ(back.WriteTotalTimeoutConstant, 9u);
  COMMTIMEOUTS invalid{MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
  EXPECT_FALSE(SetCommTimeouts(FPort, &invalid));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(SetupComm(FPort, 4096, 4096));

  // An event handle is not a comm device.
  TEventHandle ev;
  DCB dcb{};
  EXPECT_FALSE(GetCommState(ev.Get(), &dcb));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetCommMask(ev.Get(), EV_RXCHAR));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}
