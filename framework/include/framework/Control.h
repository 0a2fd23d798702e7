// TControl: what every visual component shares, on top of the Qt widget it is.
#pragma once

#include <functional>
#include <string>

#include "framework/Graphics.h"
#include "framework/Properties.h"
#include "runtime/Classes.h"

class QWidget;
class TForm;
class TPopupMenu;

using TNotifyEvent = std::function<void(TObject* sender)>;

// Modal results: what a modal form's ShowModal returns.
using TModalResult = int;
constexpr TModalResult mrNone = 0;
constexpr TModalResult mrOk = 1;
constexpr TModalResult mrCancel = 2;
constexpr TModalResult mrAbort = 3;
constexpr TModalResult mrRetry = 4;
constexpr TModalResult mrIgnore = 5;
constexpr TModalResult mrYes = 6;
constexpr TModalResult mrNo = 7;

enum TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };
enum TAnchorKind { akLeft, akTop, akRight, akBottom };
using TAnchors = TSet<TAnchorKind>;
enum TFormBorderStyle : uint8_t {
  bsNone,
  bsSingle,
  bsSizeable,
  bsDialog,
  bsToolWindow,
  bsSizeToolWin
};
enum TControlStyleItem { csAcceptsControls, csCaptureMouse, csClickEvents, csFramed, csOpaque };
using TControlStyle = TSet<TControlStyleItem>;

struct TSizeConstraints {
  int MinWidth = 0;
  int MinHeight = 0;
  int MaxWidth = 0; // 0: no limit
  int MaxHeight = 0;
  bool operator==(const TSizeConstraints&) const = default;
};

// Runs code that Qt called us for. An exception never travels into Qt: it goes to
// Application->HandleException with `sender`, and the program goes on.
void HandleHandlerException(TObject* sender) noexcept;
template <typename F> void SafeCall(TObject* sender, F&& code) noexcept {
  try {
    code();
  } catch (...) {
    HandleHandlerException(sender);
  }
}

// A control is its Qt widget (each control class derives from one) and a component owned by
// its form. The owner frees it; a parent widget that goes first takes it along, and it then
// leaves its owner's list by itself.
class TControl : public TComponent, public TPublished {
public:
  ~TControl() override;

  QWidget* Widget() const { return FWidget; }
  TControl* Parent() const { return FParent; }
  virtual void SetParent(TControl* parent);
  // The widget that holds this control's children.
  virtual QWidget* ClientWidget() const { return FWidget; }

  // Geometry in the parent's client coordinates (a form: its outer frame on the screen).
  virtual int Left() const;
  virtual int Top() const;
  virtual int Width() const;
  virtual int Height() const;
  virtual void SetBounds(int left, int top, int width, int height);
  void SetLeft(int left) { SetBounds(left, Top(), Width(), Height()); }
  void SetTop(int top) { SetBounds(Left(), top, Width(), Height()); }
  void SetWidth(int width) { SetBounds(Left(), Top(), width, Height()); }
  void SetHeight(int height) { SetBounds(Left(), Top(), Width(), height); }
  virtual int ClientWidth() const;
  virtual int ClientHeight() const;
  TRect ClientRect() const { return {0, 0, ClientWidth(), ClientHeight()}; }
  TRect BoundsRect() const { return Bounds(Left(), Top(), Width(), Height()); }

  bool Enabled() const;
  virtual void SetEnabled(bool enabled);
  // Whether the control is meant to show (it shows once its parent does).
  virtual bool Visible() const;
  virtual void SetVisible(bool visible);
  void Show() { SetVisible(true); }
  void Hide() { SetVisible(false); }

  TColor Color() const { return FColor; }
  void SetColor(TColor color);
  bool ParentColor() const { return FParentColor; }
  void SetParentColor(bool parentColor);
  // Changing the font (also through Font()->Set...) ends taking the parent's font.
  TFont* Font() { return &FFont; }
  const TFont* Font() const { return &FFont; }
  void SetFont(const TFont& font) { FFont.Assign(font); }
  bool ParentFont() const { return FParentFont; }
  void SetParentFont(bool parentFont);

  virtual std::string Caption() const { return FCaption; }
  virtual void SetCaption(const std::string& caption) { FCaption = caption; }

  TAlign Align() const { return FAlign; }
  void SetAlign(TAlign align);
  TAnchors Anchors() const { return FAnchors; }
  void SetAnchors(TAnchors anchors) { FAnchors = anchors; }
  const TSizeConstraints& Constraints() const { return FConstraints; }
  void SetConstraints(const TSizeConstraints& constraints);

  std::string Hint() const { return FHint; }
  void SetHint(const std::string& hint);
  bool ShowHint() const { return FShowHint; }
  void SetShowHint(bool showHint);
  bool ParentShowHint() const { return FParentShowHint; }
  void SetParentShowHint(bool parentShowHint);
  bool TabStop() const;
  void SetTabStop(bool tabStop);

  TControlStyle ControlStyle() const { return FControlStyle; }
  void SetControlStyle(TControlStyle style);

  // Repaints at once (Refresh, Repaint) or when the loop next paints (Invalidate).
  virtual void Refresh();
  void Repaint() { Refresh(); }
  void Invalidate();

  // The menu a right click on the control shows; nullptr for none.
  TPopupMenu* PopupMenu() const { return FPopupMenu; }
  void SetPopupMenu(TPopupMenu* menu);

  int Tag = 0;
  TNotifyEvent OnClick;

  // The form reader's way in: sets the published property `name`; false when there is none.
  bool SetProperty(const std::string& name, const QVariant& value) override;

protected:
  TControl(TComponent* owner, QWidget* widget);
  // Apply Color and Font to the widget; overrides pick the palette roles that matter.
  virtual void ColorChanged();
  virtual void FontChanged();
  // Lays out children with Align, and with Anchors by how much the client area changed
  // since the last call (so calling it twice moves nothing twice).
  void AlignControls();
  void Loaded() override;

private:
  void InheritFont(const TFont& font);
  void InheritColor(TColor color);
  void InheritShowHint(bool showHint);
  void UserFontChanged();
  template <typename F> void ForEachChild(F&& f) const;

  QWidget* FWidget;
  TControl* FParent = nullptr;
  TColor FColor = clBtnFace;
  bool FParentColor = true;
  TFont FFont;
  bool FParentFont = true;
  bool FInheriting = false;
  std::string FCaption;
  TAlign FAlign = alNone;
  TAnchors FAnchors{akLeft, akTop};
  TSizeConstraints FConstraints;
  std::string FHint;
  bool FShowHint = false;
  bool FParentShowHint = true;
  bool FVisible = true;
  TPopupMenu* FPopupMenu = nullptr;
  int FAlignedWidth = -1;
  int FAlignedHeight = -1;
  TControlStyle FControlStyle{csCaptureMouse, csClickEvents};
};

// The form that holds `control`, or nullptr.
TForm* GetParentForm(TControl* control);
// The TControl a widget is, or nullptr.
TControl* ControlOf(QWidget* widget);
