#include <QDialogButtonBox>
#include <QFile>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <ctime>
#include <gtest/gtest.h>
#include <latch>
#include <stdexcept>
#include <thread>

#include "framework/Button.h"
#include "support/Gui.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

double ThreadCpuMs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

// A hidden platform window on the GUI thread that records the WM_USER messages it gets.
class TTestWindow {
public:
  TTestWindow() {
    static bool registered = [] {
      WNDCLASSA wc{};
      wc.lpfnWndProc = &TTestWindow::Proc;
      wc.lpszClassName = "FwloadFrameworkTest";
      return RegisterClassA(&wc) != 0;
    }();
    EXPECT_TRUE(registered);
    Handle = CreateWindowExA(0, "FwloadFrameworkTest", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             nullptr, nullptr);
    EXPECT_NE(Handle, nullptr);
    Received().clear();
  }
  ~TTestWindow() { DestroyWindow(Handle); }
  static std::vector<WPARAM>& Received() {
    static std::vector<WPARAM> received;
    return received;
  }
  static constexpr UINT Record = WM_USER + 1;
  static constexpr UINT Fail = WM_USER + 2;
  HWND Handle;

private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == Record) {
      Received().push_back(wParam);
      return static_cast<LRESULT>(wParam) + 1;
    }
    if (msg == Fail) throw Exception("Window procedure failed");
    return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
};

class ApplicationTest : public ::testing::Test {
protected:
  void SetUp() override {
    EnsureApplication();
    // Start from a quiet loop.
    for (int i = 0; i < 20 && Application->WaitAndProcessMessages(0); ++i) {
    }
  }
};

TEST_F(ApplicationTest, PlatformMessageFromAnotherThreadEndsTheWaitAtOnce) {
  TTestWindow window;
  long long slowest = 0;
  for (WPARAM i = 1; i <= 10; ++i) {
    std::latch waiting(1);
    std::thread poster([&] {
      waiting.wait();
      PostMessageA(window.Handle, TTestWindow::Record, i, 0);
    });
    Clock::time_point start = Clock::now();
    waiting.count_down();
    // Other events may end a wait too; the message must arrive long before the deadline.
    while (TTestWindow::Received().size() < i && MsSince(start) < 10000)
      Application->WaitAndProcessMessages(10000);
    slowest = std::max(slowest, MsSince(start));
    poster.join();
    ASSERT_EQ(TTestWindow::Received().size(), i);
    EXPECT_EQ(TTestWindow::Received().back(), i);
  }
  EXPECT_LT(slowest, 1000);
}

TEST_F(ApplicationTest, WakeFromAnotherThreadEndsTheWait) {
  std::latch waiting(1);
  std::thread waker([&] {
    waiting.wait();
    TApplication::Wake();
  });
  Clock::time_point start = Clock::now();
  waiting.count_down();
  EXPECT_TRUE(Application->WaitAndProcessMessages(10000));
  EXPECT_LT(MsSince(start), 5000);
  waker.join();
  // A wake that comes before the wait is not lost.
  TApplication::Wake();
  start = Clock::now();
  EXPECT_TRUE(Application->WaitAndProcessMessages(10000));
  EXPECT_LT(MsSince(start), 5000);
}

TEST_F(ApplicationTest, QtEventEndsTheWait) {
  bool fired = false;
  QTimer::singleShot(20, [&] { fired = true; });
  Clock::time_point start = Clock::now();
  while (!fired && MsSince(start) < 10000)
    Application->WaitAndProcessMessages(10000);
  EXPECT_TRUE(fired);
  EXPECT_LT(MsSince(start), 5000);
}

TEST_F(ApplicationTest, IdleWaitSleepsUntilTheDeadline) {
  bool timedOut = false;
  long long elapsed = 0;
  double cpu = 0;
  for (int attempt = 0; attempt < 10 && !timedOut; ++attempt) {
    Clock::time_point start = Clock::now();
    double cpuStart = ThreadCpuMs();
    timedOut = !Application->WaitAndProcessMessages(300);
    elapsed = MsSince(start);
    cpu = ThreadCpuMs() - cpuStart;
  }
  ASSERT_TRUE(timedOut);
  EXPECT_GE(elapsed, 290);
  EXPECT_LT(cpu, 100.0) << "the wait must not spin";
  EXPECT_FALSE(Application->WaitAndProcessMessages(0));
}

TEST_F(ApplicationTest, ProcessMessagesHandlesPostedAndSentMessages) {
  TTestWindow window;
  for (WPARAM i = 1; i <= 3; ++i)
    PostMessageA(window.Handle, TTestWindow::Record, i, 0);
  Application->ProcessMessages();
  EXPECT_EQ(TTestWindow::Received(), (std::vector<WPARAM>{1, 2, 3}));
  // A message sent from another thread blocks that thread until our loop has handled it.
  std::atomic<LRESULT> result{0};
  std::thread sender([&] { result = SendMessageA(window.Handle, TTestWindow::Record, 41, 0); });
  Clock::time_point start = Clock::now();
  while (result == 0 && MsSince(start) < 10000)
    Application->WaitAndProcessMessages(1000);
  sender.join();
  EXPECT_EQ(result, 42);
}

TEST_F(ApplicationTest, ExceptionInAHandlerReachesTheErrorDisplayAndTheProgramGoesOn) {
  TShownMessages shown;
  Application->SetTitle("Загрузчик");
  TButton button(nullptr);
  button.OnClick = [](TObject*) { throw Exception("The port is busy"); };
  button.click();
  button.OnClick = [](TObject*) { throw std::runtime_error("Done."); };
  button.click();
  ASSERT_EQ(shown.Messages.size(), 2u);
  EXPECT_EQ(shown.Messages[0].Text, "The port is busy.");
  EXPECT_EQ(shown.Messages[0].Caption, "Загрузчик");
  EXPECT_EQ(shown.Messages[0].Flags, MB_OK | MB_ICONSTOP);
  EXPECT_EQ(shown.Messages[1].Text, "Done.");

  // A window procedure's exception during the dispatch; the messages after it still arrive.
  TTestWindow window;
  PostMessageA(window.Handle, TTestWindow::Fail, 0, 0);
  PostMessageA(window.Handle, TTestWindow::Record, 7, 0);
  Application->ProcessMessages();
  ASSERT_EQ(shown.Messages.size(), 3u);
  EXPECT_EQ(shown.Messages[2].Text, "Window procedure failed.");
  EXPECT_EQ(TTestWindow::Received(), (std::vector<WPARAM>{7}));
}

TEST_F(ApplicationTest, HandleExceptionPassesEveryKindToOnException) {
  std::vector<std::pair<TObject*, std::string>> seen;
  Application->OnException = [&](TObject* sender, const Exception& e) {
    seen.emplace_back(sender, e.Message());
  };
  TObject sender;
  try {
    throw EConvertError("'x' is not a valid integer value");
  } catch (...) {
    Application->HandleException(&sender);
  }
  try {
    throw 42;
  } catch (...) {
    Application->HandleException(nullptr);
  }
  Application->OnException = nullptr;
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].first, &sender);
  EXPECT_EQ(seen[0].second, "'x' is not a valid integer value");
  EXPECT_EQ(seen[1].second, "Unknown exception");
  Application->HandleException(nullptr); // outside a catch: nothing to report
}

TEST(ErrorTextTest, PeriodWhenTheLastCharacterSortsAfterIt) {
  EXPECT_EQ(TApplication::ErrorText("Port COM1 not found"), "Port COM1 not found.");
  EXPECT_EQ(TApplication::ErrorText("Already done."), "Already done.");
  EXPECT_EQ(TApplication::ErrorText("Really?"), "Really?.") << "'?' sorts after '.'";
  EXPECT_EQ(TApplication::ErrorText("Stop!"), "Stop!") << "'!' sorts before '.'";
  EXPECT_EQ(TApplication::ErrorText("(code 5)"), "(code 5)");
  EXPECT_EQ(TApplication::ErrorText("path /dev/"), "path /dev/.");
  EXPECT_EQ(TApplication::ErrorText("error 5"), "error 5.");
  EXPECT_EQ(TApplication::ErrorText("trailing blank "), "trailing blank ");
  EXPECT_EQ(TApplication::ErrorText("Порт занят"), "Порт занят.");
  EXPECT_EQ(TApplication::ErrorText(""), "");
}

TEST_F(ApplicationTest, TheStandardErrorDisplayIsACriticalMessageBox) {
  Application->SetTitle("Загрузчик");
  QString title, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  TModalDriver driver([&](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    ASSERT_NE(box, nullptr);
    title = box->windowTitle();
    text = box->text();
    icon = box->icon();
    box->button(QMessageBox::Ok)->click();
  });
  Application->ShowException(Exception("Не удалось открыть порт"));
  EXPECT_EQ(driver.Handled, 1);
  EXPECT_EQ(title.toStdString(), "Загрузчик");
  EXPECT_EQ(text.toStdString(), "Не удалось открыть порт.");
  EXPECT_EQ(icon, QMessageBox::Critical);
}

TEST_F(ApplicationTest, QtsOwnTextsFollowTheDesktopsLanguageAndTheProgramsStayAsTheyAre) {
  if (!QFile::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_ru.qm"))
    GTEST_SKIP() << "Qt's translations are not installed (qt6-translations-l10n)";
  auto cancelText = [] {
    QDialogButtonBox box(QDialogButtonBox::Cancel);
    return box.button(QDialogButtonBox::Cancel)->text().toStdString();
  };
  TUiFile ui(R"(<ui version="4.0"><widget class="TForm" name="F">
   <widget class="TButton" name="B"><property name="text"><string>Cancel</string></property></widget>
   </widget></ui>)");
  TForm form(nullptr, ui.Path);
  ASSERT_TRUE(Application->LoadToolkitTranslations(QLocale(QLocale::Russian, QLocale::Russia)));
  EXPECT_EQ(cancelText(), "Отмена");
  EXPECT_EQ(form.Find<TButton>("B")->Caption(), "Cancel") << "the program's own text";
  Application->LoadToolkitTranslations(QLocale::c());
  EXPECT_EQ(cancelText(), "Cancel");
  Application->LoadToolkitTranslations(QLocale(QLocale::English, QLocale::UnitedStates));
  EXPECT_EQ(cancelText(), "Cancel");
  Application->LoadToolkitTranslations(QLocale::system());
}

// Ending the loop ends it for good, so these run in a process of their own.
void TerminateDuringAModalLoop() {
  EnsureApplication();
  TForm* main = nullptr;
  Application->CreateForm(main);
  TForm dialog(nullptr);
  TModalResult result = -1;
  QTimer::singleShot(0, [&] {
    QTimer::singleShot(0, [] { Application->Terminate(); });
    result = dialog.ShowModal();
  });
  Application->Run();
  fprintf(stderr, "terminated=%d modal=%d forms=%d\n", Application->Terminated(), result,
          Application->ComponentCount());
  std::exit(0);
}

void QuitFromAnotherThread() {
  EnsureApplication();
  DWORD mainThread = GetCurrentThreadId();
  std::thread quitter([mainThread] { PostThreadMessageA(mainThread, WM_QUIT, 0, 0); });
  Application->Run();
  quitter.join();
  fprintf(stderr, "terminated=%d\n", Application->Terminated());
  std::exit(0);
}

void CloseTheMainForm() {
  EnsureApplication();
  TForm* main = nullptr;
  Application->CreateForm(main);
  int queries = 0, closes = 0;
  main->OnCloseQuery = [&](TObject*, bool& canClose) { canClose = ++queries > 1; };
  main->OnClose = [&](TObject*, TCloseAction&) { ++closes; };
  QTimer::singleShot(0, [&] {
    main->close(); // refused
    main->close(); // allowed: the main form's close ends the application
  });
  Application->Run();
  fprintf(stderr, "queries=%d closes=%d\n", queries, closes);
  std::exit(0);
}

class ApplicationLoopDeathTest : public ::testing::Test {
protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ApplicationLoopDeathTest, TerminateEndsRunAndModalLoops) {
  EXPECT_EXIT(TerminateDuringAModalLoop(), ::testing::ExitedWithCode(0),
              "terminated=1 modal=2 forms=0");
}

TEST_F(ApplicationLoopDeathTest, QuitMessageFromAnotherThreadEndsRun) {
  EXPECT_EXIT(QuitFromAnotherThread(), ::testing::ExitedWithCode(0), "terminated=1");
}

TEST_F(ApplicationLoopDeathTest, ClosingTheMainFormEndsTheApplicationOnceAllowed) {
  EXPECT_EXIT(CloseTheMainForm(), ::testing::ExitedWithCode(0), "queries=2 closes=1");
}

} // namespace
