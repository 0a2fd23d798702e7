#include "Unit2.h"

#include <algorithm>

#include "Unit1.h"
#include "framework/Button.h"
#include "framework/RadioGroup.h"
#include "serial/ComPort.h"

TForm2* Form2 = nullptr;

// Four numbers for two items: only COM1 and COM2 can be picked.
const uint16_t ComNumberTable[4] = {1, 2, 3, 4};
const int32_t BaudTable[7] = {4800, 9600, 14400, 19200, 38400, 57600, 115200};

TForm2::TForm2(TComponent* owner) : TForm(owner, ":/fwload/Unit2.ui") {
  Rate = Find<TRadioGroup>("Rate");
  PortNumber = Find<TRadioGroup>("PortNumber");
  Button1 = Find<TButton>("Button1");
  Button2 = Find<TButton>("Button2");
  OnShow = [this](TObject* sender) { FormShow(sender); };
  OnActivate = [this](TObject* sender) { FormActivate(sender); };
  Button1->OnClick = [this](TObject* sender) { Button1Click(sender); };
  FitGroups();
}

// The designed sizes fit the designer's font. Where this desktop's font needs more room, a
// group grows, what lies right of or below it moves along, and the dialog keeps its margins.
void TForm2::FitGroups() {
  int gap = Rate->Left() - (PortNumber->Left() + PortNumber->Width());
  int portBottom = PortNumber->Top() + PortNumber->Height();
  int right = ClientWidth() - (Rate->Left() + Rate->Width());
  int bottom =
      ClientHeight() - std::max(Rate->Top() + Rate->Height(), Button2->Top() + Button2->Height());
  PortNumber->GrowToFit();
  Rate->GrowToFit();
  Rate->SetLeft(std::max(Rate->Left(), PortNumber->Left() + PortNumber->Width() + gap));
  int down = PortNumber->Top() + PortNumber->Height() - portBottom;
  for (TButton* b : {Button1, Button2})
    b->SetTop(b->Top() + down);
  SetClientSize(std::max(ClientWidth(), Rate->Left() + Rate->Width() + right),
                std::max(ClientHeight(), std::max(Rate->Top() + Rate->Height(),
                                                  Button2->Top() + Button2->Height()) +
                                             bottom));
}

void TForm2::FormShow(TObject*) {
  // Outer sizes; C++ division truncates towards zero as the layout rule wants.
  SetLeft(Form1->Left() + Form1->Width() / 2 - Width() / 2);
  SetTop(Form1->Top() + Form1->Height() / 2 - Height() / 2);
}

void TForm2::FormActivate(TObject*) {
  int32_t baud = Form1->ComPort1->Baud();
  for (int i = 0; i < 7; ++i)
    if (BaudTable[i] == baud) {
      Rate->SetItemIndex(i);
      return;
    }
}

void TForm2::Button1Click(TObject*) {
  int port = PortNumber->ItemIndex();
  int rate = Rate->ItemIndex();
  // A group without a selection changes nothing rather than read outside the tables.
  if (port >= 0 && port < 4) Form1->ComPort1->SetComNumber(ComNumberTable[port]);
  if (rate >= 0 && rate < 7) Form1->ComPort1->SetBaud(BaudTable[rate]);
}
