// The boot-loader simulator in-process, serving its pseudo-terminal on a thread of its own.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "SimCore.h"

namespace support {

struct TRunningSim {
  TBootSim Sim;
  explicit TRunningSim(const TSimScenario& scenario = {}) : Sim(scenario) {
    std::string error;
    EXPECT_TRUE(Sim.Open(error)) << error;
    Sim.Start();
  }
  const std::string& Path() const { return Sim.SlavePath(); }
};

} // namespace support
