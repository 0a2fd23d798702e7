// TForm1: fwload's main window: the tool bar (File, Settings, Update, Stop), the log, the
// progress gauge, and the serial port the upload goes through.
#pragma once

#include <memory>
#include <string>

#include "app/UploadEngine.h"
#include "framework/Form.h"

class TAction;
class TActionList;
class TControlBar;
class TMemo;
class TOpenDialog;
class TProgressGauge;
class TSioComPort;
class TToolBar;
class TToolButton;

class TForm1 : public TForm, private TUploadHost {
public:
  explicit TForm1(TComponent* owner);
  ~TForm1() override;

  void FormCreate(TObject* sender);
  void FormClose(TObject* sender, TCloseAction& action);
  void FormCloseQuery(TObject* sender, bool& canClose);
  void ToolButton2Click(TObject* sender);
  void EditComSettingExecute(TObject* sender);
  void WriteDeviceExecute(TObject* sender);
  void ToolButton4Click(TObject* sender);
  void SetIdle(bool idle) override;
  void LoadSettings();
  void SaveSettings();

  TSioComPort* ComPort1;
  TControlBar* ControlBar1;
  TToolBar* ToolBar1;
  TToolButton* ToolButton1;
  TToolButton* ToolButton2;
  TToolButton* ToolButton3;
  TToolButton* ToolButton4;
  TMemo* Memo1;
  TProgressGauge* TKIndic1;
  TOpenDialog* OpenDialog1;
  TActionList* ActionList1;
  TAction* WriteDevice;

  // Where LoadSettings and SaveSettings find the settings file (the program's own by default;
  // tests point it elsewhere before the form is created).
  std::string SettingsFile;
  // The encoded file last chosen with File (full path); empty until then.
  std::string FileName;
  // True while an upload runs; Stop clears it.
  bool Busy() override { return FBusy; }

private:
  // The upload's view of this window.
  void ClearLog() override;
  void AddLogLine(const std::string& line) override;
  void SetProgress(long percent) override;
  void ProcessMessages() override;
  void WaitForActivity(uint32_t timeoutMs) override;
  void Wake() override;

  bool FBusy = false;
  // Update's reopen of a port whose device had gone failed: the next Update tries again.
  bool FReopenAtUpdate = false;
};

extern TForm1* Form1;
