// Window messages on one thread: classes, windows, posting order, WM_QUIT, filters.
#include "MessagesTest.h"

using namespace messages_test;

namespace {

// The runtime makes its hidden window from a static initialiser; so does this test.
TRecorder StaticRecorder;
const HWND StaticWindow = MakeWindow(&StaticRecorder);

void Drain() {
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE))
    DispatchMessageA(&m);
}

TEST(Messages, AWindowMadeDuringStaticInitialisationWorks) {
  ASSERT_NE(StaticWindow, nullptr);
  EXPECT_TRUE(IsWindow(StaticWindow));
  EXPECT_TRUE(PostMessageA(StaticWindow, WM_USER + 9, 0, 0));
  Drain();
  std::vector<UINT> seen = StaticRecorder.Messages();
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen[0], UINT(WM_NCCREATE));
  EXPECT_EQ(seen[1], UINT(WM_CREATE));
  EXPECT_EQ(seen.back(), UINT(WM_USER + 9));
}

TEST(Messages, PostedMessagesArriveInOrderAndQuitComesLast) {
  TRecorder recorder;
  HWND window = MakeWindow(&recorder);
  ASSERT_NE(window, nullptr);
  PostQuitMessage(7); // before the posts, yet delivered after them
  for (WPARAM i = 0; i < 5; ++i)
    ASSERT_TRUE(PostMessageA(window, WM_USER + 1, i, 0));
  MSG m;
  std::vector<WPARAM> order;
  BOOL got;
  while ((got = GetMessageA(&m, nullptr, 0, 0)) > 0) {
    EXPECT_EQ(m.hwnd, window);
    order.push_back(m.wParam);
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }
  EXPECT_EQ(got, FALSE);
  EXPECT_EQ(m.message, UINT(WM_QUIT));
  EXPECT_EQ(m.wParam, WPARAM(7));
  EXPECT_EQ(order, (std::vector<WPARAM>{0, 1, 2, 3, 4}));
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)); // the quit is taken once
  std::vector<TRecorder::TEntry> seen = recorder.Copy();
  ASSERT_EQ(seen.size(), 7u); // NCCREATE, CREATE, five posts
  for (size_t i = 2; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].WParam, WPARAM(i - 2));
    EXPECT_FALSE(seen[i].InSend);
  }
  EXPECT_TRUE(DestroyWindow(window));
}

TEST(Messages, PeekFiltersByWindowRangeAndRemoval) {
  TRecorder a, b;
  HWND first = MakeWindow(&a), second = MakeWindow(&b);
  PostMessageA(first, WM_USER + 1, 0, 0);
  PostMessageA(second, WM_USER + 2, 0, 0);
  PostThreadMessageA(GetCurrentThreadId(), WM_APP + 3, 0, 0);
  MSG m;
  ASSERT_TRUE(PeekMessageA(&m, second, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(m.message, UINT(WM_USER + 2));
  ASSERT_TRUE(PeekMessageA(&m, second, 0, 0, PM_REMOVE)); // it was left in place
  EXPECT_EQ(m.message, UINT(WM_USER + 2));
  // (HWND)-1: thread messages only.
  ASSERT_TRUE(PeekMessageA(&m, reinterpret_cast<HWND>(intptr_t(-1)), 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, UINT(WM_APP + 3));
  EXPECT_EQ(m.hwnd, nullptr);
  EXPECT_EQ(DispatchMessageA(&m), 0); // no window procedure for a thread message
  EXPECT_FALSE(PeekMessageA(&m, nullptr, WM_APP, WM_APP + 10, PM_REMOVE));
  ASSERT_TRUE(PeekMessageA(&m, nullptr, WM_USER, WM_USER + 1, PM_REMOVE));
  EXPECT_EQ(m.hwnd, first);
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  // Posting with no window is a thread message to the caller.
  EXPECT_TRUE(PostMessageA(nullptr, WM_APP + 4, 0, 0));
  ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, UINT(WM_APP + 4));
  EXPECT_EQ(m.hwnd, nullptr);
  DestroyWindow(first);
  DestroyWindow(second);
  SetLastError(0);
  EXPECT_FALSE(PeekMessageA(&m, first, 0, 0, PM_REMOVE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(GetMessageA(&m, first, 0, 0), -1);
}

TEST(Messages, SendToAWindowOfTheSameThreadCallsItsProcedureDirectly) {
  TRecorder recorder;
  recorder.Handler = [](HWND hwnd, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
    return msg == WM_USER ? LRESULT(w + l) : DefWindowProcA(hwnd, msg, w, l);
  };
  HWND window = MakeWindow(&recorder);
  EXPECT_EQ(SendMessageA(window, WM_USER, 40, 2), 42);
  DWORD_PTR result = 0;
  EXPECT_TRUE(SendMessageTimeoutA(window, WM_USER, 1, 2, SMTO_BLOCK, 0, &result));
  EXPECT_EQ(result, DWORD_PTR(3));
  std::vector<TRecorder::TEntry> seen = recorder.Copy();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[2].ThreadId, GetCurrentThreadId());
  EXPECT_FALSE(seen[2].InSend); // only messages from other threads count as sent
  DestroyWindow(window);
}

TEST(Messages, DestroyedWindowsGetNothingMore) {
  TRecorder recorder;
  HWND window = MakeWindow(&recorder);
  for (int i = 0; i < 3; ++i)
    PostMessageA(window, WM_USER + 1, 0, 0);
  MSG early;
  ASSERT_TRUE(PeekMessageA(&early, nullptr, 0, 0, PM_REMOVE));
  EXPECT_TRUE(DestroyWindow(window));
  std::vector<UINT> seen = recorder.Messages();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[2], UINT(WM_DESTROY));
  EXPECT_EQ(seen[3], UINT(WM_NCDESTROY));
  EXPECT_FALSE(IsWindow(window));
  // The posted messages went with the window; one taken before is not dispatched.
  MSG m;
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  SetLastError(0);
  EXPECT_EQ(DispatchMessageA(&early), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(PostMessageA(window, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
  SetLastError(0);
  EXPECT_EQ(SendMessageA(window, WM_USER, 0, 0), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(SendMessageTimeoutA(window, WM_USER, 0, 0, SMTO_BLOCK, 10, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_FALSE(DestroyWindow(window));
  EXPECT_EQ(recorder.Messages().size(), 4u);
  // A handle that never was a window.
  SetLastError(0);
  EXPECT_EQ(SendMessageA(reinterpret_cast<HWND>(intptr_t(0x5555)), WM_USER, 0, 0), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
  // Handles are not reused at once.
  HWND next = MakeWindow(nullptr);
  EXPECT_NE(next, window);
  DestroyWindow(next);
}

TEST(Messages, CloseThroughDefWindowProcDestroysTheWindow) {
  TRecorder recorder;
  HWND window = MakeWindow(&recorder);
  EXPECT_EQ(SendMessageA(window, WM_CLOSE, 0, 0), 0);
  EXPECT_FALSE(IsWindow(window));
  std::vector<UINT> seen = recorder.Messages();
  EXPECT_EQ(seen, (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_CLOSE, WM_DESTROY, WM_NCDESTROY}));
}

TEST(Classes, RegisterFindAndUnregister) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = RecordingProc;
  wc.lpszClassName = "FwloadClassTest";
  ATOM atom = RegisterClassA(&wc);
  ASSERT_NE(atom, 0);
  wc.lpszClassName = "FWLOADCLASSTEST"; // class names ignore case
  SetLastError(0);
  EXPECT_EQ(RegisterClassA(&wc), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_CLASS_ALREADY_EXISTS));
  WNDCLASSA info{};
  EXPECT_TRUE(GetClassInfoA(nullptr, "fwloadclasstest", &info));
  EXPECT_EQ(info.lpfnWndProc, &RecordingProc);

  HWND window = CreateWindowExA(0, MAKEINTRESOURCEA(atom), "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  SetLastError(0);
  EXPECT_FALSE(UnregisterClassA("FwloadClassTest", nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_CLASS_HAS_WINDOWS));
  DestroyWindow(window);
  EXPECT_TRUE(UnregisterClassA("FwloadClassTest", nullptr));
  SetLastError(0);
  EXPECT_FALSE(UnregisterClassA("FwloadClassTest", nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_CLASS_DOES_NOT_EXIST));
  SetLastError(0);
  EXPECT_FALSE(GetClassInfoA(nullptr, "FwloadClassTest", &info));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_CLASS_DOES_NOT_EXIST));
  SetLastError(0);
  EXPECT_EQ(CreateWindowExA(0, "FwloadClassTest", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                            nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_CANNOT_FIND_WND_CLASS));
  wc.lpfnWndProc = nullptr;
  SetLastError(0);
  EXPECT_EQ(RegisterClassA(&wc), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(Windows, CreationSeesItsParametersAndMayBeRefused) {
  TRecorder recorder;
  LPVOID seenParam = nullptr;
  recorder.Handler = [&](HWND, UINT msg, WPARAM, LPARAM l) -> LRESULT {
    if (msg == WM_CREATE) {
      seenParam = reinterpret_cast<CREATESTRUCTA*>(l)->lpCreateParams;
      return -1; // refuse
    }
    return msg == WM_NCCREATE ? TRUE : 0;
  };
  EXPECT_EQ(MakeWindow(&recorder), nullptr);
  EXPECT_EQ(seenParam, &recorder);
  EXPECT_EQ(recorder.Messages(),
            (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_DESTROY, WM_NCDESTROY}));
}

TEST(Windows, LongPtrsAndOwnerThread) {
  TRecorder recorder;
  HWND window = MakeWindow(&recorder);
  EXPECT_EQ(GetWindowLongPtrA(window, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(&recorder));
  EXPECT_EQ(SetWindowLongPtrA(window, GWLP_USERDATA, 0), reinterpret_cast<LONG_PTR>(&recorder));
  EXPECT_EQ(GetWindowLongPtrA(window, GWLP_USERDATA), 0);
  EXPECT_EQ(GetWindowLongPtrA(window, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(&RecordingProc));
  SetLastError(0);
  EXPECT_EQ(GetWindowLongPtrA(window, 12345), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_INDEX));
  DWORD pid = 0;
  EXPECT_EQ(GetWindowThreadProcessId(window, &pid), GetCurrentThreadId());
  EXPECT_EQ(pid, DWORD(getpid()));
  DestroyWindow(window);
  SetLastError(0);
  EXPECT_EQ(GetWindowLongPtrA(window, GWLP_USERDATA), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), 0u);
}

TEST(Messages, AQueueHoldsAtMostTenThousandPostedMessages) {
  HWND window = MakeWindow(nullptr);
  int posted = 0;
  while (posted < 20000 && PostMessageA(window, WM_USER, 0, 0))
    ++posted;
  EXPECT_EQ(posted, 10000);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_QUOTA));
  DestroyWindow(window); // takes its messages along
  MSG m;
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST(Messages, ThreadMessagesNeedAThreadWithAQueue) {
  SetLastError(0);
  EXPECT_FALSE(PostThreadMessageA(0x7FFFFFF0u, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_THREAD_ID));
}

} // namespace
