// TForm: a top-level window built from a Qt Designer .ui file, shown plain or modal.
#pragma once

#include <QWidget>
#include <vector>

#include "framework/Control.h"

class QEventLoop;
class TButton;

enum TCloseAction { caNone, caHide, caFree, caMinimize };
using TCloseEvent = std::function<void(TObject* sender, TCloseAction& action)>;
using TCloseQueryEvent = std::function<void(TObject* sender, bool& canClose)>;
enum TPosition { poDesigned, poDefault, poScreenCenter, poMainFormCenter, poOwnerFormCenter };
enum TBorderIcon { biSystemMenu, biMinimize, biMaximize, biHelp };
using TBorderIcons = TSet<TBorderIcon>;

class EInvalidOperation : public Exception {
public:
  using Exception::Exception;
};

// Left, Top, Width and Height of a form are its outer frame on the screen; ClientWidth and
// ClientHeight its inside. The form owns every component its .ui file describes.
// Where a window whose outer frame is `frame` goes so that its title bar (the top
// `titleHeight` rows of the frame) can be grabbed: where it is, when some of the bar is on one
// of `screens`; else with the whole bar on the nearest screen.
QPoint PlaceTitleBarOnScreen(const QRect& frame, int titleHeight,
                             const std::vector<QRect>& screens);

class TForm : public QWidget, public TControl {
public:
  // An empty form.
  explicit TForm(TComponent* owner);
  // A form built from `uiFile` (a path, or ":/..." for a compiled-in Qt resource).
  TForm(TComponent* owner, const std::string& uiFile);
  ~TForm() override;

  // Runs OnCreate (once). Application->CreateForm calls it; so does TForm::Create.
  void AfterConstruction();
  template <typename T> static T* Create(TComponent* owner) {
    T* form = new T(owner);
    form->AfterConstruction();
    return form;
  }

  // A component of this form by name, of class T; raises EReadError when there is none.
  template <typename T> T* Find(const std::string& name) const {
    T* c = dynamic_cast<T*>(FindComponent(name));
    if (!c) MissingComponent(name);
    return c;
  }

  int Left() const override;
  int Top() const override;
  int Width() const override;
  int Height() const override;
  void SetBounds(int left, int top, int width, int height) override;
  void SetClientWidth(int width);
  void SetClientHeight(int height);
  void SetClientSize(int width, int height);
  // Brings the window back when no part of its title bar is on any screen (a place saved on a
  // screen that is gone): onto the nearest screen, as little moved as can be.
  void KeepTitleBarOnScreen();
  // The title bar's height, for the rule above.
  int TitleBarHeight() const;

  std::string Caption() const override;
  void SetCaption(const std::string& caption) override;
  bool Visible() const override;
  void SetVisible(bool visible) override;

  void Show();
  void Hide();
  // Shows the form modally and runs a nested loop until ModalResult is set (a button with a
  // modal result, Close, the close box: mrCancel) and the close is allowed.
  TModalResult ShowModal();
  // Asks OnCloseQuery, then OnClose; the main form's close ends the application.
  void Close();
  bool CloseQuery();
  // Frees the form once the loop is back in control.
  void Release();
  bool Active() const { return FActive; }
  bool Modal() const { return FModalLoop != nullptr; }

  TModalResult ModalResult() const { return FModalResult; }
  void SetModalResult(TModalResult result);

  TFormBorderStyle BorderStyle() const { return FBorderStyle; }
  void SetBorderStyle(TFormBorderStyle style);
  TBorderIcons BorderIcons() const { return FBorderIcons; }
  void SetBorderIcons(TBorderIcons icons);
  TPosition Position() const { return FPosition; }
  void SetPosition(TPosition position) { FPosition = position; }

  TNotifyEvent OnCreate;
  TNotifyEvent OnShow;
  TNotifyEvent OnHide;
  TNotifyEvent OnActivate;
  TNotifyEvent OnDeactivate;
  TCloseQueryEvent OnCloseQuery;
  TCloseEvent OnClose;

  bool SetProperty(const std::string& name, const QVariant& value) override;

protected:
  void ColorChanged() override;
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

private:
  void Init();
  void ApplyWindowFlags();
  void EnsureNativeWindow();
  void PlaceFrame(QPoint at);
  QMargins FrameMargins() const;
  QSize FrameExtra() const;
  void PlaceOnShow();
  void Activated();
  bool CloseModal();
  TButton* FindButton(bool wantDefault) const;
  [[noreturn]] void MissingComponent(const std::string& name) const;

  TFormBorderStyle FBorderStyle = bsSizeable;
  TBorderIcons FBorderIcons{biSystemMenu, biMinimize, biMaximize};
  TPosition FPosition = poDesigned;
  TModalResult FModalResult = mrNone;
  QEventLoop* FModalLoop = nullptr;
  bool FCreated = false;
  bool FActive = false;
  bool FClosing = false;
};
