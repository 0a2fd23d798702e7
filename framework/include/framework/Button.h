// TButton: a push button; its ModalResult closes a modal form.
#pragma once

#include <QPushButton>

#include "framework/Control.h"

class TButton : public QPushButton, public TControl {
public:
  explicit TButton(TComponent* owner);

  std::string Caption() const override;
  void SetCaption(const std::string& caption) override;
  TModalResult ModalResult() const { return FModalResult; }
  void SetModalResult(TModalResult result) { FModalResult = result; }
  // Enter presses the default button, Escape the cancel button, wherever the focus is.
  bool Default() const { return FDefault; }
  void SetDefault(bool value);
  bool Cancel() const { return FCancel; }
  void SetCancel(bool value) { FCancel = value; }

  // As a press: gives the parent form the modal result, then runs OnClick.
  void Click();

  bool SetProperty(const std::string& name, const QVariant& value) override;

protected:
  void ColorChanged() override;

private:
  TModalResult FModalResult = mrNone;
  bool FDefault = false;
  bool FCancel = false;
};
