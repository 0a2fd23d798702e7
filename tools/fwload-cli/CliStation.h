// The station's board: what each slot is doing, the batch's totals, and how they are shown — a
// screen redrawn in place (ANSI cursor movement) on a terminal, one plain line per event
// otherwise. The slots' threads tell it their events; it never calls back into them.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "CliOutput.h"

struct TStationTotals {
  uint64_t Units = 0, Passed = 0, Failed = 0;
  uint64_t FirstPass = 0;         // passed on their first attempt
  uint64_t Retries = 0;           // attempts beyond each unit's first
  std::map<int, uint64_t> ByExit; // failed units by exit status
  int Worst = 0;                  // the highest unit exit status
  double Seconds = 0;             // since the station started

  // Per cent of the units that passed on their first attempt; 0 without units.
  double FirstPassYield() const;
  double UnitsPerHour() const;
};

class TStationBoard {
public:
  // `screen`: redraw in place; else plain lines. Both go through `output`'s text stream.
  TStationBoard(TCliOutput& output, std::vector<std::string> labels, bool screen);

  void Waiting(size_t slot);
  void Flashing(size_t slot, uint64_t unit, int attempt, int attempts);
  void Progress(size_t slot, long percent);
  void Retrying(size_t slot, uint64_t unit, int attempt, int attempts, int exit,
                const std::string& outcome);
  // The unit's last attempt ended; `text` is its error or last log line.
  void UnitDone(size_t slot, uint64_t unit, int exit, int attempts, const std::string& outcome,
                const std::string& text);
  // A stop was taken; `immediate` when it stops the uploads too.
  void Stopping(bool immediate);
  // The slots have ended: the screen's last frame.
  void Finish();

  TStationTotals Totals() const;
  // "summary: 12 units: 10 passed, 1 exit 3, 1 exit 4; first-pass yield 75.0 %, ..."
  std::string SummaryLine() const;

private:
  enum class TState { Waiting, Flashing, Passed, Failed, Done };
  struct TSlot {
    TState State = TState::Waiting;
    uint64_t Unit = 0;
    long Percent = 0;
    int Attempt = 1, Attempts = 1;
    std::string Outcome; // FAIL: "exit 4 rejected"
    uint64_t Units = 0;  // units this slot has flashed
  };
  TStationTotals TotalsLocked() const;
  std::string SlotText(size_t slot) const;
  std::string TotalsText() const;
  void Line(size_t slot, const std::string& text);
  void Draw();

  mutable std::mutex FLock; // before the output's own lock
  TCliOutput& FOutput;
  std::vector<std::string> FLabels;
  size_t FWidth = 0; // of the longest label
  bool FScreen;
  bool FDrawn = false;
  std::vector<TSlot> FSlots;
  TStationTotals FTotals;
  std::chrono::steady_clock::time_point FStart;
};
