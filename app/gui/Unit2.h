// TForm2: the COM settings dialog (port number and line speed of the main window's port).
#pragma once

#include "framework/Form.h"

class TButton;
class TRadioGroup;

class TForm2 : public TForm {
public:
  explicit TForm2(TComponent* owner);

  void FormShow(TObject* sender);
  void FormActivate(TObject* sender);
  void Button1Click(TObject* sender);

  TRadioGroup* Rate;
  TRadioGroup* PortNumber;
  TButton* Button1;
  TButton* Button2;

private:
  void FitGroups();
};

extern TForm2* Form2;

// What the dialog's groups stand for, by item index.
extern const uint16_t ComNumberTable[4];
extern const int32_t BaudTable[7];
