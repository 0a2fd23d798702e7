// TBevel: a lowered or raised frame or line that groups controls visually.
#pragma once

#include <QWidget>

#include "framework/Control.h"

enum TBevelShape { bsBox, bsFrame, bsTopLine, bsBottomLine, bsLeftLine, bsRightLine, bsSpacer };
enum TBevelStyle { bsLowered, bsRaised };

class TBevel : public QWidget, public TControl {
public:
  explicit TBevel(TComponent* owner);

  TBevelShape Shape() const { return FShape; }
  void SetShape(TBevelShape shape);
  TBevelStyle Style() const { return FStyle; }
  void SetStyle(TBevelStyle style);

  bool SetProperty(const std::string& name, const QVariant& value) override;

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  TBevelShape FShape = bsBox;
  TBevelStyle FStyle = bsLowered;
};
