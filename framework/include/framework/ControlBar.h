// TControlBar: the band container that holds tool bars, each on a band with a grip.
#pragma once

#include <QWidget>

#include "framework/Control.h"

class TControlBar : public QWidget, public TControl {
public:
  explicit TControlBar(TComponent* owner);

  // With AutoSize, the bar is as high as its rows of bands.
  bool AutoSize() const { return FAutoSize; }
  void SetAutoSize(bool autoSize);
  int RowSize() const { return FRowSize; }
  void SetRowSize(int rowSize);

  bool SetProperty(const std::string& name, const QVariant& value) override;

protected:
  void Loaded() override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void ColorChanged() override;

private:
  void AdjustSize();
  bool FAutoSize = false;
  int FRowSize = 26;
};
