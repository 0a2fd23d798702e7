#include <QImage>
#include <gtest/gtest.h>

#include "framework/Bitmap.h"
#include "support/Gui.h"

namespace {

class CanvasTest : public ::testing::Test {
protected:
  void SetUp() override { EnsureApplication(); }

  // The columns or rows (as a string of '#' and '.') of one row/column in colour `c`.
  static std::string Row(TBitmap& b, int y, TColor c) {
    std::string s;
    for (int x = 0; x < b.Width(); ++x)
      s += b.Canvas()->Pixels(x, y) == c ? '#' : '.';
    return s;
  }
  static std::string Column(TBitmap& b, int x, TColor c) {
    std::string s;
    for (int y = 0; y < b.Height(); ++y)
      s += b.Canvas()->Pixels(x, y) == c ? '#' : '.';
    return s;
  }
  static int Count(TBitmap& b, TColor c) {
    int n = 0;
    for (int y = 0; y < b.Height(); ++y)
      for (int x = 0; x < b.Width(); ++x)
        n += b.Canvas()->Pixels(x, y) == c;
    return n;
  }
  static void Clear(TBitmap& b, TColor c) {
    b.Canvas()->Brush()->SetColor(c);
    b.Canvas()->FillRect(Rect(0, 0, b.Width(), b.Height()));
  }
};

TEST_F(CanvasTest, FillRectLeavesOutRightAndBottom) {
  TBitmap b;
  b.SetSize(8, 6);
  Clear(b, clBlack);
  b.Canvas()->Brush()->SetColor(clLime);
  b.Canvas()->FillRect(Rect(2, 1, 5, 4));
  EXPECT_EQ(Row(b, 1, clLime), "..###...");
  EXPECT_EQ(Row(b, 3, clLime), "..###...");
  EXPECT_EQ(Row(b, 4, clLime), "........");
  EXPECT_EQ(Count(b, clLime), 9);
  // Empty, inverted and clear-brush rectangles draw nothing; partly outside is clipped.
  b.Canvas()->FillRect(Rect(6, 1, 6, 5));
  b.Canvas()->FillRect(Rect(7, 5, 6, 2));
  b.Canvas()->Brush()->SetStyle(bsClear);
  b.Canvas()->FillRect(Rect(0, 0, 8, 6));
  EXPECT_EQ(Count(b, clLime), 9);
  b.Canvas()->Brush()->SetColor(clRed);
  b.Canvas()->FillRect(Rect(6, 4, 20, 20));
  EXPECT_EQ(Count(b, clRed), 4);
}

TEST_F(CanvasTest, CopyModesAreExactBitwiseOperations) {
  TBitmap dest, src;
  dest.SetSize(4, 1);
  src.SetSize(4, 1);
  const TColor d[] = {0x123456, clLime, clBlack, clWhite};
  const TColor s[] = {0x0F0F0F, clWhite, clFuchsia, clLime};
  for (int x = 0; x < 4; ++x) {
    dest.Canvas()->SetPixel(x, 0, d[x]);
    src.Canvas()->SetPixel(x, 0, s[x]);
  }
  dest.Canvas()->SetCopyMode(cmSrcInvert);
  dest.Canvas()->Draw(0, 0, &src);
  for (int x = 0; x < 4; ++x)
    EXPECT_EQ(dest.Canvas()->Pixels(x, 0), d[x] ^ s[x]) << x;
  EXPECT_EQ(dest.Canvas()->Pixels(1, 0), clFuchsia) << "white over lime is magenta";
  // The same XOR again restores the picture.
  dest.Canvas()->Draw(0, 0, &src);
  for (int x = 0; x < 4; ++x)
    EXPECT_EQ(dest.Canvas()->Pixels(x, 0), d[x]);
  dest.Canvas()->SetCopyMode(cmSrcCopy);
  dest.Canvas()->Draw(1, 0, &src);
  EXPECT_EQ(dest.Canvas()->Pixels(0, 0), d[0]);
  EXPECT_EQ(dest.Canvas()->Pixels(1, 0), s[0]);
  EXPECT_EQ(dest.Canvas()->Pixels(3, 0), s[2]);
  // BLACKNESS needs no source, even the canvas itself as source.
  dest.Canvas()->SetCopyMode(cmBlackness);
  dest.Canvas()->CopyRect(Rect(0, 0, 3, 1), dest.Canvas(), Rect(0, 0, 3, 1));
  EXPECT_EQ(Row(dest, 0, clBlack), "###.");
  dest.Canvas()->SetCopyMode(0x12345678);
  EXPECT_THROW(dest.Canvas()->Draw(0, 0, &src), Exception);
}

TEST_F(CanvasTest, CopyRectOntoItselfReadsThePixelsAsTheyWere) {
  TBitmap b;
  b.SetSize(4, 1);
  for (int x = 0; x < 4; ++x)
    b.Canvas()->SetPixel(x, 0, x * 0x10);
  b.Canvas()->CopyRect(Rect(1, 0, 4, 1), b.Canvas(), Rect(0, 0, 3, 1));
  EXPECT_EQ(b.Canvas()->Pixels(1, 0), 0x00);
  EXPECT_EQ(b.Canvas()->Pixels(2, 0), 0x10);
  EXPECT_EQ(b.Canvas()->Pixels(3, 0), 0x20);
}

TEST_F(CanvasTest, CopyRectStretches) {
  TBitmap src, dest;
  src.SetSize(2, 1);
  src.Canvas()->SetPixel(0, 0, clRed);
  src.Canvas()->SetPixel(1, 0, clBlue);
  dest.SetSize(4, 2);
  dest.Canvas()->CopyRect(Rect(0, 0, 4, 2), src.Canvas(), Rect(0, 0, 2, 1));
  EXPECT_EQ(Row(dest, 0, clRed), "##..");
  EXPECT_EQ(Row(dest, 1, clBlue), "..##");
}

TEST_F(CanvasTest, EllipseStaysInsideItsBoxLikeTheGdi) {
  TBitmap b;
  b.SetSize(14, 12);
  Clear(b, clBlack);
  b.Canvas()->Pen()->SetColor(clLime);
  b.Canvas()->Brush()->SetColor(clRed);
  b.Canvas()->Ellipse(2, 1, 12, 11); // 10 x 10, right and bottom exclusive
  std::string middleRow = Row(b, 6, clBlack), middleCol = Column(b, 7, clBlack);
  EXPECT_EQ(middleRow.find('.'), 2u);
  EXPECT_EQ(middleRow.rfind('.'), 11u);
  EXPECT_EQ(middleCol.find('.'), 1u);
  EXPECT_EQ(middleCol.rfind('.'), 10u);
  EXPECT_EQ(b.Canvas()->Pixels(2, 6), clLime) << "outline in the pen";
  EXPECT_EQ(b.Canvas()->Pixels(7, 6), clRed) << "inside in the brush";
  EXPECT_EQ(b.Canvas()->Pixels(2, 1), clBlack) << "corners stay out";
}

TEST_F(CanvasTest, PieGoesCounterClockwiseFromTheFirstRadial) {
  TBitmap b;
  b.SetSize(41, 41);
  Clear(b, clBlack);
  b.Canvas()->Pen()->SetColor(clRed);
  b.Canvas()->Brush()->SetColor(clLime);
  // From three o'clock counter-clockwise to twelve: the upper right quarter.
  b.Canvas()->Pie(0, 0, 41, 41, 40, 20, 20, 0);
  EXPECT_EQ(b.Canvas()->Pixels(30, 10), clLime);
  EXPECT_EQ(b.Canvas()->Pixels(10, 10), clBlack);
  EXPECT_EQ(b.Canvas()->Pixels(10, 30), clBlack);
  EXPECT_EQ(b.Canvas()->Pixels(30, 30), clBlack);
  // The other way round, three quarters.
  Clear(b, clBlack);
  b.Canvas()->Brush()->SetColor(clLime);
  b.Canvas()->Pie(0, 0, 41, 41, 20, 0, 40, 20);
  EXPECT_EQ(b.Canvas()->Pixels(30, 10), clBlack);
  EXPECT_EQ(b.Canvas()->Pixels(10, 10), clLime);
  EXPECT_EQ(b.Canvas()->Pixels(10, 30), clLime);
  EXPECT_EQ(b.Canvas()->Pixels(30, 30), clLime);
}

TEST_F(CanvasTest, LineToLeavesOutTheEndPoint) {
  TBitmap b;
  b.SetSize(8, 8);
  Clear(b, clBlack);
  b.Canvas()->Pen()->SetColor(clWhite);
  b.Canvas()->MoveTo(1, 2);
  b.Canvas()->LineTo(6, 2);
  EXPECT_EQ(Row(b, 2, clWhite), ".#####..");
  EXPECT_EQ(b.Canvas()->PenPos(), (TPoint{6, 2}));
  b.Canvas()->LineTo(6, 6);
  EXPECT_EQ(Column(b, 6, clWhite), "..####..");
  Clear(b, clBlack);
  b.Canvas()->MoveTo(0, 0);
  b.Canvas()->LineTo(4, 4);
  EXPECT_EQ(Count(b, clWhite), 4);
  EXPECT_EQ(b.Canvas()->Pixels(3, 3), clWhite);
  EXPECT_EQ(b.Canvas()->Pixels(4, 4), clBlack);
}

TEST_F(CanvasTest, TextRectClipsAndMeasures) {
  TBitmap b;
  b.SetSize(60, 20);
  Clear(b, clBlack);
  TCanvas* c = b.Canvas();
  c->Font()->SetHeight(-11);
  c->Font()->SetColor(clWhite);
  int w = c->TextWidth("88%"), h = c->TextHeight("88%");
  EXPECT_GT(w, 10);
  EXPECT_GE(h, 11);
  c->Brush()->SetStyle(bsClear);
  c->TextRect(Rect(5, 2, 5 + w / 2, 2 + h), 5, 2, "88%");
  int left = 99, right = -1, top = 99, bottom = -1, other = 0;
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 60; ++x) {
      TColor p = c->Pixels(x, y);
      if (p == clWhite) {
        left = std::min(left, x), right = std::max(right, x);
        top = std::min(top, y), bottom = std::max(bottom, y);
      } else if (p != clBlack) {
        ++other;
      }
    }
  EXPECT_EQ(other, 0) << "no smoothing: every text pixel is the font colour";
  EXPECT_GE(left, 5);
  EXPECT_LT(right, 5 + w / 2) << "clipped to the rectangle";
  EXPECT_GE(top, 2);
  EXPECT_LT(bottom, 2 + h);
  // A solid brush fills the rectangle behind the text.
  c->Brush()->SetColor(clBlue);
  c->TextRect(Rect(40, 0, 50, 5), 40, 0, "");
  EXPECT_EQ(Count(b, clBlue), 50);
}

TEST_F(CanvasTest, BitmapResizeKeepsWhatFits) {
  TBitmap b;
  EXPECT_TRUE(b.Empty());
  b.SetSize(3, 3);
  EXPECT_EQ(b.Canvas()->Pixels(1, 1), clWhite);
  b.Canvas()->SetPixel(1, 1, clRed);
  b.SetSize(5, 2);
  EXPECT_EQ(b.Canvas()->Pixels(1, 1), clRed);
  EXPECT_EQ(b.Canvas()->Pixels(4, 1), clWhite);
  EXPECT_EQ(b.Canvas()->Pixels(4, 2), clNone);
  TBltBitmap overlay;
  overlay.MatchTemplate(&b);
  EXPECT_EQ(overlay.Width(), 5);
  EXPECT_EQ(overlay.Height(), 2);
  b.SetSize(-1, 4);
  EXPECT_TRUE(b.Empty());
}

TEST(ColorTest, NamesAndConversions) {
  TColor c;
  ASSERT_TRUE(IdentToColor("clLime", c));
  EXPECT_EQ(c, 0x00FF00);
  ASSERT_TRUE(IdentToColor("$000000FF", c));
  EXPECT_EQ(c, clRed);
  EXPECT_FALSE(IdentToColor("lime", c));
  EXPECT_EQ(ColorToString(clBtnFace), "clBtnFace");
  EXPECT_EQ(ColorToString(0x123456), "$00123456");
  EXPECT_EQ(ColorToRGB(clFuchsia), 0xFF00FF);
  TFont f;
  EXPECT_EQ(f.Height(), -11);
  EXPECT_EQ(f.Size(), 8);
  f.SetSize(10);
  EXPECT_EQ(f.Height(), -13);
}

} // namespace
