#pragma once

#include <QColor>

// Contrast as the WCAG measures it, so that what the program paints stays readable on
// whatever palette the desktop gives: text at least 4.5:1 against what is behind it,
// shapes at least 3:1.
namespace quillfern {

inline constexpr double TextContrast = 4.5;
inline constexpr double ShapeContrast = 3.0;

// The relative luminance of an sRGB colour, 0 (black) to 1 (white).
double RelativeLuminance(const QColor& colour);
// (lighter + 0.05) / (darker + 0.05): 1 to 21.
double ContrastRatio(const QColor& first, const QColor& second);
// The colour itself where it contrasts enough with the background; otherwise the
// nearest mix of it with white or black (whichever lies away from the background) that
// does.
QColor WithContrast(const QColor& colour, const QColor& background, double ratio);

}  // namespace quillfern
