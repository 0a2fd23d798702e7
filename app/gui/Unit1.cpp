#include "Unit1.h"

#include <QIcon>

#include "Unit2.h"
#include "app/ComPortUploadPort.h"
#include "app/Settings.h"
#include "framework/Action.h"
#include "framework/Application.h"
#include "framework/ControlBar.h"
#include "framework/Memo.h"
#include "framework/OpenDialog.h"
#include "framework/ToolBar.h"
#include "gauge/Gauge.h"
#include "serial/ComPort.h"

TForm1* Form1 = nullptr;

TForm1::TForm1(TComponent* owner)
    : TForm(owner, ":/fwload/Unit1.ui"), SettingsFile(SettingsFilePath()) {
  ControlBar1 = Find<TControlBar>("ControlBar1");
  ToolBar1 = Find<TToolBar>("ToolBar1");
  ToolButton1 = Find<TToolButton>("ToolButton1");
  ToolButton2 = Find<TToolButton>("ToolButton2");
  ToolButton3 = Find<TToolButton>("ToolButton3");
  ToolButton4 = Find<TToolButton>("ToolButton4");
  Memo1 = Find<TMemo>("Memo1");
  TKIndic1 = Find<TProgressGauge>("TKIndic1");
  OpenDialog1 = Find<TOpenDialog>("OpenDialog1");
  ActionList1 = Find<TActionList>("ActionList1");
  WriteDevice = Find<TAction>("WriteDevice");

  // The port as the window's resource configures it; the rest at the component's defaults.
  ComPort1 = new TSioComPort(this);
  ComPort1->SetName("ComPort1");
  ComPort1->BeginLoading();
  ComPort1->SetComNumber(1);
  ComPort1->SetBaud(9600);
  ComPort1->SetAutoOpen(false);
  ComPort1->SetRTS(false);
  ComPort1->SetSWFlowOptions(swfReceive);
  ComPort1->SetBufferFull(3072);
  ComPort1->SetBufferResume(1024);
  ComPort1->SetTraceName("SERIAL.TRC");
  ComPort1->SetLogName("SERIAL.LOG");
  ComPort1->EndLoading();

  setWindowIcon(QIcon(":/fwload/fwload.xpm"));
  OnCreate = [this](TObject* sender) { FormCreate(sender); };
  OnClose = [this](TObject* sender, TCloseAction& action) { FormClose(sender, action); };
  OnCloseQuery = [this](TObject* sender, bool& canClose) { FormCloseQuery(sender, canClose); };
  ToolButton2->OnClick = [this](TObject* sender) { ToolButton2Click(sender); };
  ToolButton1->OnClick = [this](TObject* sender) { EditComSettingExecute(sender); };
  WriteDevice->OnExecute = [this](TObject* sender) { WriteDeviceExecute(sender); };
  ToolButton4->OnClick = [this](TObject* sender) { ToolButton4Click(sender); };
}

TForm1::~TForm1() = default;

void TForm1::FormCreate(TObject*) {
  ComPort1->SetOpen(true);
  LoadSettings();
  FBusy = false;
}

void TForm1::FormCloseQuery(TObject*, bool& canClose) {
  canClose = !FBusy;
}

void TForm1::FormClose(TObject*, TCloseAction&) {
  ComPort1->SetOpen(false);
  // A settings file that cannot be written is reported, but it does not keep the program
  // from ending (the user could otherwise never close it).
  try {
    SaveSettings();
  } catch (...) {
    Application->HandleException(this);
  }
}

void TForm1::ToolButton2Click(TObject*) {
  OpenDialog1->InitialDir = GetCurrentDir();
  if (OpenDialog1->Execute()) FileName = OpenDialog1->FileName;
}

void TForm1::EditComSettingExecute(TObject*) {
  FReopenAtUpdate = false; // the dialog's own reopen decides from here on
  ComPort1->SetOpen(false);
  Form2->ShowModal();
  ComPort1->SetOpen(true);
}

namespace {

// A device that went away (adapter pulled) leaves the open port with a handle that fails
// every operation. A purge tells: it is harmless before an upload, which purges anyway.
bool PortDeviceGone(TSioComPort& port) {
  if (!port.Open()) return false;
  try {
    port.FlushInBuffer();
    return false;
  } catch (const ESioException&) {
    return true;
  }
}

} // namespace

void TForm1::WriteDeviceExecute(TObject*) {
  // Opened afresh, the port finds the device again once it is back, without a restart; if it
  // is still missing, the open's own error says so.
  if (FReopenAtUpdate || PortDeviceGone(*ComPort1)) {
    FReopenAtUpdate = true; // until an open succeeds
    ComPort1->SetOpen(false);
    ComPort1->SetOpen(true);
    FReopenAtUpdate = false;
  }
  TComPortUploadPort port(*ComPort1);
  TUploadEngine engine(*this, port);
  try {
    engine.Run(FileName);
  } catch (const ESioException&) {
    // Gone in the middle of the upload: the log ends as for a device that stopped answering,
    // and the port's error is shown as well.
    if (PortDeviceGone(*ComPort1)) AddLogLine(uploadtext::NoAnswer);
    throw;
  }
}

void TForm1::ToolButton4Click(TObject*) {
  FBusy = false;
}

void TForm1::SetIdle(bool idle) {
  ToolButton1->SetEnabled(idle);
  ToolButton2->SetEnabled(idle);
  ToolButton3->SetEnabled(idle);
  ToolButton4->SetEnabled(!idle);
  FBusy = !idle;
}

void TForm1::LoadSettings() {
  TSettings s = ReadSettingsFile(SettingsReadPath(SettingsFile, ParamStr0()));
  SetTop(s.Top);
  SetLeft(s.Left);
  // A place saved on a screen that is gone would leave nothing of the window to grab.
  KeepTitleBarOnScreen();
  ComPort1->SetComNumber(s.ComNumber);
  ComPort1->SetBaud(s.Baud);
}

void TForm1::SaveSettings() {
  TSettings s;
  s.Top = Top();
  s.Left = Left();
  s.ComNumber = ComPort1->ComNumber();
  s.Baud = ComPort1->Baud();
  WriteSettingsFile(SettingsFile, s);
}

void TForm1::ClearLog() {
  Memo1->Lines()->Clear();
}

void TForm1::AddLogLine(const std::string& line) {
  Memo1->Lines()->Add(line);
}

void TForm1::SetProgress(long percent) {
  TKIndic1->SetProgress(static_cast<int32_t>(percent));
}

void TForm1::ProcessMessages() {
  Application->ProcessMessages();
}

void TForm1::WaitForActivity(uint32_t timeoutMs) {
  Application->WaitAndProcessMessages(timeoutMs);
}

void TForm1::Wake() {
  TApplication::Wake();
}
