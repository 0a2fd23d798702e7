// TComSelectForm: the modal dialog that lets the user pick a present serial port when the
// component has none configured. The serial layer reaches it through its chooser hook.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/Form.h"

class TBevel;
class TButton;
class TComboBox;
class TLabel;

class TComSelectForm : public TForm {
public:
  // `ports`: the numbers to offer, ascending; FormCreate lists them as "COMn".
  TComSelectForm(TComponent* owner, std::vector<unsigned> ports);

  void FormCreate(TObject* sender);
  // The text of the selected item, and its number (EConvertError when it is none).
  std::string SelectedCom() const;
  uint16_t SelectedComNum() const;

  TLabel* Label1;
  TLabel* Label2;
  TBevel* Bevel1;
  TComboBox* PortsComboBox;
  TButton* OkBtn;
  TButton* AbortBtn;

private:
  void FitLabels();
  std::vector<unsigned> FPorts;
};

// Shows the dialog for `ports`: the chosen number, or -1 when the user cancels or closes it.
// A confirmed empty list raises the conversion error of SelectedComNum.
int ChooseComPortWithDialog(const std::vector<unsigned>& ports);

// Makes the serial layer show this dialog where a port must be chosen.
void InstallComSelectForm();
