#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>
#include <QtMath>

#include "panel/qt_widgets.h"

namespace mero::test {
namespace {

bool Yellow(QRgb pixel) { return qRed(pixel) > 200 && qGreen(pixel) > 150 && qBlue(pixel) < 80; }

// At every scaling the logo keeps its logical 80 x 26 and is drawn with the device's own
// pixels: the yellow line (logical rows 21 to 23) starts on a device row, not on a row of an
// enlarged 80 x 26 bitmap.
TEST(Logo, DrawnForTheDevicePixelRatio) {
  for (const qreal ratio : {1.0, 1.5, 2.0, 3.0}) {
    SCOPED_TRACE(ratio);
    const QPixmap logo = panel::MakeLogo(ratio);
    EXPECT_EQ(logo.deviceIndependentSize(), QSizeF(80, 26));
    EXPECT_EQ(logo.size(), QSize(qCeil(80 * ratio), qCeil(26 * ratio)));
    const QImage image = logo.toImage();
    const int middle = image.width() / 2;
    EXPECT_TRUE(Yellow(image.pixel(middle, qFloor(21.5 * ratio))));
    EXPECT_FALSE(Yellow(image.pixel(middle, qFloor(21 * ratio) - 1)));
  }
}

TEST(Logo, PictureShowsTheLogo) {
  panel::LogoPicture picture;
  const QImage shown = picture.grab().toImage().convertToFormat(QImage::Format_RGB32);
  const QImage logo = panel::MakeLogo(picture.devicePixelRatioF()).toImage();
  EXPECT_EQ(shown, logo.convertToFormat(QImage::Format_RGB32));
}

}  // namespace
}  // namespace mero::test
