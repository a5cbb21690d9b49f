// Dialog units to pixels, the way the platform converts a dialog template: the horizontal base
// unit is the average width of the 52 Latin letters in the dialog's font, the vertical one the
// font's height; x = x_du * base_x / 4 and y = y_du * base_y / 8, rounded as MulDiv rounds.
#pragma once

#include <QFont>
#include <QRect>

namespace kestrel::qt {

struct BaseUnits {
  int x = 0;
  int y = 0;
};

// a * b / c rounded to the nearest integer, halves away from zero (positive arguments).
constexpr int mul_div(int a, int b, int c) { return c == 0 ? -1 : (a * b + c / 2) / c; }

BaseUnits platform_base_units(const QFont& font);

inline int du_x(const BaseUnits& u, int du) { return mul_div(du, u.x, 4); }
inline int du_y(const BaseUnits& u, int du) { return mul_div(du, u.y, 8); }
inline QRect du_rect(const BaseUnits& u, int x, int y, int w, int h) {
  return QRect(du_x(u, x), du_y(u, y), du_x(u, w), du_y(u, h));
}

// The smallest horizontal base unit, not below `from`, at which `w_du` dialog units give at
// least `px` pixels.
int base_x_for_width(int w_du, int px, int from);

}  // namespace kestrel::qt
