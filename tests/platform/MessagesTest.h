// Helpers for the window-message tests: threads, events, a recording window procedure.
#pragma once

#include "platform/Win32.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace messages_test {

const DWORD Guard = 10000; // reached only when something is broken

// Runs `body` on a new thread of ours.
inline HANDLE Spawn(std::function<void()> body) {
  auto* function = new std::function<void()>(std::move(body));
  return CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        std::unique_ptr<std::function<void()>> f(static_cast<std::function<void()>*>(p));
        (*f)();
        return 0;
      },
      function, 0, nullptr);
}

// A thread that does not end is a hang: stop the test program rather than wait forever.
inline void Join(HANDLE thread) {
  if (WaitForSingleObject(thread, Guard) != WAIT_OBJECT_0) {
    std::fprintf(stderr, "a test thread did not end\n");
    std::abort();
  }
  CloseHandle(thread);
}

class TEvent {
public:
  TEvent() : FHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~TEvent() { CloseHandle(FHandle); }
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;
  void Set() { SetEvent(FHandle); }
  bool Wait() { return WaitForSingleObject(FHandle, Guard) == WAIT_OBJECT_0; }
  HANDLE Handle() const { return FHandle; }

private:
  HANDLE FHandle;
};

// What a window's procedure saw. Set as the window's user data from WM_NCCREATE.
struct TRecorder {
  struct TEntry {
    UINT Message;
    WPARAM WParam;
    DWORD ThreadId;
    BOOL InSend;
  };
  std::mutex Mutex;
  std::vector<TEntry> Entries;
  std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)> Handler;

  std::vector<UINT> Messages() {
    std::lock_guard lock(Mutex);
    std::vector<UINT> out;
    for (const TEntry& e : Entries)
      out.push_back(e.Message);
    return out;
  }
  std::vector<TEntry> Copy() {
    std::lock_guard lock(Mutex);
    return Entries;
  }
};

inline LRESULT CALLBACK RecordingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* recorder = reinterpret_cast<TRecorder*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (recorder != nullptr) {
    {
      std::lock_guard lock(recorder->Mutex);
      recorder->Entries.push_back({msg, wParam, GetCurrentThreadId(), InSendMessage()});
    }
    if (recorder->Handler) return recorder->Handler(hwnd, msg, wParam, lParam);
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

inline const char* TestClass() {
  static const bool registered = [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = RecordingProc;
    wc.lpszClassName = "FwloadTestWindow";
    return RegisterClassA(&wc) != 0;
  }();
  return registered ? "FwloadTestWindow" : "(not registered)";
}

inline HWND MakeWindow(TRecorder* recorder) {
  return CreateWindowExA(0, TestClass(), "", WS_POPUP, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         GetModuleHandleA(nullptr), recorder);
}

// Counts the wake-hook calls for one thread, so a test can wait until a message is queued.
struct TArrivals {
  std::atomic<int> Count{0};
  std::atomic<DWORD> LastCaller{0};
  HANDLE Arrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ~TArrivals() { CloseHandle(Arrived); }

  static void Hook(void* context) {
    auto* self = static_cast<TArrivals*>(context);
    self->LastCaller = GetCurrentThreadId();
    ++self->Count;
    SetEvent(self->Arrived);
  }
  bool WaitFor(int count) {
    while (Count < count)
      if (WaitForSingleObject(Arrived, Guard) != WAIT_OBJECT_0) return false;
    return true;
  }
};

} // namespace messages_test
