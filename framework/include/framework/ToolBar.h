// TToolBar and TToolButton: a row of (flat, captioned) buttons.
#pragma once

#include <QToolButton>
#include <QWidget>

#include "framework/Control.h"

class TAction;

enum TEdgeBorder { ebLeft, ebTop, ebRight, ebBottom };
using TEdgeBorders = TSet<TEdgeBorder>;

class TToolBar : public QWidget, public TControl {
public:
  explicit TToolBar(TComponent* owner);

  int ButtonWidth() const { return FButtonWidth; }
  void SetButtonWidth(int width);
  int ButtonHeight() const { return FButtonHeight; }
  void SetButtonHeight(int height);
  bool Flat() const { return FFlat; }
  void SetFlat(bool flat);
  bool ShowCaptions() const { return FShowCaptions; }
  void SetShowCaptions(bool show);
  TEdgeBorders EdgeBorders() const { return FEdgeBorders; }
  void SetEdgeBorders(TEdgeBorders edges);

  bool SetProperty(const std::string& name, const QVariant& value) override;

  // Puts buttons without a designed place one after another, left to right.
  void ArrangeButtons();

protected:
  void Loaded() override;
  void paintEvent(QPaintEvent* event) override;
  void ColorChanged() override;

private:
  template <typename F> void ForEachButton(F&& f);
  int FButtonWidth = 23;
  int FButtonHeight = 22;
  bool FFlat = false;
  bool FShowCaptions = false;
  TEdgeBorders FEdgeBorders{ebTop};
};

class TToolButton : public QToolButton, public TControl {
public:
  explicit TToolButton(TComponent* owner);

  std::string Caption() const override;
  void SetCaption(const std::string& caption) override;
  // Runs the action when pressed, unless OnClick is set.
  TAction* Action() const { return FAction; }
  void SetAction(TAction* action) { FAction = action; }
  bool AutoSize() const { return FAutoSize; }
  void SetAutoSize(bool autoSize) { FAutoSize = autoSize; }
  // Whether the form file gave the button its place.
  bool Placed() const { return FPlaced; }

  void Click();
  void SetParent(TControl* parent) override;

  bool SetProperty(const std::string& name, const QVariant& value) override;

protected:
  void Loaded() override;

private:
  friend class TToolBar;
  void ApplyBar(TToolBar* bar);
  TAction* FAction = nullptr;
  std::string FActionName;
  bool FAutoSize = false;
  bool FPlaced = false;
};
