#include "app/qt/dialog_units.h"

#include <QFontMetrics>

namespace kestrel::qt {

BaseUnits platform_base_units(const QFont& font) {
  const QFontMetrics fm(font);
  const int letters = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  // (cx / 26 + 1) / 2: the average of the 52 letters, rounded.
  return {(letters / 26 + 1) / 2, fm.height()};
}

int base_x_for_width(int w_du, int px, int from) {
  int b = from;
  while (w_du > 0 && mul_div(w_du, b, 4) < px) ++b;
  return b;
}

}  // namespace kestrel::qt
