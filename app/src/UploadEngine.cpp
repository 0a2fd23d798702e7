#include "app/UploadEngine.h"

#include <memory>

#include "app/EncodedFile.h"
#include "platform/Win32.h"
#include "runtime/SysUtils.h"

uint32_t TUploadHost::TickCount() {
  return GetTickCount();
}

namespace {

struct TFileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using TFilePtr = std::unique_ptr<std::FILE, TFileCloser>;

void WakeHost(void* context) {
  static_cast<TUploadHost*>(context)->Wake();
}

// Received bytes end the host's wait for as long as the upload runs.
class TReceiveWake {
public:
  TReceiveWake(TUploadPort& port, TUploadHost& host) : FPort(port) {
    FPort.SetReceiveWake(&WakeHost, &host);
  }
  ~TReceiveWake() { FPort.SetReceiveWake(nullptr, nullptr); }
  TReceiveWake(const TReceiveWake&) = delete;
  TReceiveWake& operator=(const TReceiveWake&) = delete;

private:
  TUploadPort& FPort;
};

} // namespace

TUploadOutcome TUploadEngine::Run(const std::string& fileName) {
  using namespace uploadtext;
  FBlockedPasses = 0;
  FOversized = {};
  FHost.SetIdle(false);
  TFilePtr file;
  try {
    FHost.ClearLog();
    FHost.AddLogLine(Start);
    auto finish = [&](TUploadOutcome outcome, const std::string& line) {
      FHost.AddLogLine(line);
      file.reset();
      FHost.SetIdle(true);
      return outcome;
    };

    file.reset(OpenEncodedFile(fileName.c_str()));
    if (!file) return finish(TUploadOutcome::NotFound, ErrorFile + fileName + NotFound);

    std::unique_ptr<uint8_t[]> image(new uint8_t[FirmwareImageSize]);
    TEncodedRead read = ReadEncodedImage(file.get(), image.get(), FirmwareImageSize);
    // A file that fails while being read is as unreadable as one that does not open.
    if (std::ferror(file.get()))
      return finish(TUploadOutcome::NotFound, ErrorFile + fileName + NotFound);
    if (read.TooBig) return finish(TUploadOutcome::TooBig, ErrorFile + fileName + TooBig);
    // A block the port cannot queue whole would fail only after the ones before it were
    // accepted, leaving the device with part of a firmware: refuse it before the first send.
    const size_t outputSize = FPort.OutputSize();
    TBlockAt at;
    TImageCheck check =
        CheckImage(image.get(), read.Count, outputSize ? outputSize : size_t{0xFFFF}, &at);
    if (check == TImageCheck::TooLarge) FOversized = {at.Offset, at.Size, outputSize};
    if (check != TImageCheck::Ok)
      return finish(TUploadOutcome::Corrupt, ErrorFile + fileName + Corrupt);

    FHost.AddLogLine(File + ExtractFileName(fileName) + Loaded);
    FHost.AddLogLine(Loading);

    const int32_t count = static_cast<int32_t>(read.Count);
    int32_t position = 0;
    int32_t acknowledged = 0;
    uint8_t attempts = 0;
    uint32_t blockIndex = 0;
    TReceiveWake wake(FPort, FHost);
    while (position < count) {
      int32_t blockSize = (image[position] << 8 | image[position + 1]) + 2;
      FHost.SetProgress(acknowledged * 100 / count);
      FPort.FlushOutBuffer();
      FPort.FlushInBuffer();
      FPort.PutBlock(&image[position], static_cast<uint16_t>(blockSize));
      const TBlockSend send{blockIndex, static_cast<size_t>(position),
                            static_cast<size_t>(blockSize), attempts + 1u};
      FHost.BlockSent(send);
      // PutBlock returns once the block is queued: the time-out counts from when it has left.
      switch (WaitForReply(ReplyTimeoutMs + FPort.WireTimeMs(static_cast<size_t>(blockSize)))) {
      case TWait::TimedOut:
        return finish(TUploadOutcome::TimedOut, NoAnswer);
      case TWait::Stopped:
        return finish(TUploadOutcome::Stopped, Stopped);
      case TWait::Reply:
        break;
      }
      char reply = FPort.GetChar();
      FHost.ReplyTaken(send, reply);
      if (reply == ReplyRefused) return finish(TUploadOutcome::NoAnswer, NoAnswer);
      if (reply == ReplyAccepted) {
        acknowledged += blockSize;
        attempts = 0;
        ++blockIndex;
        position += blockSize;
        continue;
      }
      if (++attempts >= MaxRejections) return finish(TUploadOutcome::Rejected, CrcError);
    }
    file.reset();
    FHost.SetProgress(100);
    FHost.AddLogLine(Success);
    FHost.SetIdle(true);
    return TUploadOutcome::Success;
  } catch (...) {
    // The error display comes after this: the window must be usable again by then.
    file.reset();
    FHost.SetIdle(true);
    throw;
  }
}

TUploadEngine::TWait TUploadEngine::WaitForReply(uint32_t limitMs) {
  // Elapsed time rather than an absolute deadline, so that the counter's wrap (every 49.7
  // days) neither ends the wait early nor stretches it.
  const uint32_t start = FHost.TickCount();
  for (;;) {
    if (FPort.CharReady()) return TWait::Reply;
    uint32_t elapsed = FHost.TickCount() - start;
    if (elapsed > limitMs) return ReplyArrivedInTime() ? TWait::Reply : TWait::TimedOut;
    FHost.ProcessMessages();
    if (!FHost.Busy()) return TWait::Stopped;
    // Nothing to do in this pass: sleep until an event, received bytes or the deadline.
    ++FBlockedPasses;
    FHost.WaitForActivity(limitMs + 1 - elapsed);
    // A host may handle the events it waited for (the window's does): a Stop among them is
    // seen before the port is looked at again, as after the pump above.
    if (!FHost.Busy()) return TWait::Stopped;
  }
}

bool TUploadEngine::ReplyArrivedInTime() {
  // After a pause of the whole program (suspend, SIGSTOP) the clock is read before the receive
  // path has run: an answer may wait in the driver. The driver is asked first, the ring after
  // it, so that bytes moved in between are seen in the ring.
  const uint32_t start = FHost.TickCount();
  for (;;) {
    if (!FPort.InputPending()) return FPort.CharReady();
    if (FPort.CharReady()) return true;
    uint32_t elapsed = FHost.TickCount() - start;
    if (elapsed > ReplySettleMs) return false;
    ++FBlockedPasses;
    FHost.WaitForActivity(ReplySettleMs + 1 - elapsed);
  }
}
