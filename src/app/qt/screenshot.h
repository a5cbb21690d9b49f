// A picture of a window for the documentation: its client area under a caption strip with its
// icon and title, drawn here because no window manager frames it on a bare X server.
#pragma once

#include <QImage>
#include <QString>

class QWidget;

namespace kestrel::qt {

QImage window_picture(QWidget& window);
bool save_window_picture(QWidget& window, const QString& path);

}  // namespace kestrel::qt
