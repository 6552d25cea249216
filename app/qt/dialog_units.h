#pragma once
// The dialog template is laid out in dialog units, which scale with the dialog's font: a
// horizontal unit is a quarter of the font's average character width, a vertical unit an
// eighth of its height. The template's 9-point font at 96 dpi gives 6 × 12 pixel base units,
// so the window keeps the proportions the template was drawn for. Windows rounds the
// conversion half away from zero; so does this.
#include <QRect>

namespace dialog_units {

constexpr int kBaseX = 6;
constexpr int kBaseY = 12;
constexpr int kFontPixels = 12;  // 9 pt at 96 dpi

constexpr int MulDiv(int value, int numerator, int denominator)
{
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>((product >= 0 ? product + half : product - half) / denominator);
}

constexpr int X(int units) { return MulDiv(units, kBaseX, 4); }
constexpr int Y(int units) { return MulDiv(units, kBaseY, 8); }

inline QRect Rect(int x, int y, int width, int height) { return QRect(X(x), Y(y), X(width), Y(height)); }

} // namespace dialog_units
