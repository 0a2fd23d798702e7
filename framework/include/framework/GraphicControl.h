// TGraphicControl: a control that draws itself through its canvas in Paint.
#pragma once

#include <QWidget>

#include "framework/Canvas.h"
#include "framework/Control.h"

class TGraphicControl : public QWidget, public TControl {
public:
  explicit TGraphicControl(TComponent* owner);

  // Valid while Paint runs: the control's surface, 0..Width, 0..Height.
  TCanvas* Canvas() { return &FCanvas; }

protected:
  // Draws the control; the framework calls it whenever the control's area must be drawn.
  virtual void Paint() {}
  void paintEvent(QPaintEvent* event) override;

private:
  TCanvas FCanvas;
};
