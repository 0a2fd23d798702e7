// TPopupMenu and TMenuItem: the menu a control shows on a right click (its PopupMenu), or
// that code pops up at a screen point.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "framework/Control.h"

class QMenu;

class TPopupMenu;

class TMenuItem : public TComponent, public TPublished {
public:
  explicit TMenuItem(TComponent* owner) : TComponent(owner) {}
  ~TMenuItem() override;

  std::string Caption() const { return FCaption; }
  void SetCaption(const std::string& caption) { FCaption = caption; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool enabled) { FEnabled = enabled; }
  bool Checked() const { return FChecked; }
  void SetChecked(bool checked) { FChecked = checked; }
  // Runs OnClick with the item as sender (as choosing it in the menu does).
  void Click();

  TNotifyEvent OnClick;

  bool SetProperty(const std::string& name, const QVariant& value) override;

private:
  friend class TPopupMenu;
  TPopupMenu* FPopup = nullptr;
  std::string FCaption;
  bool FEnabled = true;
  bool FChecked = false;
};

class TPopupMenu : public TComponent, public TPublished {
public:
  explicit TPopupMenu(TComponent* owner);
  ~TPopupMenu() override;

  // The items in menu order; they stay owned by their owner (usually the form).
  void Add(TMenuItem* item);
  int Count() const { return static_cast<int>(FItems.size()); }
  TMenuItem* Items(int index) const;
  // The control whose right click opened the menu last, or nullptr.
  TControl* PopupComponent() const { return FPopupComponent; }

  // Shows the menu at a screen point and returns once it is closed; a chosen item's OnClick
  // has run by then. The menu shown is Menu() while it is open (tests pick items there).
  void Popup(int x, int y);
  QMenu* Menu() const { return FMenu.get(); }

  TNotifyEvent OnPopup;

  bool SetProperty(const std::string&, const QVariant&) override { return false; }

private:
  friend class TControl;
  friend class TMenuItem;
  void Attach(TControl* control);
  void Detach(TControl* control);
  void Remove(TMenuItem* item);

  std::vector<TMenuItem*> FItems;
  std::vector<TControl*> FControls; // controls whose PopupMenu this is
  std::unique_ptr<QMenu> FMenu;
  TControl* FPopupComponent = nullptr;
};
