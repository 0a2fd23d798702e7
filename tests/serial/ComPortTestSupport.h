// What the port component tests share: a component on a pseudo-terminal, and a window that
// records the messages users are sent.
#pragma once

#include <string>
#include <vector>

#include "TriggerTestSupport.h"
#include "serial/ComPort.h"
#include "support/Line.h"
#include "support/Process.h"

namespace comporttest {

// A component whose ComNumber names a fresh pseudo-terminal; AutoOpen off, as the main
// window's port.
struct TPortLine {
  support::TPty Peer;
  int Port = support::NextPortNumber();
  TSioComPort Comp{nullptr};

  TPortLine() {
    platform::SetPortDevice(Port, Peer.SlavePath());
    Comp.SetComNumber(static_cast<WORD>(Port));
    Comp.SetAutoOpen(false);
    Comp.SetBaud(115200);
  }
  ~TPortLine() { platform::SetPortDevice(Port, ""); }
  TPortLine(const TPortLine&) = delete;
  TPortLine& operator=(const TPortLine&) = delete;

  // Until `count` received bytes are waiting in the component.
  bool WaitReceived(unsigned count, int timeoutMs = 10000) {
    TSioBaseDispatcher* d = Comp.GetDispatcher();
    return d && support::WaitForReceived(*d, count, timeoutMs);
  }
};

// A hidden window that records every message it is sent (number, wParam, lParam).
struct TMessageLog {
  struct TEntry {
    UINT Msg;
    WPARAM WParam;
    LPARAM LParam;
  };
  std::vector<TEntry> Entries;
  // Shared order of messages and callbacks across several logs.
  std::vector<std::string>* Order = nullptr;
  std::string Name;
};

inline LRESULT CALLBACK MessageLogProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* log = reinterpret_cast<TMessageLog*>(GetWindowLongPtrA(wnd, GWLP_USERDATA));
  if (log && msg >= WM_USER) {
    log->Entries.push_back({msg, wParam, lParam});
    if (log->Order) log->Order->push_back(log->Name + ":" + std::to_string(msg));
    return 0;
  }
  return DefWindowProcA(wnd, msg, wParam, lParam);
}

inline HWND MakeMessageLogWindow(TMessageLog& log) {
  static const bool registered = [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = MessageLogProc;
    wc.lpszClassName = "ComPortTestUserWindow";
    return RegisterClassA(&wc) != 0;
  }();
  if (!registered) return nullptr;
  HWND wnd = CreateWindowExA(0, "ComPortTestUserWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             nullptr, nullptr);
  if (wnd) SetWindowLongPtrA(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&log));
  return wnd;
}

} // namespace comporttest
