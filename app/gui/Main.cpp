// fwload: updates a device's firmware through its serial boot loader.
#include "ComSelectForm.h"
#include "Unit1.h"
#include "Unit2.h"
#include "app/Settings.h"
#include "framework/Application.h"

int main() {
  try {
    Application->Initialize();
    Application->SetTitle("Загрузчик");
    // The settings file's port map comes first: the main window opens its port at creation.
    ApplyPortMap(SettingsReadPath());
    InstallComSelectForm();
    Application->CreateForm(Form1);
    Application->CreateForm(Form2);
    Application->Run();
  } catch (const Exception& e) {
    Application->ShowException(e);
    Application->Finalize();
  } catch (const std::exception& e) {
    Application->ShowException(Exception(e.what()));
    Application->Finalize();
  }
  return 0;
}
