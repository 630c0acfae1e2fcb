#include "app/desktop/contrast.h"

#include <algorithm>
#include <cmath>

namespace quillfern {
namespace {

double Linear(double channel) {
  return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

QColor Mix(const QColor& from, const QColor& to, double share) {
  const auto mix = [share](int a, int b) {
    return static_cast<int>(std::lround(a + (b - a) * share));
  };
  return QColor(mix(from.red(), to.red()), mix(from.green(), to.green()),
                mix(from.blue(), to.blue()));
}

}  // namespace

double RelativeLuminance(const QColor& colour) {
  const QColor rgb = colour.toRgb();
  return 0.2126 * Linear(rgb.redF()) + 0.7152 * Linear(rgb.greenF()) + 0.0722 * Linear(rgb.blueF());
}

double ContrastRatio(const QColor& first, const QColor& second) {
  const double a = RelativeLuminance(first);
  const double b = RelativeLuminance(second);
  return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

QColor WithContrast(const QColor& colour, const QColor& background, double ratio) {
  if (ContrastRatio(colour, background) >= ratio) return colour;
  // Away from the background: lighter on a dark one, darker on a light one. Where
  // that end cannot reach the ratio, the other one is tried.
  const bool darkBackground = RelativeLuminance(background) < 0.18;
  for (const QColor& end : {darkBackground ? QColor(Qt::white) : QColor(Qt::black),
                            darkBackground ? QColor(Qt::black) : QColor(Qt::white)}) {
    for (int step = 1; step <= 20; ++step) {
      const QColor mixed = Mix(colour, end, step / 20.0);
      if (ContrastRatio(mixed, background) >= ratio) return mixed;
    }
  }
  return colour;
}

}  // namespace quillfern
