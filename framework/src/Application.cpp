#include "framework/Application.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QEventLoop>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QThread>
#include <QTimer>
#include <QTranslator>
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <memory>
#include <mutex>

namespace {

const QEvent::Type DrainEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

// What other threads may touch: the wake hook and Wake reach the GUI thread through it.
// Defined before the application object so that it outlives it.
struct TJoin {
  std::mutex Lock;
  QObject* Receiver = nullptr;
  QAbstractEventDispatcher* Dispatcher = nullptr;
  std::atomic<bool> DrainPosted{false};
  std::atomic<bool> WakeRequested{false};
} gJoin;

// GUI thread only: events seen while a wait is in progress end that wait.
int gWaitDepth = 0;
unsigned gEventCount = 0;
bool gWakePosted = false;

void NoteEvent() {
  if (gWaitDepth == 0) return;
  ++gEventCount;
  // A posted event handled at the start of a blocking pass would otherwise not end it.
  if (!gWakePosted) {
    gWakePosted = true;
    if (QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance()) d->wakeUp();
  }
}

bool OnMainThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

class TQtApplication : public QApplication {
public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    if (OnMainThread()) NoteEvent();
    // The last line of defence; handlers catch their own exceptions through SafeCall.
    try {
      return QApplication::notify(receiver, event);
    } catch (...) {
      HandleHandlerException(nullptr);
      return false;
    }
  }
};

// For a toolkit object the program created itself: we still need to see its events.
class TEventWatcher : public QObject {
protected:
  bool eventFilter(QObject*, QEvent*) override {
    if (OnMainThread()) NoteEvent();
    return false;
  }
};

class TPump : public QObject {
protected:
  bool event(QEvent* e) override {
    if (e->type() != DrainEventType) return QObject::event(e);
    Application->DispatchPlatformMessages();
    return true;
  }
};

TPump* gPump = nullptr;
QTranslator* gToolkitTranslator = nullptr;
TEventWatcher* gWatcher = nullptr;

// Called by platform/ on whatever thread posted or sent a message to the GUI thread.
void WakeHookProc(void*) {
  if (gJoin.DrainPosted.exchange(true)) return; // a drain is on its way already
  std::lock_guard lock(gJoin.Lock);
  if (gJoin.Receiver)
    QCoreApplication::postEvent(gJoin.Receiver, new QEvent(DrainEventType));
  else
    gJoin.DrainPosted.store(false);
}

void PostDrain() {
  gJoin.DrainPosted.store(true);
  std::lock_guard lock(gJoin.Lock);
  if (gJoin.Receiver) QCoreApplication::postEvent(gJoin.Receiver, new QEvent(DrainEventType));
}

TApplication gApplication;

} // namespace

TApplication* Application = &gApplication;

TApplication::TApplication() : TComponent(nullptr) {
  FTitle = ChangeFileExt(ExtractFileName(ParamStr0()), "");
}

TApplication::~TApplication() {
  // Static objects die after Qt's own globals, so neither widgets nor the toolkit may be
  // destroyed here; Finalize (which Run ends with) does that in time. Forms of a program
  // that never got there are left for the process's end, still reachable.
  static std::vector<TComponent*>* leftOver = nullptr;
  while (ComponentCount() > 0) {
    TComponent* c = Components(ComponentCount() - 1);
    RemoveComponent(c);
    if (!leftOver) leftOver = new std::vector<TComponent*>;
    leftOver->push_back(c);
  }
  // The hook may stay registered (platform/ may be gone by now); it finds no receiver.
  std::lock_guard lock(gJoin.Lock);
  gJoin.Receiver = nullptr;
  gJoin.Dispatcher = nullptr;
}

void TApplication::Finalize() {
  while (ComponentCount() > 0)
    delete Components(ComponentCount() - 1);
  if (!FInitialized) return;
  platform::SetWakeHook(FThreadId, nullptr, nullptr);
  {
    std::lock_guard lock(gJoin.Lock);
    gJoin.Receiver = nullptr;
    gJoin.Dispatcher = nullptr;
  }
  delete gPump;
  gPump = nullptr;
  delete gWatcher;
  gWatcher = nullptr;
  if (gToolkitTranslator) QCoreApplication::removeTranslator(gToolkitTranslator);
  delete gToolkitTranslator;
  gToolkitTranslator = nullptr;
  if (FOwnsToolkit) delete QCoreApplication::instance();
  FOwnsToolkit = false;
  FInitialized = false;
}

void TApplication::Initialize() {
  if (FInitialized) return;
  FThreadId = GetCurrentThreadId();
  if (!QCoreApplication::instance()) {
    static int argc = 1;
    static std::string name = ParamStr0().empty() ? "fwload" : ParamStr0();
    static char* argv[] = {name.data(), nullptr};
    new TQtApplication(argc, argv);
    FOwnsToolkit = true;
  } else if (!dynamic_cast<TQtApplication*>(QCoreApplication::instance())) {
    gWatcher = new TEventWatcher;
    QCoreApplication::instance()->installEventFilter(gWatcher);
  }
  // Windows come and go with our forms; only Terminate ends the application.
  QGuiApplication::setQuitOnLastWindowClosed(false);
  gPump = new TPump;
  {
    std::lock_guard lock(gJoin.Lock);
    gJoin.Receiver = gPump;
    gJoin.Dispatcher = QAbstractEventDispatcher::instance();
  }
  platform::SetWakeHook(FThreadId, &WakeHookProc, nullptr);
  FInitialized = true;
  // Without the translations package Qt simply stays English.
  LoadToolkitTranslations(QLocale::system());
}

bool TApplication::LoadToolkitTranslations(const QLocale& locale) {
  if (gToolkitTranslator) QCoreApplication::removeTranslator(gToolkitTranslator);
  delete gToolkitTranslator;
  gToolkitTranslator = nullptr;
  auto translator = std::make_unique<QTranslator>();
  // qtbase_<lang>.qm holds the texts of every Qt widget we show (it pulls in its own parts).
  if (!translator->load(locale, "qtbase", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    return false;
  QCoreApplication::installTranslator(translator.get());
  gToolkitTranslator = translator.release();
  return true;
}

void TApplication::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == opRemove && FMainForm && component == static_cast<TComponent*>(FMainForm))
    FMainForm = nullptr;
}

void TApplication::EnterLoop(QEventLoop* loop) {
  FLoops.push_back(loop);
}

void TApplication::LeaveLoop(QEventLoop* loop) {
  FLoops.erase(std::remove(FLoops.begin(), FLoops.end(), loop), FLoops.end());
}

void TApplication::Quit() {
  FTerminated = true;
  for (QEventLoop* loop : FLoops)
    loop->exit();
}

void TApplication::Run() {
  Initialize();
  QEventLoop loop;
  EnterLoop(&loop);
  // Messages, a quit among them, may have come before the loop.
  DispatchPlatformMessages();
  if (FMainForm && ShowMainForm && !FTerminated) FMainForm->Show();
  while (!FTerminated)
    loop.exec();
  LeaveLoop(&loop);
  // The program ends with the loop: free the forms now, while everything they use is there.
  while (ComponentCount() > 0)
    delete Components(ComponentCount() - 1);
}

void TApplication::Terminate() {
  PostQuitMessage(0);
  // Whether or not the queue reports the quit to the hook, the loop must go and look.
  if (FInitialized) PostDrain();
}

int TApplication::DispatchPlatformMessages() {
  gJoin.DrainPosted.store(false);
  int handled = 0;
  for (;;) {
    MSG msg;
    BOOL got = FALSE;
    SafeCall(this, [&] { got = PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); });
    if (!got) break;
    ++handled;
    if (msg.message == WM_QUIT) {
      Quit();
      continue;
    }
    SafeCall(this, [&] {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    });
  }
  return handled;
}

void TApplication::ProcessMessages() {
  if (QCoreApplication::instance()) QCoreApplication::processEvents(QEventLoop::AllEvents);
  DispatchPlatformMessages();
}

bool TApplication::WaitAndProcessMessages(DWORD timeoutMs) {
  if (!FInitialized) {
    // Without the toolkit there is only the platform queue to wait for.
    DWORD r = MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs, QS_ALLINPUT);
    int handled = DispatchPlatformMessages();
    return gJoin.WakeRequested.exchange(false) || handled > 0 || r == WAIT_OBJECT_0;
  }
  unsigned start = gEventCount;
  ++gWaitDepth;
  struct TDepthGuard {
    ~TDepthGuard() { --gWaitDepth; }
  } depthGuard;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  bool happened = DispatchPlatformMessages() > 0 || gEventCount != start;
  bool timedOut = false;
  if (!happened && !gJoin.WakeRequested.load() && !FTerminated) {
    if (timeoutMs == 0) {
      timedOut = true;
    } else {
      QTimer deadline;
      deadline.setSingleShot(true);
      deadline.setTimerType(Qt::PreciseTimer);
      QObject::connect(&deadline, &QTimer::timeout, [&timedOut] { timedOut = true; });
      if (timeoutMs != INFINITE)
        deadline.start(static_cast<int>(std::min<DWORD>(timeoutMs, INT_MAX)));
      while (gEventCount == start && !timedOut && !gJoin.WakeRequested.load() && !FTerminated) {
        gWakePosted = false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        DispatchPlatformMessages();
      }
      // What came with the wake-up is handled before we return.
      QCoreApplication::processEvents(QEventLoop::AllEvents);
      DispatchPlatformMessages();
    }
  }
  gJoin.WakeRequested.store(false);
  return !timedOut;
}

void TApplication::Wake() {
  gJoin.WakeRequested.store(true);
  std::lock_guard lock(gJoin.Lock);
  if (gJoin.Dispatcher) gJoin.Dispatcher->wakeUp();
}

std::string TApplication::ErrorText(const std::string& message) {
  std::string text = message;
  if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') text += '.';
  return text;
}

void TApplication::HandleException(TObject* sender) {
  std::exception_ptr current = std::current_exception();
  if (!current) return;
  auto report = [&](const Exception& e) {
    if (OnException)
      OnException(sender, e);
    else
      ShowException(e);
  };
  try {
    std::rethrow_exception(current);
  } catch (const Exception& e) {
    report(e);
  } catch (const std::exception& e) {
    report(Exception(e.what()));
  } catch (...) {
    report(Exception("Unknown exception"));
  }
}

void TApplication::ShowException(const Exception& e) {
  MessageBox(ErrorText(e.Message()), FTitle, MB_OK | MB_ICONSTOP);
}

int TApplication::MessageBox(const std::string& text, const std::string& caption, UINT flags) {
  if (MessageBoxHandler) return MessageBoxHandler(text, caption, flags);
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
    fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return IDOK;
  }
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  switch (flags & 0xF0) {
  case MB_ICONHAND:
    icon = QMessageBox::Critical;
    break;
  case MB_ICONQUESTION:
    icon = QMessageBox::Question;
    break;
  case MB_ICONEXCLAMATION:
    icon = QMessageBox::Warning;
    break;
  case MB_ICONASTERISK:
    icon = QMessageBox::Information;
    break;
  default:
    break;
  }
  using B = QMessageBox;
  B::StandardButtons buttons = B::Ok;
  switch (flags & 0x0F) {
  case MB_OKCANCEL:
    buttons = B::Ok | B::Cancel;
    break;
  case MB_ABORTRETRYIGNORE:
    buttons = B::Abort | B::Retry | B::Ignore;
    break;
  case MB_YESNOCANCEL:
    buttons = B::Yes | B::No | B::Cancel;
    break;
  case MB_YESNO:
    buttons = B::Yes | B::No;
    break;
  case MB_RETRYCANCEL:
    buttons = B::Retry | B::Cancel;
    break;
  default:
    break;
  }
  QMessageBox box(icon, QString::fromStdString(caption), QString::fromStdString(text), buttons,
                  QApplication::activeWindow());
  box.setWindowModality(Qt::ApplicationModal);
  switch (box.exec()) {
  case B::Cancel:
    return IDCANCEL;
  case B::Abort:
    return IDABORT;
  case B::Retry:
    return IDRETRY;
  case B::Ignore:
    return IDIGNORE;
  case B::Yes:
    return IDYES;
  case B::No:
    return IDNO;
  default:
    return (flags & 0x0F) == MB_OK ? IDOK : IDCANCEL;
  }
}
