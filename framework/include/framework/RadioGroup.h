// TRadioGroup: a captioned group of radio buttons, one per item; ItemIndex is the chosen one.
#pragma once

#include <QGroupBox>
#include <memory>
#include <vector>

#include "framework/Control.h"
#include "framework/Strings.h"

class QRadioButton;

class TRadioGroup : public QGroupBox, public TControl {
public:
  explicit TRadioGroup(TComponent* owner);
  ~TRadioGroup() override;

  std::string Caption() const override;
  void SetCaption(const std::string& caption) override;
  TStrings* Items() { return FItems.get(); }
  // -1: no item chosen. Values beyond the items are clamped to the last one.
  int ItemIndex() const { return FItemIndex; }
  void SetItemIndex(int index);
  int Columns() const { return FColumns; }
  void SetColumns(int columns);
  // The smallest size at which the caption and every item fit with the current font.
  QSize FittingSize() const;
  // Grows the group to FittingSize where it is smaller; it never shrinks.
  void GrowToFit();
  // The radio button of an item (tests press it).
  QRadioButton* Button(int index) const;

  bool SetProperty(const std::string& name, const QVariant& value) override;

  // Rebuilds the buttons after the items changed.
  void ItemsChanged();

protected:
  void Loaded() override;
  void ColorChanged() override;
  void FontChanged() override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  // The items' distance from the frame's inner left edge.
  static constexpr int ItemIndent = 4;
  void ArrangeButtons();
  void ShowItemIndex();
  std::unique_ptr<TStrings> FItems;
  std::vector<QRadioButton*> FButtons;
  int FItemIndex = -1;
  int FColumns = 1;
};
