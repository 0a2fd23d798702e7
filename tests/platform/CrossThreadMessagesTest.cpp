// Window messages between threads: sends run on the owner while it pumps, time-outs, the wake
// hook, mutual sends, windows and threads that go away, MsgWaitForMultipleObjects.
#include "MessagesTest.h"

using namespace messages_test;

namespace {

LRESULT Default(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
  return DefWindowProcA(hwnd, msg, w, l);
}

std::vector<TRecorder::TEntry> EntriesOf(TRecorder& recorder, UINT message) {
  std::vector<TRecorder::TEntry> out;
  for (const auto& e : recorder.Copy())
    if (e.Message == message) out.push_back(e);
  return out;
}

TEST(CrossThread, SentMessagesRunOnTheOwnerOnlyWhileItPumps) {
  TRecorder recorder;
  TEvent ready, pump, lateHandled;
  recorder.Handler = [&](HWND hwnd, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
    if (msg != WM_USER) return Default(hwnd, msg, w, l);
    if (w == 5) lateHandled.Set();
    return LRESULT(w * 2);
  };
  HWND window = nullptr;
  DWORD ownerId = 0;
  WPARAM threadMessage = 0;
  BOOL quitCode = -1;
  HANDLE owner = Spawn([&] {
    window = MakeWindow(&recorder);
    ownerId = GetCurrentThreadId();
    ready.Set();
    pump.Wait(); // not looking at its queue until told to
    MSG m;
    BOOL got;
    while ((got = GetMessageA(&m, nullptr, 0, 0)) > 0) {
      if (m.hwnd == nullptr && m.message == WM_APP + 1) {
        threadMessage = m.wParam;
        PostQuitMessage(3);
      }
      DispatchMessageA(&m);
    }
    quitCode = BOOL(m.wParam);
    DestroyWindow(window);
  });
  ASSERT_TRUE(ready.Wait());
  ASSERT_NE(window, nullptr);

  // The owner does not pump: a blocking send gives up after its time-out.
  LRESULT sent = 1;
  DWORD error = 0;
  HANDLE sender = Spawn([&] {
    DWORD_PTR result = 0;
    sent = SendMessageTimeoutA(window, WM_USER, 5, 0, SMTO_BLOCK, 100, &result);
    error = GetLastError();
  });
  Join(sender);
  EXPECT_EQ(sent, 0);
  EXPECT_EQ(error, DWORD(ERROR_TIMEOUT));
  EXPECT_TRUE(EntriesOf(recorder, WM_USER).empty());

  // Once it pumps it handles the late message, whose sender (and its stack) is gone.
  pump.Set();
  ASSERT_TRUE(lateHandled.Wait());
  EXPECT_EQ(SendMessageA(window, WM_USER, 21, 0), 42);
  DWORD_PTR result = 0;
  EXPECT_TRUE(SendMessageTimeoutA(window, WM_USER, 4, 0, SMTO_NORMAL, Guard, &result));
  EXPECT_EQ(result, DWORD_PTR(8));
  std::vector<TRecorder::TEntry> handled = EntriesOf(recorder, WM_USER);
  ASSERT_EQ(handled.size(), 3u);
  for (const auto& e : handled) {
    EXPECT_EQ(e.ThreadId, ownerId);
    EXPECT_TRUE(e.InSend);
  }
  EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), ownerId);

  EXPECT_TRUE(PostThreadMessageA(ownerId, WM_APP + 1, 77, 0));
  Join(owner);
  EXPECT_EQ(threadMessage, WPARAM(77));
  EXPECT_EQ(quitCode, 3);
}

TEST(CrossThread, PeekHandlesSentMessagesBeforeReturningAPostedOne) {
  TRecorder recorder;
  TArrivals arrivals;
  TEvent ready, go;
  HWND window = nullptr;
  DWORD ownerId = 0;
  MSG peeked{};
  BOOL got = FALSE;
  HANDLE owner = Spawn([&] {
    window = MakeWindow(&recorder);
    ownerId = GetCurrentThreadId();
    platform::SetWakeHook(ownerId, TArrivals::Hook, &arrivals);
    ready.Set();
    go.Wait();
    got = PeekMessageA(&peeked, nullptr, 0, 0, PM_REMOVE);
    if (got) DispatchMessageA(&peeked);
    platform::SetWakeHook(ownerId, nullptr, nullptr);
    DestroyWindow(window);
  });
  ASSERT_TRUE(ready.Wait());

  // The hook runs on the posting thread with no platform lock held: it sets an event.
  ASSERT_TRUE(PostMessageA(window, WM_USER + 1, 0, 0));
  ASSERT_TRUE(arrivals.WaitFor(1));
  EXPECT_EQ(arrivals.LastCaller, GetCurrentThreadId());
  std::atomic<DWORD> senderId{0};
  LRESULT sent = -1;
  HANDLE sender = Spawn([&] {
    senderId = GetCurrentThreadId();
    sent = SendMessageA(window, WM_USER + 2, 0, 0);
  });
  ASSERT_TRUE(arrivals.WaitFor(2)); // the sent message is queued as well
  EXPECT_EQ(arrivals.LastCaller, senderId);
  go.Set();
  Join(sender);
  Join(owner);
  EXPECT_EQ(sent, 0);
  ASSERT_TRUE(got);
  EXPECT_EQ(peeked.message, UINT(WM_USER + 1));
  std::vector<TRecorder::TEntry> seen = recorder.Copy();
  ASSERT_GE(seen.size(), 4u);
  EXPECT_EQ(seen[2].Message, UINT(WM_USER + 2));
  EXPECT_TRUE(seen[2].InSend);
  EXPECT_EQ(seen[3].Message, UINT(WM_USER + 1));
  EXPECT_FALSE(seen[3].InSend);
  EXPECT_EQ(arrivals.Count, 2);
}

TEST(CrossThread, TheWakeHookSeesEveryArrivalUntilRemoved) {
  TArrivals arrivals;
  HWND window = MakeWindow(nullptr);
  DWORD self = GetCurrentThreadId();
  platform::SetWakeHook(self, TArrivals::Hook, &arrivals);
  PostMessageA(window, WM_USER, 0, 0);
  PostThreadMessageA(self, WM_USER, 0, 0);
  PostQuitMessage(0);
  SendMessageA(window, WM_USER, 0, 0); // a direct call: nothing arrives
  EXPECT_EQ(arrivals.Count, 3);
  HANDLE poster = Spawn([&] { PostMessageA(window, WM_USER, 0, 0); });
  Join(poster);
  EXPECT_EQ(arrivals.Count, 4);
  platform::SetWakeHook(self, nullptr, nullptr);
  PostMessageA(window, WM_USER, 0, 0);
  EXPECT_EQ(arrivals.Count, 4);
  MSG m;
  int posted = 0, quits = 0;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE))
    ++(m.message == WM_QUIT ? quits : posted);
  EXPECT_EQ(posted, 4);
  EXPECT_EQ(quits, 1);
  DestroyWindow(window);
}

TEST(CrossThread, TwoThreadsSendingToEachOtherDoNotDeadlock) {
  TRecorder recorderA, recorderB;
  TEvent readyA, readyB, handledA, handledB;
  recorderA.Handler = [&](HWND hwnd, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
    if (msg != WM_USER) return Default(hwnd, msg, w, l);
    handledA.Set();
    return 100 + LRESULT(w);
  };
  recorderB.Handler = [&](HWND hwnd, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
    if (msg != WM_USER) return Default(hwnd, msg, w, l);
    handledB.Set();
    return 200 + LRESULT(w);
  };
  HWND windowA = nullptr, windowB = nullptr;
  LRESULT resultA = 0, resultB = 0;
  // Each pumps only inside its own send (and afterwards until its window got the other's
  // message), so the first message handled is handled while both sends are outstanding.
  auto side = [](HWND& own, TRecorder& recorder, TEvent& ready, TEvent& otherReady, HWND& other,
                 LRESULT& result, TEvent& handled) {
    own = MakeWindow(&recorder);
    ready.Set();
    otherReady.Wait();
    result = SendMessageA(other, WM_USER, 1, 0);
    HANDLE h = handled.Handle();
    while (MsgWaitForMultipleObjects(1, &h, FALSE, Guard, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
    }
    DestroyWindow(own);
  };
  HANDLE a = Spawn([&] { side(windowA, recorderA, readyA, readyB, windowB, resultA, handledA); });
  HANDLE b = Spawn([&] { side(windowB, recorderB, readyB, readyA, windowA, resultB, handledB); });
  Join(a);
  Join(b);
  EXPECT_EQ(resultA, 201);
  EXPECT_EQ(resultB, 101);
}

TEST(CrossThread, ASendToAWindowDestroyedBeforeItsTurnFails) {
  TRecorder recorder;
  TArrivals arrivals;
  TEvent ready, go;
  HWND window = nullptr;
  HANDLE owner = Spawn([&] {
    window = MakeWindow(&recorder);
    platform::SetWakeHook(GetCurrentThreadId(), TArrivals::Hook, &arrivals);
    ready.Set();
    go.Wait();
    platform::SetWakeHook(GetCurrentThreadId(), nullptr, nullptr);
    DestroyWindow(window);
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
  });
  ASSERT_TRUE(ready.Wait());
  LRESULT sent = -1;
  DWORD error = 0;
  HANDLE sender = Spawn([&] {
    sent = SendMessageA(window, WM_USER, 0, 0);
    error = GetLastError();
  });
  ASSERT_TRUE(arrivals.WaitFor(1));
  go.Set();
  Join(sender);
  Join(owner);
  EXPECT_EQ(sent, 0);
  EXPECT_EQ(error, DWORD(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_TRUE(EntriesOf(recorder, WM_USER).empty());
}

TEST(CrossThread, WindowsGoWithTheirThreadAndWaitingSendersAreReleased) {
  TRecorder recorder;
  TArrivals arrivals;
  TEvent ready, go;
  HWND window = nullptr;
  HANDLE owner = Spawn([&] {
    window = MakeWindow(&recorder);
    platform::SetWakeHook(GetCurrentThreadId(), TArrivals::Hook, &arrivals);
    ready.Set();
    go.Wait(); // then ends without destroying its window or pumping
  });
  ASSERT_TRUE(ready.Wait());
  LRESULT sent = -1;
  DWORD error = 0;
  HANDLE sender = Spawn([&] {
    sent = SendMessageA(window, WM_USER, 0, 0);
    error = GetLastError();
  });
  ASSERT_TRUE(arrivals.WaitFor(1));
  go.Set();
  Join(owner);
  Join(sender);
  EXPECT_EQ(sent, 0);
  EXPECT_EQ(error, DWORD(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_FALSE(IsWindow(window));
  SetLastError(0);
  EXPECT_FALSE(PostMessageA(window, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
  SetLastError(0);
  EXPECT_FALSE(SendMessageTimeoutA(window, WM_USER, 0, 0, SMTO_NORMAL, Guard, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
}

TEST(CrossThread, OnlyTheOwnerDestroysAWindow) {
  HWND window = MakeWindow(nullptr);
  BOOL destroyed = TRUE;
  DWORD error = 0;
  HANDLE other = Spawn([&] {
    destroyed = DestroyWindow(window);
    error = GetLastError();
  });
  Join(other);
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(error, DWORD(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(DestroyWindow(window));
}

TEST(MsgWait, ReturnsForHandlesOrNewInputAndHandlesSentMessages) {
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
  }
  TRecorder recorder;
  recorder.Handler = [](HWND hwnd, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
    return msg == WM_USER + 5 ? 99 : Default(hwnd, msg, w, l);
  };
  HWND window = MakeWindow(&recorder);
  TEvent first, second;
  HANDLE handles[] = {first.Handle(), second.Handle()};
  EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, FALSE, 0, QS_ALLINPUT), WAIT_TIMEOUT);
  second.Set();
  EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, FALSE, Guard, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
  ResetEvent(second.Handle());

  // A message posted by another thread ends the wait as the last index.
  HANDLE poster = Spawn([&] { PostMessageA(window, WM_USER, 0, 0); });
  EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, FALSE, Guard, QS_POSTMESSAGE), WAIT_OBJECT_0 + 2);
  Join(poster);
  // Once the thread has looked at its queue, that message is no longer new input...
  ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT), WAIT_TIMEOUT);
  // ...but it is still input available.
  EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_ALLINPUT, MWMO_INPUTAVAILABLE),
            WAIT_OBJECT_0);
  ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));

  // A message sent while this thread waits for a handle is handled here, inside the wait.
  LRESULT sent = 0;
  HANDLE sender = Spawn([&] {
    sent = SendMessageA(window, WM_USER + 5, 0, 0);
    SetEvent(handles[0]);
  });
  EXPECT_EQ(MsgWaitForMultipleObjects(1, handles, FALSE, Guard, QS_POSTMESSAGE), WAIT_OBJECT_0);
  Join(sender);
  EXPECT_EQ(sent, 99);
  std::vector<TRecorder::TEntry> handled = EntriesOf(recorder, WM_USER + 5);
  ASSERT_EQ(handled.size(), 1u);
  EXPECT_EQ(handled[0].ThreadId, GetCurrentThreadId());
  EXPECT_TRUE(handled[0].InSend);

  SetLastError(0);
  EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, TRUE, 0, QS_ALLINPUT), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS, handles[0]);
  EXPECT_EQ(MsgWaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0, QS_ALLINPUT),
            WAIT_FAILED);
  DestroyWindow(window);
}

TEST(MsgWait, WaitMessageReturnsWhenSomethingArrives) {
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
  }
  HWND window = MakeWindow(nullptr);
  HANDLE poster = Spawn([&] { PostMessageA(window, WM_USER + 3, 0, 0); });
  EXPECT_TRUE(WaitMessage());
  Join(poster);
  ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.message, UINT(WM_USER + 3));
  DestroyWindow(window);
}

} // namespace
