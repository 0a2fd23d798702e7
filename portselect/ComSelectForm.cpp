#include "ComSelectForm.h"

#include <algorithm>

#include "framework/Application.h"
#include "framework/Bevel.h"
#include "framework/Button.h"
#include "framework/ComboBox.h"
#include "framework/Label.h"
#include "runtime/SysUtils.h"
#include "serial/PortSelect.h"

TComSelectForm::TComSelectForm(TComponent* owner, std::vector<unsigned> ports)
    : TForm(owner, ":/portselect/ComSelect.ui"), FPorts(std::move(ports)) {
  Label1 = Find<TLabel>("Label1");
  Label2 = Find<TLabel>("Label2");
  Bevel1 = Find<TBevel>("Bevel1");
  PortsComboBox = Find<TComboBox>("PortsComboBox");
  OkBtn = Find<TButton>("OkBtn");
  AbortBtn = Find<TButton>("AbortBtn");
  OnCreate = [this](TObject* sender) { FormCreate(sender); };
  FitLabels();
}

// The labels size themselves to their text, which with this desktop's font may be wider than
// the designer's: the bevel around them widens to keep its margin, and the list, the Cancel
// button and the dialog's right edge move along with it.
void TComSelectForm::FitLabels() {
  int bevelRight = Bevel1->Left() + Bevel1->Width();
  int margin = Label1->Left() - Bevel1->Left(); // as much room on the right as on the left
  int widest = std::max(Label1->Left() + Label1->Width(), Label2->Left() + Label2->Width());
  int extra = std::max(0, widest + margin - bevelRight);
  if (extra == 0) return;
  Bevel1->SetBounds(Bevel1->Left(), Bevel1->Top(), Bevel1->Width() + extra, Bevel1->Height());
  PortsComboBox->SetBounds(PortsComboBox->Left(), PortsComboBox->Top(),
                           PortsComboBox->Width() + extra, PortsComboBox->Height());
  AbortBtn->SetLeft(AbortBtn->Left() + extra);
  SetClientWidth(ClientWidth() + extra);
}

void TComSelectForm::FormCreate(TObject*) {
  PortsComboBox->Items()->Clear();
  for (unsigned n : FPorts)
    if (n >= 1 && n <= 50) PortsComboBox->Items()->Add(Format("COM%u", n));
  PortsComboBox->SetItemIndex(0);
}

std::string TComSelectForm::SelectedCom() const {
  int index = PortsComboBox->ItemIndex();
  if (index < 0 || index >= PortsComboBox->Items()->Count()) return "";
  return PortsComboBox->Items()->Strings(index);
}

uint16_t TComSelectForm::SelectedComNum() const {
  std::string text = SelectedCom();
  return static_cast<uint16_t>(StrToInt(text.size() > 3 ? text.substr(3) : ""));
}

int ChooseComPortWithDialog(const std::vector<unsigned>& ports) {
  auto* form = new TComSelectForm(Application, ports);
  try {
    form->AfterConstruction();
    int chosen = form->ShowModal() == mrOk ? form->SelectedComNum() : -1;
    delete form;
    return chosen;
  } catch (...) {
    delete form;
    throw;
  }
}

void InstallComSelectForm() {
  SetComPortChooser([](const std::vector<unsigned>& ports) {
    int chosen = ChooseComPortWithDialog(ports);
    return chosen < 0 ? PortChoiceCancelled : chosen;
  });
}
