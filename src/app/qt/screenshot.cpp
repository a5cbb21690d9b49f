#include "app/qt/screenshot.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPixmap>
#include <QWidget>

namespace kestrel::qt {

QImage window_picture(QWidget& window) {
  const QPixmap client = window.grab();
  const QFont font = window.font();
  const int caption = QFontMetrics(font).height() + 10;
  const int border = 1;
  QImage img(client.width() + 2 * border, client.height() + caption + border, QImage::Format_RGB32);
  img.fill(QColor(0x4a, 0x55, 0x68));
  QPainter p(&img);
  const int icon = caption - 8;
  p.drawPixmap(border + 6, 4, window.windowIcon().pixmap(icon, icon));
  p.setPen(Qt::white);
  p.setFont(font);
  p.drawText(QRect(border + icon + 14, 0, img.width() - icon - 20, caption), Qt::AlignVCenter | Qt::AlignLeft,
             window.windowTitle());
  p.drawPixmap(border, caption, client);
  p.end();
  return img;
}

bool save_window_picture(QWidget& window, const QString& path) { return window_picture(window).save(path, "PNG"); }

}  // namespace kestrel::qt
