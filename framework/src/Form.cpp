#include "framework/Form.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QPixmap>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QWindow>
#include <algorithm>

#include "framework/Application.h"
#include "framework/Button.h"
#include "framework/FormReader.h"
#include "framework/Properties.h"

TForm::TForm(TComponent* owner) : QWidget(nullptr, Qt::Window), TControl(owner, this) {
  Init();
}

TForm::TForm(TComponent* owner, const std::string& uiFile) : TForm(owner) {
  ReadForm(this, uiFile);
}

TForm::~TForm() {
  if (FModalLoop) FModalLoop->exit();
  // Free the components while the whole form still exists: a dying child widget talks to
  // its parent, and that must not reach a half-destroyed form.
  while (ComponentCount() > 0)
    delete Components(ComponentCount() - 1);
}

void TForm::Init() {
  setAutoFillBackground(true);
  resize(320, 240);
  FontChanged();
  ColorChanged();
  ApplyWindowFlags();
}

void TForm::AfterConstruction() {
  if (FCreated) return;
  FCreated = true;
  EnsureNativeWindow();
  SafeCall(this, [this] {
    if (OnCreate) OnCreate(this);
  });
}

void TForm::MissingComponent(const std::string& name) const {
  throw EReadError(Format("Component '%s' not found on %s", name.c_str(), Name().c_str()));
}

namespace {

// The frame the window manager gave the last framed window of each kind (0 normal, 1 tool
// window): a window it has not framed yet will most likely get the same.
QMargins gSeenFrame[2];
bool gFrameSeen[2] = {false, false};

} // namespace

// The native window knows the frame's size, so outer geometry is right before the first show.
void TForm::EnsureNativeWindow() {
  if (testAttribute(Qt::WA_WState_Created)) return;
  QPoint designed = pos(); // without a frame yet, Qt took this for the inside's position
  winId();
  PlaceFrame(designed);
}

// Before the window manager has framed the window (X11: until it is mapped and reparented),
// Qt knows no frame and moves the inside; asking for the frame's place instead lets the window
// manager put the frame there, so that Left/Top mean the same before and after the showing.
void TForm::PlaceFrame(QPoint at) {
  move(at);
  QWindow* w = windowHandle();
  if (w && w->frameMargins().isNull() && FBorderStyle != bsNone) w->setFramePosition(at);
}

QMargins TForm::FrameMargins() const {
  QWindow* w = windowHandle();
  if (!w || FBorderStyle == bsNone) return QMargins();
  bool tool = FBorderStyle == bsToolWindow || FBorderStyle == bsSizeToolWin;
  QMargins m = w->frameMargins();
  if (!m.isNull()) {
    gSeenFrame[tool] = m;
    gFrameSeen[tool] = true;
    return m;
  }
  // Not framed yet: the best guess is a window of the same kind, else of any kind.
  if (gFrameSeen[tool]) return gSeenFrame[tool];
  return gFrameSeen[!tool] ? gSeenFrame[!tool] : QMargins();
}

QSize TForm::FrameExtra() const {
  QMargins m = FrameMargins();
  return QSize(m.left() + m.right(), m.top() + m.bottom());
}

int TForm::TitleBarHeight() const {
  // A frame thinner than a title bar (no window manager, Qt's offscreen frame) still has one
  // for the user to grab in the rule below.
  return std::max(FrameMargins().top(), style()->pixelMetric(QStyle::PM_TitleBarHeight));
}

void TForm::KeepTitleBarOnScreen() {
  std::vector<QRect> screens;
  for (QScreen* s : QGuiApplication::screens())
    screens.push_back(s->geometry());
  QPoint at =
      PlaceTitleBarOnScreen(QRect(Left(), Top(), Width(), Height()), TitleBarHeight(), screens);
  if (at != QPoint(Left(), Top())) PlaceFrame(at);
}

QPoint PlaceTitleBarOnScreen(const QRect& frame, int titleHeight,
                             const std::vector<QRect>& screens) {
  QRect bar(frame.left(), frame.top(), std::max(frame.width(), 1), std::max(titleHeight, 1));
  const QRect* nearest = nullptr;
  long long nearestDistance = 0;
  for (const QRect& s : screens) {
    if (s.intersects(bar)) return frame.topLeft();
    long long dx = std::max({0, s.left() - bar.right(), bar.left() - s.right()});
    long long dy = std::max({0, s.top() - bar.bottom(), bar.top() - s.bottom()});
    if (!nearest || dx * dx + dy * dy < nearestDistance) {
      nearest = &s;
      nearestDistance = dx * dx + dy * dy;
    }
  }
  if (!nearest) return frame.topLeft();
  // The whole bar onto that screen; a bar wider than the screen keeps its left end on it.
  const QRect& s = *nearest;
  int x = std::clamp(frame.left(), s.left(), std::max(s.left(), s.right() + 1 - bar.width()));
  int y = std::clamp(frame.top(), s.top(), std::max(s.top(), s.bottom() + 1 - bar.height()));
  return QPoint(x, y);
}

int TForm::Left() const {
  return x();
}
int TForm::Top() const {
  return y();
}
int TForm::Width() const {
  return width() + FrameExtra().width();
}
int TForm::Height() const {
  return height() + FrameExtra().height();
}

void TForm::SetBounds(int left, int top, int width, int height) {
  EnsureNativeWindow();
  PlaceFrame(QPoint(left, top));
  QSize extra = FrameExtra();
  SetClientSize(width - extra.width(), height - extra.height());
}

void TForm::SetClientWidth(int width) {
  SetClientSize(width, this->height());
}
void TForm::SetClientHeight(int height) {
  SetClientSize(this->width(), height);
}

void TForm::SetClientSize(int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (FBorderStyle == bsSizeable || FBorderStyle == bsSizeToolWin)
    resize(width, height);
  else
    setFixedSize(width, height);
  // A hidden window hears of its new size only when shown; the children follow now.
  AlignControls();
}

std::string TForm::Caption() const {
  return windowTitle().toStdString();
}

void TForm::SetCaption(const std::string& caption) {
  setWindowTitle(QString::fromStdString(caption));
}

bool TForm::Visible() const {
  return isVisible();
}

void TForm::SetVisible(bool visible) {
  visible ? Show() : Hide();
}

void TForm::Show() {
  if (isVisible())
    raise();
  else
    setVisible(true);
  activateWindow();
}

void TForm::Hide() {
  setVisible(false);
}

void TForm::Release() {
  deleteLater();
}

void TForm::SetModalResult(TModalResult result) {
  FModalResult = result;
  if (FModalLoop && result != mrNone) FModalLoop->exit();
}

TModalResult TForm::ShowModal() {
  if (FModalLoop || isVisible()) throw EInvalidOperation("Cannot make a visible window modal");
  FModalResult = mrNone;
  QEventLoop loop;
  bool freeAfter = false;
  struct TModalGuard {
    TForm* Form;
    QEventLoop* Loop;
    ~TModalGuard() {
      Form->FModalLoop = nullptr;
      Application->LeaveLoop(Loop);
      Form->hide();
      Form->setWindowModality(Qt::NonModal);
    }
  } guard{this, &loop};
  FModalLoop = &loop;
  Application->EnterLoop(&loop);
  setWindowModality(Qt::ApplicationModal);
  Show();
  for (;;) {
    if (Application->Terminated()) {
      FModalResult = mrCancel;
      break;
    }
    if (FModalResult != mrNone) {
      TCloseAction action = caNone;
      // As anywhere else, a failing close handler is reported and the dialog stays.
      SafeCall(this, [&] {
        if (CloseQuery()) {
          action = caHide;
          if (OnClose) OnClose(this, action);
        }
      });
      if (action != caNone) {
        freeAfter = action == caFree;
        break;
      }
      FModalResult = mrNone;
    }
    loop.exec();
  }
  if (freeAfter) Release();
  return FModalResult;
}

bool TForm::CloseQuery() {
  bool canClose = true;
  if (OnCloseQuery) OnCloseQuery(this, canClose);
  return canClose;
}

void TForm::Close() {
  if (FModalLoop) {
    SetModalResult(mrCancel);
    return;
  }
  if (!CloseQuery()) return;
  TCloseAction action = caHide;
  if (OnClose) OnClose(this, action);
  if (action == caNone) return;
  if (Application && Application->MainForm() == this)
    Application->Terminate();
  else if (action == caHide)
    Hide();
  else if (action == caMinimize)
    showMinimized();
  else
    Release();
}

void TForm::SetBorderStyle(TFormBorderStyle style) {
  FBorderStyle = style;
  ApplyWindowFlags();
}

void TForm::SetBorderIcons(TBorderIcons icons) {
  FBorderIcons = icons;
  ApplyWindowFlags();
}

void TForm::ApplyWindowFlags() {
  Qt::WindowFlags f = Qt::CustomizeWindowHint | Qt::WindowTitleHint;
  bool menu = FBorderIcons.Contains(biSystemMenu);
  switch (FBorderStyle) {
  case bsNone:
    f = Qt::Window | Qt::FramelessWindowHint;
    break;
  case bsToolWindow:
  case bsSizeToolWin:
    f |= Qt::Tool | Qt::WindowCloseButtonHint;
    break;
  case bsDialog:
    f |= Qt::Dialog;
    if (menu) f |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (FBorderIcons.Contains(biHelp)) f |= Qt::WindowContextHelpButtonHint;
    break;
  default:
    f |= Qt::Window;
    if (menu) f |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (menu && FBorderIcons.Contains(biMinimize)) f |= Qt::WindowMinimizeButtonHint;
    if (menu && FBorderIcons.Contains(biMaximize) && FBorderStyle == bsSizeable)
      f |= Qt::WindowMaximizeButtonHint;
    break;
  }
  if (f != windowFlags()) {
    bool visible = isVisible();
    QPoint at = pos();
    setWindowFlags(f);
    PlaceFrame(at);
    if (visible) show();
  }
  if (FBorderStyle == bsSizeable || FBorderStyle == bsSizeToolWin) {
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  } else {
    setFixedSize(size());
  }
}

void TForm::PlaceOnShow() {
  QWidget* over = nullptr;
  if (FPosition == poMainFormCenter && Application->MainForm() != this)
    over = Application->MainForm();
  else if (FPosition == poOwnerFormCenter)
    over = dynamic_cast<TForm*>(Owner());
  QRect area;
  if (over)
    area = over->frameGeometry();
  else if (FPosition == poScreenCenter || FPosition == poMainFormCenter ||
           FPosition == poOwnerFormCenter)
    area = (screen() ? screen() : QGuiApplication::primaryScreen())->availableGeometry();
  else
    return;
  PlaceFrame(
      QPoint(area.x() + (area.width() - Width()) / 2, area.y() + (area.height() - Height()) / 2));
}

void TForm::ColorChanged() {
  TControl::ColorChanged();
  setAutoFillBackground(true);
}

bool TForm::event(QEvent* event) {
  if (event->type() == QEvent::WindowActivate) {
    Activated();
  } else if (event->type() == QEvent::WindowDeactivate && FActive) {
    FActive = false;
    SafeCall(this, [this] {
      if (OnDeactivate) OnDeactivate(this);
    });
  }
  return QWidget::event(event);
}

void TForm::closeEvent(QCloseEvent* event) {
  // We decide whether and how the window goes; Qt only reports the attempt.
  event->ignore();
  if (FClosing) return;
  FClosing = true;
  SafeCall(this, [this] { Close(); });
  FClosing = false;
}

void TForm::Activated() {
  if (FActive) return;
  FActive = true;
  SafeCall(this, [this] {
    if (OnActivate) OnActivate(this);
  });
}

void TForm::showEvent(QShowEvent* event) {
  if (!event->spontaneous()) {
    PlaceOnShow();
    SafeCall(this, [this] {
      if (OnShow) OnShow(this);
    });
    // A window shown again while it still has the input focus gets no new activation from
    // some platforms; it is the active form all the same.
    QTimer::singleShot(0, this, [this] {
      if (isVisible() && (isActiveWindow() || QGuiApplication::focusWindow() == windowHandle()))
        Activated();
    });
  }
  QWidget::showEvent(event);
}

void TForm::hideEvent(QHideEvent* event) {
  if (!event->spontaneous())
    SafeCall(this, [this] {
      if (OnHide) OnHide(this);
    });
  // A hidden form is not the active one; the next showing activates it again.
  if (FActive) {
    FActive = false;
    SafeCall(this, [this] {
      if (OnDeactivate) OnDeactivate(this);
    });
  }
  QWidget::hideEvent(event);
}

TButton* TForm::FindButton(bool wantDefault) const {
  for (int i = 0; i < ComponentCount(); ++i)
    if (auto* b = dynamic_cast<TButton*>(Components(i)))
      if ((wantDefault ? b->Default() : b->Cancel()) && b->isVisible() && b->isEnabled()) return b;
  return nullptr;
}

void TForm::keyPressEvent(QKeyEvent* event) {
  int key = event->key();
  TButton* button = nullptr;
  if (key == Qt::Key_Return || key == Qt::Key_Enter)
    button = FindButton(true);
  else if (key == Qt::Key_Escape)
    button = FindButton(false);
  if (button) {
    button->click();
    return;
  }
  QWidget::keyPressEvent(event);
}

void TForm::resizeEvent(QResizeEvent* event) {
  SafeCall(this, [&] { AlignControls(); });
  QWidget::resizeEvent(event);
}

bool TForm::SetProperty(const std::string& name, const QVariant& value) {
  if (name == "geometry") {
    // A form's geometry: the designed outer position and the client area's size.
    if (value.typeId() != QMetaType::QRect) props::Invalid();
    QRect r = value.toRect();
    move(r.x(), r.y());
    SetClientSize(r.width(), r.height());
  } else if (name == "ClientWidth")
    SetClientWidth(props::Int(value));
  else if (name == "ClientHeight")
    SetClientHeight(props::Int(value));
  else if (name == "BorderStyle")
    SetBorderStyle(props::Enum<TFormBorderStyle>(value, {{"bsNone", bsNone},
                                                         {"bsSingle", bsSingle},
                                                         {"bsSizeable", bsSizeable},
                                                         {"bsDialog", bsDialog},
                                                         {"bsToolWindow", bsToolWindow},
                                                         {"bsSizeToolWin", bsSizeToolWin}}));
  else if (name == "BorderIcons")
    SetBorderIcons(props::Set<TBorderIcon>(value, {{"biSystemMenu", biSystemMenu},
                                                   {"biMinimize", biMinimize},
                                                   {"biMaximize", biMaximize},
                                                   {"biHelp", biHelp}}));
  else if (name == "Position")
    SetPosition(props::Enum<TPosition>(value, {{"poDesigned", poDesigned},
                                               {"poDefault", poDefault},
                                               {"poScreenCenter", poScreenCenter},
                                               {"poMainFormCenter", poMainFormCenter},
                                               {"poOwnerFormCenter", poOwnerFormCenter}}));
  else if (name == "windowIcon" || name == "Icon") {
    QPixmap picture(QString::fromStdString(props::String(value)));
    if (picture.isNull()) props::Invalid();
    setWindowIcon(QIcon(picture));
  } else
    return TControl::SetProperty(name, value);
  return true;
}
