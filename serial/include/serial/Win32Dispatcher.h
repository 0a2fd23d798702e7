// TSioWin32Dispatcher: the dispatcher's device operations on a Win32 communications resource
// opened for overlapped I/O ("\\.\COMn"), and the start and stop of its three threads.
// TSioTAPI32Dispatcher runs the same on a device handle opened by someone else.
#pragma once

#include "serial/Dispatcher.h"

// A class derived from this one closes the port in its own destructor as well
// (CloseForDestruction): the threads call its operations until they have ended.
class TSioWin32Dispatcher : public TSioBaseDispatcher {
public:
  explicit TSioWin32Dispatcher(TComponent* owner);
  ~TSioWin32Dispatcher() override;

  int EscapeComFunction(int func) override;
  int FlushCom(int queue) override;
  int GetComError(COMSTAT& stat) override;
  int GetComEventMask(int mask) override;
  int GetComState(DCB& dcb) override;
  int ReadCom(char* buf, int size) override;
  int SetComState(DCB& dcb) override;
  int WriteCom(const char* buf, int size) override;
  bool WaitComEvent(DWORD& evtMask, LPOVERLAPPED ov) override;
  bool SetupCom(int inSize, int outSize) override;
  // Raises Exception("Dispatcher already started") on a started dispatcher.
  void StartDispatcher() override;
  void StopDispatcher() override;
  int OpenCom(const char* portName, unsigned inSize, unsigned outSize) override;
  int CloseCom() override;
  int ProcessCommunications() override;

protected:
  // The port handle as the int the dispatcher keeps (handles are small non-negative values).
  static int HandleToCid(HANDLE h);
  bool CreateIoEvents();
  void CloseIoEvents();
  template <class T> void StartThread(std::atomic<TSioDispatcherThread*>& thread);
  // Flow control holds the output (as the last status read shows it).
  static bool OutputHeld(const COMSTAT& st);
  // Writes the ring's bytes on the calling thread (transmit lock held, ring was empty, no
  // write in flight); true when the driver took them all.
  bool WriteDirect();

  OVERLAPPED FReadOv{};
  std::atomic<HANDLE> FReadEvent{nullptr};
  OVERLAPPED FSpareOv{};
  std::atomic<HANDLE> FSpareEvent{nullptr};
};

class TSioTAPI32Dispatcher : public TSioWin32Dispatcher {
public:
  // `portHandle` is a device handle opened elsewhere; the dispatcher closes it at its close.
  TSioTAPI32Dispatcher(TComponent* owner, HANDLE portHandle);
  ~TSioTAPI32Dispatcher() override;
  int OpenCom(const char* portName, unsigned inSize, unsigned outSize) override;

private:
  HANDLE FTapiHandle;
};
