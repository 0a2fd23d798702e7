#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "runtime/Classes.h"

namespace {

std::vector<std::string>* gLog = nullptr;

class TLogged : public TComponent {
public:
  TLogged(TComponent* owner, std::string name) : TComponent(owner) { SetName(std::move(name)); }
  ~TLogged() override {
    if (gLog) gLog->push_back("free " + Name());
  }
  bool WasLoading = false;

protected:
  void Loaded() override {
    WasLoading = ComponentState().Contains(csLoading);
    TComponent::Loaded();
    if (gLog) gLog->push_back("loaded " + Name());
  }
};

} // namespace

TEST(TComponent, OwnerFreesWhatItOwnsNewestFirst) {
  std::vector<std::string> log;
  gLog = &log;
  auto* form = new TLogged(nullptr, "Form1");
  auto* a = new TLogged(form, "ComPort1");
  new TLogged(form, "TKIndic1");
  new TLogged(a, "Inner");
  EXPECT_EQ(form->ComponentCount(), 2);
  EXPECT_EQ(form->FindComponent("tkindic1")->Name(), "TKIndic1");
  EXPECT_EQ(form->FindComponent("Inner"), nullptr); // only direct children
  delete form;
  gLog = nullptr;
  // The owner's own destructor body runs first; the base part then frees the owned ones.
  EXPECT_EQ(log, (std::vector<std::string>{"free Form1", "free TKIndic1", "free ComPort1",
                                           "free Inner"}));
}

TEST(TComponent, FreeingAChildRemovesItFromItsOwner) {
  TLogged form(nullptr, "Form1");
  auto* child = new TLogged(&form, "Memo1");
  delete child;
  EXPECT_EQ(form.ComponentCount(), 0);
  auto* moved = new TLogged(&form, "X");
  TLogged other(nullptr, "Other");
  other.InsertComponent(moved);
  EXPECT_EQ(form.ComponentCount(), 0);
  EXPECT_EQ(moved->Owner(), &other);
}

TEST(TComponent, LoadingStateEndsWithLoaded) {
  std::vector<std::string> log;
  gLog = &log;
  {
    TLogged form(nullptr, "Form1");
    auto* port = new TLogged(&form, "ComPort1");
    form.BeginLoading();
    EXPECT_TRUE(port->ComponentState().Contains(csLoading));
    form.EndLoading();
    EXPECT_TRUE(port->WasLoading);
    EXPECT_FALSE(port->ComponentState().Contains(csLoading));
    EXPECT_FALSE(form.ComponentState().Contains(csLoading));
    form.SetDesigning(true);
    EXPECT_TRUE(port->ComponentState().Contains(csDesigning));
  }
  gLog = nullptr;
  EXPECT_EQ(log[0], "loaded ComPort1");
  EXPECT_EQ(log[1], "loaded Form1");
}

namespace {

class TWorker : public TThread {
public:
  std::function<void(TWorker*)> Body;
  std::atomic<DWORD> RanOn{0};
  ~TWorker() override {
    Terminate();
    WaitFor();
  }

protected:
  void Execute() override {
    RanOn = GetCurrentThreadId();
    if (Body) Body(this);
  }
};

} // namespace

TEST(TThread, RunsOnItsOwnThreadAndReportsItsResult) {
  TWorker worker;
  worker.Body = [](TWorker* w) { w->ReturnValue = 42; };
  worker.Start();
  EXPECT_EQ(worker.WaitFor(), 42u);
  EXPECT_TRUE(worker.Finished());
  EXPECT_NE(worker.RanOn.load(), 0u);
  EXPECT_NE(worker.RanOn.load(), GetCurrentThreadId());
  EXPECT_EQ(MainThreadID(), GetCurrentThreadId());
}

TEST(TThread, SynchronizeRunsOnTheMainThreadWhileItWaits) {
  TWorker worker;
  std::vector<DWORD> ranOn;
  worker.Body = [&](TWorker* w) {
    for (int i = 0; i < 3; ++i)
      w->Synchronize([&] { ranOn.push_back(GetCurrentThreadId()); });
  };
  worker.Start();
  worker.WaitFor(); // serves the three requests
  ASSERT_EQ(ranOn.size(), 3u);
  for (DWORD id : ranOn)
    EXPECT_EQ(id, MainThreadID());
}

TEST(TThread, SynchronizeRaisesTheMethodsExceptionInTheCaller) {
  TWorker worker;
  std::string caught;
  worker.Body = [&](TWorker* w) {
    try {
      w->Synchronize([] { throw Exception("boom"); });
    } catch (const Exception& e) {
      caught = e.Message();
    }
  };
  worker.Start();
  worker.WaitFor();
  EXPECT_EQ(caught, "boom");
}

TEST(TThread, OnMainThreadSynchronizeCallsDirectly) {
  bool ran = false;
  TThread::StaticSynchronize([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_FALSE(CheckSynchronize());
}

namespace {
std::atomic<int> gFreed{0};
class TSelfFreeing : public TThread {
public:
  explicit TSelfFreeing(HANDLE done) : FDone(done) { FreeOnTerminate = true; }
  ~TSelfFreeing() override {
    ++gFreed;
    SetEvent(FDone);
  }

protected:
  void Execute() override {}

private:
  HANDLE FDone;
};
} // namespace

TEST(TThread, FreeOnTerminateDeletesItselfAndRunsOnTerminateFirst) {
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(done, nullptr);
  int before = gFreed;
  auto* t = new TSelfFreeing(done);
  bool terminated = false;
  t->OnTerminate = [&](TThread*) { terminated = gFreed == before; };
  t->Start();
  // OnTerminate is synchronised: pump until the thread has freed itself.
  while (MsgWaitForMultipleObjects(1, &done, FALSE, 10000, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1)
    CheckSynchronize();
  EXPECT_EQ(gFreed, before + 1);
  EXPECT_TRUE(terminated);
  CloseHandle(done);
}

TEST(TThread, RunStartsAtOnceAndPriorityIsKept) {
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  TSelfFreeing* t = TThread::Run<TSelfFreeing>(done);
  (void)t;
  EXPECT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
  CloseHandle(done);

  TWorker worker;
  worker.SetPriority(tpHigher); // may be refused by the system; still remembered
  worker.Start();
  worker.WaitFor();
  EXPECT_EQ(worker.Priority(), tpHigher);
}
