#include "framework/Button.h"

#include "framework/Form.h"

TButton::TButton(TComponent* owner) : QPushButton(nullptr), TControl(owner, this) {
  // Enter presses the focused button, as everywhere on this desktop's dialogs.
  setAutoDefault(true);
  QObject::connect(this, &QPushButton::clicked, this,
                   [this] { SafeCall(this, [this] { Click(); }); });
}

std::string TButton::Caption() const {
  return text().toStdString();
}

void TButton::SetCaption(const std::string& caption) {
  setText(QString::fromStdString(caption));
}

void TButton::SetDefault(bool value) {
  FDefault = value;
  setDefault(value);
}

void TButton::Click() {
  if (FModalResult != mrNone)
    if (TForm* form = GetParentForm(this)) form->SetModalResult(FModalResult);
  if (OnClick) OnClick(this);
}

void TButton::ColorChanged() {
  QPalette p = palette();
  p.setColor(QPalette::Button, ColorToQColor(Color()));
  setPalette(p);
}

bool TButton::SetProperty(const std::string& name, const QVariant& value) {
  if (name == "ModalResult") {
    SetModalResult(props::Enum<TModalResult>(value, {{"mrNone", mrNone},
                                                     {"mrOk", mrOk},
                                                     {"mrCancel", mrCancel},
                                                     {"mrAbort", mrAbort},
                                                     {"mrRetry", mrRetry},
                                                     {"mrIgnore", mrIgnore},
                                                     {"mrYes", mrYes},
                                                     {"mrNo", mrNo}}));
  } else if (name == "Default" || name == "default")
    SetDefault(props::Bool(value));
  else if (name == "Cancel")
    SetCancel(props::Bool(value));
  else
    return TControl::SetProperty(name, value);
  return true;
}
