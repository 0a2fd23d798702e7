// --doctor: what keeps a port from working on this system, one line per check with OK, WARN or
// FAIL and, where something is wrong, the fix.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "CliIdentity.h"
#include "CliOptions.h"

struct TDoctorLine {
  enum TLevel { Ok, Warn, Fail };
  TLevel Level;
  std::string Text; // "what: finding; fix: ..."
};

// Who the checks are made for: the process's own user unless a test says otherwise.
struct TDoctorUser {
  unsigned Uid = 0;
  std::vector<unsigned> Groups; // the groups this session has, the primary one included
  std::string Name;
};
TDoctorUser CurrentDoctorUser();

// The checks, in order: the port's device, permission (the group that owns it), who holds it,
// ModemManager, brltty, the USB latency timer, the udev rule, and an open at `baud`. The
// group database and the programs are read under roots.Prefix.
std::vector<TDoctorLine> DoctorChecks(const TPortSpec& port, int baud, const TSystemRoots& roots,
                                      const TDoctorUser& user);

// Prints the checks; 0 when none failed (warnings are advice), else the port's status 6. On
// Windows says the doctor is not supported there and returns 1.
int RunDoctor(const TPortSpec& port, int baud, std::FILE* out);
