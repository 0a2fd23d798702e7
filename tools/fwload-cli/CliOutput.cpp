#include "CliOutput.h"

#include <cmath>
#include <cstdio>

namespace {

constexpr int BarWidth = 30;

std::string Format(const char* format, double a, double b = 0) {
  char text[64];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

std::string FormatRate(double bytesPerSecond) {
  if (bytesPerSecond >= 1024 * 1024) return Format("%.1f MiB/s", bytesPerSecond / 1048576);
  if (bytesPerSecond >= 1024) return Format("%.1f KiB/s", bytesPerSecond / 1024);
  return Format("%.0f B/s", bytesPerSecond);
}

} // namespace

std::string FormatDuration(double seconds) {
  if (!(seconds >= 0) || seconds > 359999) return "-:--";
  long s = std::lround(seconds);
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

TCliOutput::TCliOutput(std::FILE* out, std::FILE* err, TProgressMode progress,
                       std::vector<std::string> labels, bool prefixed)
    : FOut(out), FErr(err), FText(out), FMode(progress), FLabels(std::move(labels)),
      FPrefixed(prefixed), FProgress(FLabels.size()) {}

std::string TCliOutput::Prefix(size_t port) const {
  return FPrefixed ? FLabels[port] + ": " : "";
}

void TCliOutput::LogLine(size_t port, const std::string& line) {
  std::lock_guard<std::mutex> lock(FLock);
  EraseBar();
  if (!FPrefixed) {
    // One port: the engine's text exactly, line breaks inside it included.
    std::fprintf(FText, "%s\n", line.c_str());
  } else {
    // Several: each line of the text carries its port, so the streams can be told apart.
    size_t start = 0;
    for (;;) {
      size_t end = line.find('\n', start);
      std::fprintf(FText, "%s%s\n", Prefix(port).c_str(), line.substr(start, end - start).c_str());
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  std::fflush(FText);
  DrawBar();
}

void TCliOutput::Progress(size_t port, long percent, uint64_t accepted, uint64_t total) {
  std::lock_guard<std::mutex> lock(FLock);
  TPortProgress& p = FProgress[port];
  if (p.Percent < 0) p.Start = std::chrono::steady_clock::now();
  bool changed = percent != p.Percent;
  p.Percent = percent;
  p.Accepted = accepted;
  p.Total = total;
  if (FMode == TProgressMode::Plain) {
    if (changed) {
      std::fprintf(FErr, "%sprogress %ld\n", Prefix(port).c_str(), percent);
      std::fflush(FErr);
    }
  } else if (FMode == TProgressMode::Bar) {
    DrawBar();
  }
}

void TCliOutput::Error(const std::string& message) {
  std::lock_guard<std::mutex> lock(FLock);
  EraseBar();
  std::fprintf(FErr, "fwload-cli: %s\n", message.c_str());
  std::fflush(FErr);
  DrawBar();
}

void TCliOutput::Print(const std::string& text) {
  std::lock_guard<std::mutex> lock(FLock);
  EraseBar();
  std::fputs(text.c_str(), FText);
  std::fflush(FText);
  DrawBar();
}

void TCliOutput::Finish() {
  std::lock_guard<std::mutex> lock(FLock);
  EraseBar();
  FMode = TProgressMode::None;
}

void TCliOutput::SetJson() {
  std::lock_guard<std::mutex> lock(FLock);
  FText = FErr;
}

void TCliOutput::Json(const std::string& line) {
  std::lock_guard<std::mutex> lock(FLock);
  std::fputs(line.c_str(), FOut);
  std::fflush(FOut);
}

void TCliOutput::Note(size_t port, const std::string& line) {
  std::lock_guard<std::mutex> lock(FLock);
  EraseBar();
  std::fprintf(FErr, "%s%s\n", Prefix(port).c_str(), line.c_str());
  std::fflush(FErr);
  DrawBar();
}

std::string TCliOutput::BarText() const {
  if (FProgress.size() == 1) {
    const TPortProgress& p = FProgress[0];
    long percent = p.Percent < 0 ? 0 : p.Percent;
    int filled = static_cast<int>(percent * BarWidth / 100);
    // Appended piece by piece: GCC 12 warns (-Wrestrict, a false alarm) on "[" + temporary.
    std::string text = "[";
    text.append(filled, '#');
    text.append(BarWidth - filled, ' ');
    text += ']';
    text += Format(" %3.0f%%", static_cast<double>(percent));
    if (p.Total > 0) {
      double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - p.Start).count();
      double rate = seconds > 0 ? p.Accepted / seconds : 0;
      text += "  " + std::to_string(p.Accepted) + "/" + std::to_string(p.Total) + " B";
      if (rate > 0) {
        text += "  " + FormatRate(rate) + "  " + FormatDuration((p.Total - p.Accepted) / rate) +
                " left";
      }
    }
    return text;
  }
  std::string text;
  for (size_t i = 0; i < FProgress.size(); ++i) {
    if (i) text += " | ";
    text += FLabels[i] + Format(" %.0f%%", FProgress[i].Percent < 0 ? 0.0 : FProgress[i].Percent);
  }
  return text;
}

void TCliOutput::DrawBar() {
  if (FMode != TProgressMode::Bar) return;
  bool any = false;
  for (const TPortProgress& p : FProgress)
    any = any || p.Percent >= 0;
  if (!any) return;
  std::fprintf(FErr, "\r%s\033[K", BarText().c_str());
  std::fflush(FErr);
  FBarShown = true;
}

void TCliOutput::EraseBar() {
  if (!FBarShown) return;
  std::fprintf(FErr, "\r\033[K");
  std::fflush(FErr);
  FBarShown = false;
}
