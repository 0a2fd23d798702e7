// The component model (TComponent) and the thread class (TThread).
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "platform/Win32.h"
#include "runtime/Sets.h"
#include "runtime/SysUtils.h"

enum TComponentStateItem { csLoading, csReading, csWriting, csDestroying, csDesigning };
using TComponentState = TSet<TComponentStateItem>;
enum TOperation { opInsert, opRemove };

// A component belongs to its owner, which frees it; Loaded ends the loading state.
class TComponent : public TObject {
public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  void SetName(const std::string& name) { FName = name; }
  TComponentState ComponentState() const { return FComponentState; }
  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int index) const { return FComponents.at(index); }
  TComponent* FindComponent(const std::string& name) const;

  // Marks this component and everything it owns as being loaded (csLoading) ...
  void BeginLoading();
  // ... and ends that state, calling Loaded on each (owned components first).
  void EndLoading();
  void SetDesigning(bool designing);

  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);

protected:
  // Called when loading ends; clears csLoading. Overrides call the inherited one first.
  virtual void Loaded();
  // Told when a component is added to or removed from this one's owned list.
  virtual void Notification(TComponent* component, TOperation operation);

private:
  TComponent* FOwner = nullptr;
  std::string FName;
  TComponentState FComponentState;
  std::vector<TComponent*> FComponents;
};

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// A thread of its own running Execute. Construct suspended, then Start; TThread::Run<T>(...)
// does both, which is what "created running" means here (C++ cannot start Execute from the
// base constructor before the derived object exists). With FreeOnTerminate the object deletes
// itself after Execute returns; the caller must not touch it after Start then.
class TThread : public TObject {
public:
  TThread();
  ~TThread() override;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  template <typename T, typename... Args> static T* Run(Args&&... args) {
    T* thread = new T(std::forward<Args>(args)...);
    thread->Start();
    return thread;
  }

  void Start();
  void Terminate() { FTerminated.store(true); }
  bool Terminated() const { return FTerminated.load(); }
  // Waits until Execute has returned; on the main thread it keeps running Synchronize calls.
  DWORD WaitFor();
  bool Finished() const { return FFinished.load(); }

  bool FreeOnTerminate = false;
  DWORD ReturnValue = 0;
  // Runs on the main thread after Execute returns (through Synchronize), before any free.
  std::function<void(TThread*)> OnTerminate;

  TThreadPriority Priority() const { return FPriority; }
  void SetPriority(TThreadPriority priority);
  HANDLE Handle() const { return FHandle; }
  DWORD ThreadID() const { return FThreadID; }

  // Runs `method` on the main thread and waits for it; an exception it raises is raised
  // again in the calling thread. Called on the main thread, it runs the method directly.
  void Synchronize(const std::function<void()>& method);
  static void StaticSynchronize(const std::function<void()>& method);

protected:
  virtual void Execute() = 0;

private:
  static DWORD WINAPI ThreadProc(LPVOID self);
  HANDLE FHandle = nullptr;
  DWORD FThreadID = 0;
  TThreadPriority FPriority = tpNormal;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  bool FStarted = false;
};

// The thread that ran the program's static initialisers (the user-interface thread).
DWORD MainThreadID();
// Runs the Synchronize calls waiting for the main thread; returns whether it ran any.
bool CheckSynchronize();
