#include <QFontMetrics>
#include <QPainter>
#include <QTest>
#include <climits>
#include <gtest/gtest.h>

#include "framework/Form.h"
#include "gauge/Gauge.h"
#include "support/Gui.h"

namespace {

constexpr QRgb Black = 0xFF000000, Lime = 0xFF00FF00, White = 0xFFFFFFFF, Magenta = 0xFFFF00FF;

class TCountingGauge : public TProgressGauge {
public:
  using TProgressGauge::TProgressGauge;
  int Paints = 0;

protected:
  void Paint() override {
    ++Paints;
    TProgressGauge::Paint();
  }
};

class GaugeTest : public ::testing::Test {
protected:
  void SetUp() override {
    EnsureApplication();
    Form = new TForm(nullptr);
    Form->SetClientSize(288, 136);
  }
  void TearDown() override { delete Form; }

  // The main window's gauge: 273 x 17, lime on black, framed, in the form's font.
  TCountingGauge* MakeKIndic1() {
    auto* g = new TCountingGauge(Form);
    g->SetParent(Form);
    g->SetBounds(8, 112, 273, 17);
    g->SetColor(clBlack);
    g->SetParentColor(false);
    g->SetForeColor(clLime);
    g->SetBackColor(clBlack);
    Form->Show();
    // Refresh paints at once, but only on a window the platform has put on the screen.
    EXPECT_TRUE(QTest::qWaitForWindowExposed(Form));
    return g;
  }

  // What the gauge must look like, built with plain Qt: black, the bar in lime, and the
  // percentage in white XORed over it, centred by the gauge's rule.
  static QImage Expected(int width, int height, int barRight, int percent, const TFont& font,
                         QRect* textCell) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Black);
    for (int y = 1; y < 16; ++y)
      for (int x = 1; x < barRight; ++x)
        image.setPixel(x, y, Lime);
    QImage text(width, height, QImage::Format_RGB32);
    text.fill(Black);
    QString s = QString::number(percent) + "%";
    QFont f = font.ToQFont();
    QFontMetrics fm(f, &text);
    int x = (272 - 1 + 1 - fm.horizontalAdvance(s)) / 2, y = (16 - 1 + 1 - fm.height()) / 2;
    *textCell = QRect(x, y, fm.horizontalAdvance(s), fm.height());
    {
      QPainter p(&text);
      p.setClipRect(QRect(1, 1, 271, 15));
      p.setFont(f);
      p.setPen(Qt::white);
      p.drawText(x, y + fm.ascent(), s);
    }
    for (int yy = 0; yy < height; ++yy)
      for (int xx = 0; xx < width; ++xx)
        image.setPixel(xx, yy, (image.pixel(xx, yy) ^ text.pixel(xx, yy)) | Black);
    return image;
  }

  TForm* Form = nullptr;
};

struct TCase {
  int Percent;
  int BarRight; // F: the bar covers columns 1..F-1
};

TEST_F(GaugeTest, KIndic1PixelsAtZeroThirtyThreeFiftyAndHundred) {
  TCountingGauge* g = MakeKIndic1();
  for (TCase c : {TCase{0, 0}, TCase{33, 89}, TCase{50, 136}, TCase{100, 272}}) {
    SCOPED_TRACE(c.Percent);
    g->SetProgress(c.Percent);
    QImage shot = Grab(g);
    ASSERT_EQ(shot.size(), QSize(273, 17));
    // The frame keeps the black of the background.
    for (int x = 0; x < 273; ++x) {
      EXPECT_EQ(shot.pixel(x, 0), Black);
      EXPECT_EQ(shot.pixel(x, 16), Black);
    }
    for (int y = 0; y < 17; ++y) {
      EXPECT_EQ(shot.pixel(0, y), Black);
      EXPECT_EQ(shot.pixel(272, y), Black);
    }
    // Bar columns exactly, text pixels inverted: magenta over the bar, white over black.
    int ink = 0;
    for (int y = 1; y < 16; ++y)
      for (int x = 1; x < 272; ++x) {
        QRgb p = shot.pixel(x, y);
        bool inBar = x < c.BarRight;
        ASSERT_TRUE(p == (inBar ? Lime : Black) || p == (inBar ? Magenta : White))
            << x << "," << y << " " << std::hex << p;
        ink += p == Magenta || p == White;
      }
    EXPECT_GT(ink, 10);
    QRect cell;
    QImage expected = Expected(273, 17, c.BarRight, c.Percent, *g->Font(), &cell);
    EXPECT_EQ(shot, expected);
    // The text is centred by the rule: X = (272 - width) / 2, Y = (16 - height) / 2.
    for (int y = 0; y < 17; ++y) {
      for (int x = 0; x < 273; ++x) {
        if (shot.pixel(x, y) == Magenta || shot.pixel(x, y) == White) {
          ASSERT_TRUE(cell.contains(x, y)) << x << "," << y;
        }
      }
    }
  }
  EXPECT_EQ(g->Font()->Name(), "MS Sans Serif") << "the window's font";
  EXPECT_EQ(g->Font()->Height(), -11);
}

TEST_F(GaugeTest, VerticalBarWithDefaultColours) {
  auto* g = new TProgressGauge(Form);
  g->SetParent(Form);
  g->SetGaugeKind(gkVerticalBar);
  g->SetShowText(false);
  Form->Show();
  EXPECT_EQ(g->Width(), 100);
  EXPECT_EQ(g->Height(), 100);
  g->SetProgress(50);
  QImage shot = Grab(g);
  // rect (1,1,99,99): W = H = 99, F = 49, bar (1, 50, 99, 99) in black on white.
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 100; ++x) {
      bool frame = x == 0 || y == 0 || x == 99 || y == 99;
      QRgb want = (frame || y >= 50) ? Black : White;
      ASSERT_EQ(shot.pixel(x, y), want) << x << "," << y;
    }
  g->SetProgress(100); // F = 99 reaches H and becomes 98: the bar starts at row 1
  shot = Grab(g);
  for (int y = 1; y < 99; ++y)
    ASSERT_EQ(shot.pixel(50, y), Black) << y;
  g->SetProgress(0); // the empty rectangle (1, 99, 99, 99)
  shot = Grab(g);
  for (int y = 1; y < 99; ++y)
    ASSERT_EQ(shot.pixel(50, y), White) << y;
}

TEST_F(GaugeTest, UnframedGaugeUsesTheWholeRectangle) {
  TCountingGauge* g = MakeKIndic1();
  g->SetBorderStyle(bsNone);
  g->SetShowText(false);
  g->SetProgress(50); // W = 274, F = 137
  QImage shot = Grab(g);
  for (int y = 0; y < 17; ++y)
    for (int x = 0; x < 273; ++x)
      ASSERT_EQ(shot.pixel(x, y), x < 137 ? Lime : Black) << x;
  g->SetProgress(100); // one pixel past the right and bottom edges, clipped
  shot = Grab(g);
  for (int y = 0; y < 17; ++y)
    for (int x = 0; x < 273; ++x)
      ASSERT_EQ(shot.pixel(x, y), Lime) << x << "," << y;
}

TEST_F(GaugeTest, PieAndNeedle) {
  auto* g = new TProgressGauge(Form);
  g->SetParent(Form);
  g->SetBounds(0, 0, 101, 101);
  g->SetColor(clGray);
  g->SetForeColor(clRed);
  g->SetShowText(false);
  g->SetGaugeKind(gkPie);
  Form->Show();
  g->SetProgress(25);
  QImage shot = Grab(g);
  EXPECT_EQ(shot.pixel(75, 25), 0xFFFF0000u) << "the wedge: the upper right quarter";
  EXPECT_EQ(shot.pixel(25, 25), White) << "the rest of the dial";
  EXPECT_EQ(shot.pixel(75, 75), White);
  EXPECT_EQ(shot.pixel(2, 2), 0xFF808080u) << "outside the dial: Color";
  g->SetGaugeKind(gkNeedle);
  g->SetProgress(50);
  shot = Grab(g);
  EXPECT_EQ(shot.pixel(50, 60), 0xFFFF0000u) << "straight up at 50 %";
  EXPECT_EQ(shot.pixel(30, 60), White);
}

TEST_F(GaugeTest, PercentageAndProgressRules) {
  auto* g = new TProgressGauge(Form);
  EXPECT_EQ(g->MinValue(), 0);
  EXPECT_EQ(g->MaxValue(), 100);
  EXPECT_EQ(g->Progress(), 0);
  EXPECT_EQ(g->Kind(), gkHorizontalBar);
  EXPECT_TRUE(g->ShowText());
  EXPECT_EQ(g->BorderStyle(), bsSingle);
  EXPECT_EQ(g->ForeColor(), clBlack);
  EXPECT_EQ(g->BackColor(), clWhite);
  EXPECT_TRUE(g->ControlStyle().Contains(csOpaque));
  g->SetProgress(150);
  EXPECT_EQ(g->Progress(), 100);
  EXPECT_EQ(g->GetPercentDone(), 100);
  g->SetProgress(-5);
  EXPECT_EQ(g->Progress(), 0);
  g->SetMaxValue(0);
  EXPECT_EQ(g->GetPercentDone(), 0) << "an empty range";
  // Wide ranges: 100 * (Progress - MinValue) does not fit 32 bits.
  g->SetMaxValue(2000000000);
  g->SetMinValue(-2000000000);
  g->SetProgress(1000000000);
  EXPECT_EQ(g->GetPercentDone(), 75);
  g->SetMinValue(INT_MIN);
  g->SetMaxValue(INT_MAX);
  g->SetProgress(INT_MAX);
  EXPECT_EQ(g->GetPercentDone(), 100);
  g->AddProgress(INT_MAX);
  EXPECT_EQ(g->Progress(), INT_MAX);
  // Lowering MaxValue pulls Progress down, raising MinValue pushes it up.
  g->SetMaxValue(40);
  EXPECT_EQ(g->Progress(), 40);
  g->SetMinValue(45 - 5);
  g->SetMaxValue(100);
  g->SetMinValue(60);
  EXPECT_EQ(g->Progress(), 60);
}

TEST_F(GaugeTest, RangeSettersRefuseValuesBeyondTheOtherEnd) {
  auto* g = new TProgressGauge(Form);
  g->SetProgress(30);
  try {
    g->SetMinValue(200);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Value must be between -2147483647 and 99");
  }
  try {
    g->SetMaxValue(-1);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Value must be between 1 and 2147483647");
  }
  EXPECT_EQ(g->MinValue(), 0);
  EXPECT_EQ(g->MaxValue(), 100);
  EXPECT_EQ(g->Progress(), 30);
  g->SetMinValue(100); // the other end itself is accepted
  EXPECT_EQ(g->GetPercentDone(), 0);
  EXPECT_EQ(g->Progress(), 100);
}

TEST_F(GaugeTest, RepaintsOnlyWhenTheWholePercentageChanges) {
  TCountingGauge* g = MakeKIndic1();
  g->SetMaxValue(1000);
  g->Paints = 0;
  for (int i = 1; i <= 5; ++i)
    g->SetProgress(i);
  EXPECT_EQ(g->Progress(), 5);
  EXPECT_EQ(g->Paints, 0) << "still 0 %";
  g->AddProgress(1);
  EXPECT_EQ(g->Progress(), 6);
  EXPECT_EQ(g->Paints, 1) << "AddProgress repaints in any case";
  g->AddProgress(0);
  EXPECT_EQ(g->Paints, 2);
  g->SetProgress(0);
  g->Paints = 0;
  for (int i = 1; i <= 1000; ++i)
    g->SetProgress(i);
  EXPECT_EQ(g->Paints, 100) << "one repaint per percent, at once";
  g->SetForeColor(clLime); // unchanged: nothing
  g->SetShowText(true);
  EXPECT_EQ(g->Paints, 100);
  g->SetBackColor(clNavy);
  EXPECT_EQ(g->Paints, 101);
}

TEST_F(GaugeTest, FormFileSetsThePublishedProperties) {
  TUiFile ui(R"(<ui version="4.0"><widget class="TForm" name="Form1">
    <widget class="TProgressGauge" name="TKIndic1">
     <property name="geometry"><rect><x>8</x><y>112</y><width>273</width><height>17</height></rect></property>
     <property name="ForeColor" stdset="0"><string>clLime</string></property>
     <property name="BackColor" stdset="0"><string>clBlack</string></property>
     <property name="Color" stdset="0"><string>clBlack</string></property>
     <property name="ParentColor" stdset="0"><bool>false</bool></property>
     <property name="MaxValue" stdset="0"><number>1000</number></property>
     <property name="Progress" stdset="0"><number>500</number></property>
     <property name="Kind" stdset="0"><enum>gkVerticalBar</enum></property>
    </widget></widget></ui>)");
  TForm f(nullptr, ui.Path);
  auto* g = f.Find<TProgressGauge>("TKIndic1");
  EXPECT_EQ(g->BoundsRect(), Bounds(8, 112, 273, 17));
  EXPECT_EQ(g->ForeColor(), clLime);
  EXPECT_EQ(g->BackColor(), clBlack);
  EXPECT_EQ(g->Color(), clBlack);
  EXPECT_FALSE(g->ParentColor());
  EXPECT_EQ(g->GetPercentDone(), 50);
  EXPECT_EQ(g->Kind(), gkVerticalBar);
}

} // namespace
