// The bar's pixels, read back from a grab of the widget.
#include <gtest/gtest.h>

#include <QImage>

#include "window/progress_bar.h"

using Bar = tw::window::GradientProgressBar;

namespace {

// Rows [from, to) of the bar's picture are all of one colour (the button face when none given).
bool rowsAre(Bar& bar, int from, int to, QColor c = {}) {
    if (!c.isValid()) c = bar.palette().color(QPalette::Button);
    const QImage img = bar.grab().toImage();
    for (int y = from; y < to; ++y)
        for (int x = 0; x < img.width(); ++x)
            if (img.pixelColor(x, y).rgb() != c.rgb()) return false;
    return to <= img.height();
}

} // namespace

TEST(ProgressBar, FillsFromTheBottomInProportionToItsRange) {
    Bar bar;
    bar.resize(200, 40);
    bar.setPosition(50);
    EXPECT_TRUE(rowsAre(bar, 0, 20));
    EXPECT_TRUE(rowsAre(bar, 20, 40, Bar::kNormalColor));

    bar.setRange(0, 1200); // the cycle bar: a quarter of it is the lowest quarter of the rows
    bar.setPosition(300);
    EXPECT_TRUE(rowsAre(bar, 0, 30));
    EXPECT_TRUE(rowsAre(bar, 30, 40, Bar::kNormalColor));
    bar.setPosition(1200); // full, and no text
    EXPECT_TRUE(rowsAre(bar, 0, 40, Bar::kNormalColor));
}

TEST(ProgressBar, OutsideItsRangeTheBarIsEmptyEvenWhenPassed) {
    Bar bar;
    bar.resize(200, 40);
    bar.markPass();
    bar.setRange(200, 300); // position 100 is now at or below the lower bound; still PASS
    ASSERT_EQ(bar.state(), Bar::State::Pass);
    EXPECT_TRUE(rowsAre(bar, 0, 40)); // no fill, no text
    bar.setRange(0, 50);              // and above the upper bound
    EXPECT_TRUE(rowsAre(bar, 0, 40));

    bar.setRange(0, 100);
    bar.markPass();
    bar.setPosition(0);
    EXPECT_TRUE(rowsAre(bar, 0, 40));
}

TEST(ProgressBar, PassAndFailFillTheBarWithTheirColourAndCentredText) {
    Bar bar;
    bar.resize(240, 60);
    QRect texts[2];
    for (int i = 0; i < 2; ++i) {
        const QColor colour = i == 0 ? Bar::kPassColor : Bar::kFailColor;
        i == 0 ? bar.markPass() : bar.markFail();
        EXPECT_EQ(bar.position(), bar.upper());
        EXPECT_TRUE(rowsAre(bar, 0, 5, colour)); // rows the text does not reach
        EXPECT_TRUE(rowsAre(bar, 55, 60, colour));
        // The text: every pixel not of the bar's colour, some of them dark, centred.
        const QImage img = bar.grab().toImage();
        int dark = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                if (img.pixelColor(x, y).rgb() != colour.rgb()) {
                    texts[i] |= QRect(x, y, 1, 1);
                    dark += qGray(img.pixel(x, y)) < 40;
                }
        EXPECT_GT(dark, 20);
        EXPECT_GT(texts[i].height(), 15); // 20-point text
        EXPECT_NEAR(texts[i].center().x(), 120, 3);
        EXPECT_NEAR(texts[i].center().y(), 30, 4);
    }
    EXPECT_NE(texts[0], texts[1]) << "PASS and FAIL draw the same text";
}

TEST(ProgressBar, SetPositionAfterFailReturnsToTheNormalColour) {
    Bar bar;
    bar.resize(200, 40);
    bar.markFail();
    bar.setPosition(50);
    EXPECT_EQ(bar.state(), Bar::State::Normal);
    EXPECT_TRUE(rowsAre(bar, 0, 20));
    EXPECT_TRUE(rowsAre(bar, 20, 40, Bar::kNormalColor)); // no red, no text
    bar.markFail();
    bar.setPosition(0);
    EXPECT_TRUE(rowsAre(bar, 0, 40));
}
