// TApplication: the program's one application object, its forms and its message loop.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "framework/Form.h"
#include "platform/Win32.h"
#include "runtime/Classes.h"

class QEventLoop;
class QLocale;

#ifndef MB_OK
constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_OKCANCEL = 0x00000001;
constexpr UINT MB_ABORTRETRYIGNORE = 0x00000002;
constexpr UINT MB_YESNOCANCEL = 0x00000003;
constexpr UINT MB_YESNO = 0x00000004;
constexpr UINT MB_RETRYCANCEL = 0x00000005;
constexpr UINT MB_ICONHAND = 0x00000010;
constexpr UINT MB_ICONERROR = MB_ICONHAND;
constexpr UINT MB_ICONSTOP = MB_ICONHAND;
constexpr UINT MB_ICONQUESTION = 0x00000020;
constexpr UINT MB_ICONEXCLAMATION = 0x00000030;
constexpr UINT MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr UINT MB_ICONASTERISK = 0x00000040;
constexpr UINT MB_ICONINFORMATION = MB_ICONASTERISK;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
#endif

using TExceptionEvent = std::function<void(TObject* sender, const Exception& e)>;
using TMessageBoxHandler =
    std::function<int(const std::string& text, const std::string& caption, UINT flags)>;

// One loop serves the Qt events and platform/'s window messages of the main thread: a message
// arriving from any thread wakes the Qt loop, which then dispatches the thread's queue.
class TApplication : public TComponent {
public:
  TApplication();
  ~TApplication() override;

  // Creates the toolkit (unless the program already has one) and joins the two loops. Call
  // it on the main thread before anything else of the framework; a second call does nothing.
  void Initialize();
  bool Initialized() const { return FInitialized; }
  // Qt's own texts (its file dialog, the message boxes' buttons) in the language of `locale`,
  // from Qt's installed translations; the program's own texts never go through them.
  // Initialize loads them for the desktop's language. False when none are there for it.
  bool LoadToolkitTranslations(const QLocale& locale);

  const std::string& Title() const { return FTitle; }
  void SetTitle(const std::string& title) { FTitle = title; }

  // Creates a form owned by the application and stores it in `reference` before its OnCreate
  // runs; the first form created becomes the main form.
  template <typename T> void CreateForm(T*& reference) {
    T* form = new T(this);
    reference = form;
    form->AfterConstruction();
    if (!FMainForm) FMainForm = form;
  }
  TForm* MainForm() const { return FMainForm; }

  // Shows the main form and runs the loop until Terminate or a WM_QUIT, then finalizes:
  // the program ends with its loop.
  void Run();
  // Frees the application's forms and lets the toolkit go. Run ends with it; a program that
  // never runs the loop calls it before main returns (static destruction comes too late for
  // Qt). Initialize may be called again afterwards.
  void Finalize();
  // Posts WM_QUIT: the loop ends when it takes the message (modal forms return mrCancel).
  void Terminate();
  bool Terminated() const { return FTerminated; }

  // Handles every pending Qt event and platform message, then returns.
  void ProcessMessages();
  // Blocks until a Qt event or a platform message arrives, Wake is called or `timeoutMs` has
  // passed (INFINITE: no limit), then handles everything pending. Returns false when the time
  // ran out with nothing to do. It does not spin: while nothing happens, the thread sleeps.
  bool WaitAndProcessMessages(DWORD timeoutMs);
  // Ends the current (or the next) WaitAndProcessMessages at once. Any thread may call it.
  static void Wake();

  // Call from inside a catch block: passes the exception to OnException or ShowException.
  void HandleException(TObject* sender);
  // The standard error display: a critical message box, caption Title, text the message
  // with a period appended when its last character sorts after '.'.
  void ShowException(const Exception& e);
  static std::string ErrorText(const std::string& message);

  // A message box over the active window; returns IDOK, IDCANCEL, ... MessageBoxHandler,
  // when set, is called instead (tests watch the error display through it).
  int MessageBox(const std::string& text, const std::string& caption, UINT flags);

  TExceptionEvent OnException;
  TMessageBoxHandler MessageBoxHandler;
  bool ShowMainForm = true;

  // Nested loops (modal forms) register here so that Terminate can end them.
  void EnterLoop(QEventLoop* loop);
  void LeaveLoop(QEventLoop* loop);
  // Runs the platform messages waiting for this thread; returns how many it handled.
  int DispatchPlatformMessages();

protected:
  void Notification(TComponent* component, TOperation operation) override;

private:
  void Quit();

  bool FInitialized = false;
  bool FOwnsToolkit = false;
  bool FTerminated = false;
  std::string FTitle;
  TForm* FMainForm = nullptr;
  std::vector<QEventLoop*> FLoops;
  DWORD FThreadId = 0;
};

extern TApplication* Application;
