#include "CliStation.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string Fixed(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string Pad(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string AttemptText(int attempt, int attempts) {
  return "attempt " + std::to_string(attempt) + " of " + std::to_string(attempts);
}

} // namespace

double TStationTotals::FirstPassYield() const {
  return Units ? 100.0 * static_cast<double>(FirstPass) / static_cast<double>(Units) : 0;
}

double TStationTotals::UnitsPerHour() const {
  return Seconds > 0 ? static_cast<double>(Units) * 3600 / Seconds : 0;
}

TStationBoard::TStationBoard(TCliOutput& output, std::vector<std::string> labels, bool screen)
    : FOutput(output), FLabels(std::move(labels)), FScreen(screen), FSlots(FLabels.size()),
      FStart(std::chrono::steady_clock::now()) {
  for (const std::string& label : FLabels)
    FWidth = std::max(FWidth, label.size());
}

void TStationBoard::Line(size_t slot, const std::string& text) {
  if (FScreen)
    Draw();
  else
    FOutput.Print(FLabels[slot] + ": " + text + "\n");
}

void TStationBoard::Waiting(size_t slot) {
  std::lock_guard<std::mutex> lock(FLock);
  FSlots[slot].State = TState::Waiting;
  Line(slot, "waiting for a board");
}

void TStationBoard::Flashing(size_t slot, uint64_t unit, int attempt, int attempts) {
  std::lock_guard<std::mutex> lock(FLock);
  TSlot& s = FSlots[slot];
  s.State = TState::Flashing;
  s.Unit = unit;
  s.Percent = 0;
  s.Attempt = attempt;
  s.Attempts = attempts;
  Line(slot, "unit " + std::to_string(unit) + ": flashing, " + AttemptText(attempt, attempts));
}

void TStationBoard::Progress(size_t slot, long percent) {
  std::lock_guard<std::mutex> lock(FLock);
  TSlot& s = FSlots[slot];
  if (s.State != TState::Flashing || s.Percent == percent) return;
  s.Percent = percent;
  // Plain output says only the events; the screen shows the gauge.
  if (FScreen) Draw();
}

void TStationBoard::Retrying(size_t slot, uint64_t unit, int attempt, int attempts, int exit,
                             const std::string& outcome) {
  std::lock_guard<std::mutex> lock(FLock);
  Line(slot, "unit " + std::to_string(unit) + ": " + AttemptText(attempt, attempts) +
                 " failed: exit " + std::to_string(exit) + " " + outcome + "; trying again");
}

void TStationBoard::UnitDone(size_t slot, uint64_t unit, int exit, int attempts,
                             const std::string& outcome, const std::string& text) {
  std::lock_guard<std::mutex> lock(FLock);
  TSlot& s = FSlots[slot];
  s.Unit = unit;
  s.Attempt = attempts;
  ++s.Units;
  ++FTotals.Units;
  FTotals.Retries += static_cast<uint64_t>(attempts - 1);
  if (exit > FTotals.Worst) FTotals.Worst = exit;
  std::string line = "unit " + std::to_string(unit) + ": ";
  if (exit == 0) {
    s.State = TState::Passed;
    ++FTotals.Passed;
    if (attempts == 1) ++FTotals.FirstPass;
    line += "PASS";
    if (attempts > 1) line += " on attempt " + std::to_string(attempts);
  } else {
    s.State = TState::Failed;
    s.Outcome = "exit " + std::to_string(exit) + " " + outcome;
    ++FTotals.Failed;
    ++FTotals.ByExit[exit];
    line += "FAIL: " + s.Outcome;
    std::string one = text;
    for (char& c : one)
      if (c == '\n') c = ' ';
    const size_t first = one.find_first_not_of(' ');
    if (first != std::string::npos)
      line += ": " + one.substr(first, one.find_last_not_of(' ') - first + 1);
  }
  Line(slot, line);
}

void TStationBoard::Stopping(bool immediate) {
  std::lock_guard<std::mutex> lock(FLock);
  std::string text = immediate ? "stopping the uploads now"
                               : "stopping: the uploads in progress finish (stop again to "
                                 "end them at once)";
  if (FScreen) {
    // Below the screen, which is then drawn anew under it.
    FOutput.Print("station: " + text + "\n");
    FDrawn = false;
    Draw();
  } else {
    FOutput.Print("station: " + text + "\n");
  }
}

void TStationBoard::Finish() {
  std::lock_guard<std::mutex> lock(FLock);
  for (TSlot& s : FSlots)
    if (s.State == TState::Waiting || s.State == TState::Flashing) s.State = TState::Done;
  if (FScreen) Draw();
}

TStationTotals TStationBoard::TotalsLocked() const {
  TStationTotals t = FTotals;
  t.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
  return t;
}

TStationTotals TStationBoard::Totals() const {
  std::lock_guard<std::mutex> lock(FLock);
  return TotalsLocked();
}

std::string TStationBoard::SummaryLine() const {
  const TStationTotals t = Totals();
  std::string line =
      "summary: " + std::to_string(t.Units) + " units: " + std::to_string(t.Passed) + " passed";
  for (const auto& [exit, count] : t.ByExit)
    line += ", " + std::to_string(count) + " exit " + std::to_string(exit);
  line += "; first-pass yield " + Fixed(t.FirstPassYield()) + " %, retries " +
          std::to_string(t.Retries) + ", " + Fixed(t.UnitsPerHour()) + " units/h; exit status " +
          std::to_string(t.Worst) + "\n";
  return line;
}

std::string TStationBoard::SlotText(size_t slot) const {
  const TSlot& s = FSlots[slot];
  std::string state;
  switch (s.State) {
  case TState::Waiting:
    state = "waiting";
    break;
  case TState::Flashing:
    state = "flashing " + std::to_string(s.Percent) + " %  unit " + std::to_string(s.Unit);
    if (s.Attempts > 1) state += ", " + AttemptText(s.Attempt, s.Attempts);
    break;
  case TState::Passed:
    state = "PASS  unit " + std::to_string(s.Unit);
    if (s.Attempt > 1) state += " on attempt " + std::to_string(s.Attempt);
    break;
  case TState::Failed:
    state = "FAIL  unit " + std::to_string(s.Unit) + ": " + s.Outcome;
    break;
  case TState::Done:
    state = "done";
    break;
  }
  return Pad(FLabels[slot], FWidth) + "  " + Pad(state, 40) + "  units " + std::to_string(s.Units);
}

std::string TStationBoard::TotalsText() const {
  const TStationTotals t = TotalsLocked();
  return "units " + std::to_string(t.Units) + "  passed " + std::to_string(t.Passed) + "  failed " +
         std::to_string(t.Failed) + "  first-pass yield " + Fixed(t.FirstPassYield()) +
         " %  retries " + std::to_string(t.Retries) + "  " + Fixed(t.UnitsPerHour()) + " units/h";
}

void TStationBoard::Draw() {
  // One write per frame: up to the first line, then every line cleared and written anew.
  std::string frame;
  if (FDrawn) frame = "\033[" + std::to_string(FSlots.size() + 1) + "A";
  for (size_t i = 0; i < FSlots.size(); ++i)
    frame += "\r" + SlotText(i) + "\033[K\n";
  frame += "\r" + TotalsText() + "\033[K\n";
  FOutput.Print(frame);
  FDrawn = true;
}
