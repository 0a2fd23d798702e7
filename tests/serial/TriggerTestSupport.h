// What the trigger tests share: a recorder of notifications that handlers of every kind feed,
// hidden windows that record what is sent to them, and a wait that pumps messages.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "serial/Dispatcher.h"
#include "support/Line.h"

namespace triggertest {

struct TNote {
  UINT Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
  DWORD Thread = 0;
  long long At = 0;
  HWND Wnd = nullptr;
  unsigned Data() const { return static_cast<unsigned>(LParam & 0xFFFF); }
  int Port() const { return static_cast<int>(LParam >> 16); }
};

class TRecorder {
public:
  // Runs in the handler, after the note is taken (and without the recorder's lock).
  std::function<void(UINT, WPARAM, LPARAM)> OnNote;

  void Add(UINT msg, WPARAM wParam, LPARAM lParam, HWND wnd = nullptr) {
    {
      std::lock_guard lock(FLock);
      FNotes.push_back({msg, wParam, lParam, GetCurrentThreadId(), support::NowMs(), wnd});
    }
    FChanged.notify_all();
    if (OnNote) OnNote(msg, wParam, lParam);
  }
  std::vector<TNote> Notes() {
    std::lock_guard lock(FLock);
    return FNotes;
  }
  size_t Count(UINT msg = 0) {
    std::lock_guard lock(FLock);
    size_t n = 0;
    for (const TNote& note : FNotes)
      if (msg == 0 || note.Msg == msg) ++n;
    return n;
  }
  // Until `count` notes of `msg` (0: any) are in; false after the time-out.
  bool WaitCount(size_t count, UINT msg = 0, int timeoutMs = 10000) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      size_t n = 0;
      for (const TNote& note : FNotes)
        if (msg == 0 || note.Msg == msg) ++n;
      return n >= count;
    });
  }

private:
  std::mutex FLock;
  std::condition_variable FChanged;
  std::vector<TNote> FNotes;
};

// Method handlers: the object is a TRecorder. Distinct N give distinct code parts, which is
// what deregistration compares.
template <int N> void RecordCode(void* object, UINT msg, WPARAM wParam, LPARAM lParam) {
  static_cast<TRecorder*>(object)->Add(msg, wParam, lParam);
}
template <int N = 0> TSioNotifyEvent Method(TRecorder& recorder) {
  return TSioNotifyEvent{&RecordCode<N>, &recorder};
}

// Procedure handlers have no object: each N records into its own global recorder.
template <int N> std::atomic<TRecorder*>& ProcRecorder() {
  static std::atomic<TRecorder*> recorder{nullptr};
  return recorder;
}
template <int N> void RecordProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (TRecorder* r = ProcRecorder<N>().load()) r->Add(msg, wParam, lParam);
}

// A hidden window on the calling thread that records into `recorder`.
inline LRESULT CALLBACK RecordingWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg >= SioTriggerAvail && msg <= SioTriggerStatus) {
    auto* r = reinterpret_cast<TRecorder*>(GetWindowLongPtrA(wnd, GWLP_USERDATA));
    if (r) r->Add(msg, wParam, lParam, wnd);
    return 0;
  }
  return DefWindowProcA(wnd, msg, wParam, lParam);
}
inline HWND MakeRecordingWindow(TRecorder& recorder) {
  static const bool registered = [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = RecordingWndProc;
    wc.lpszClassName = "TriggerTestWindow";
    return RegisterClassA(&wc) != 0;
  }();
  if (!registered) return nullptr;
  HWND wnd = CreateWindowExA(0, "TriggerTestWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             nullptr, nullptr);
  if (wnd) SetWindowLongPtrA(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&recorder));
  return wnd;
}

// Handles the calling thread's messages (sent ones and Synchronize calls too) until
// `condition` holds; false after the time-out.
template <class P> bool PumpUntil(P condition, int timeoutMs = 10000) {
  long long deadline = support::NowMs() + timeoutMs;
  for (;;) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (condition()) return true;
    long long left = deadline - support::NowMs();
    if (left <= 0) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min(left, 20LL)),
                              QS_ALLINPUT);
  }
}

} // namespace triggertest
