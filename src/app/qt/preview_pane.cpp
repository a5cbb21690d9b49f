#include "app/qt/preview_pane.h"

#include <QPainter>
#include <QTimer>

#include "log/clock.h"
#include "log/log.h"
#include "picture/convert.h"

namespace kestrel::qt {

using namespace picture;

PreviewPane::PreviewPane(QWidget* parent) : QWidget(parent), timer_(new QTimer(this)) {
  setObjectName(QStringLiteral("preview"));
  setAttribute(Qt::WA_OpaquePaintEvent);
  timer_->setTimerType(Qt::PreciseTimer);
  connect(timer_, &QTimer::timeout, this, &PreviewPane::poll);
}

PreviewPane::~PreviewPane() = default;

void PreviewPane::set_running(bool on) {
  if (on == running_) return;
  running_ = on;
  if (on) {
    next_open_ns_ = 0;
    timer_->start(kPollMs);
    poll();
  } else {
    timer_->stop();
    close_source({});
    image_ = QImage();
    check_until_ns_ = 0;
  }
  update();
}

void PreviewPane::hold(bool on) {
  if (on == held_) return;
  held_ = on;
  if (on) {
    close_source(QStringLiteral("stopped while the upgrade holds the card"));
    return;
  }
  if (!running_) return;
  next_open_ns_ = 0;
  check_until_ns_ = clock_now_ns() + static_cast<uint64_t>(kCaptureCheckS) * 1'000'000'000ULL;
  capture_result_.clear();
}

void PreviewPane::card_changed() {
  // Nothing of the old card's picture stays: neither its source nor its last frame. A capture
  // check under way goes on with the card now current (the upgraded card may come back under
  // another node).
  source_.reset();
  image_ = QImage();
  status_.clear();
  next_open_ns_ = 0;
  if (running_ && !held_) poll();
  update();
}

void PreviewPane::close_source(const QString& why) {
  source_.reset();
  if (!why.isEmpty()) status_ = why;
  update();
}

void PreviewPane::try_open() {
  const uint64_t now = clock_now_ns();
  if (now < next_open_ns_ || !opener_) return;
  next_open_ns_ = now + kReopenMs * 1'000'000ULL;
  OpenResult o = opener_();
  if (!o.source) {
    const QString why = QString::fromStdString(o.error);
    if (why != status_) {
      status_ = why;
      update();
    }
    return;
  }
  source_ = std::move(o.source);
  status_ = QString::fromStdString(source_->name());
  update();
}

void PreviewPane::end_check(bool ok) {
  check_until_ns_ = 0;
  capture_result_ = ok ? QStringLiteral("capture ok")
                       : QStringLiteral("no frames in %1 s").arg(kCaptureCheckS);
  log_printf(0, " msg : preview after the upgrade: %s\r\n", capture_result_.toUtf8().constData());
}

void PreviewPane::poll() {
  if (!running_ || held_) return;
  if (check_until_ns_ && clock_now_ns() >= check_until_ns_) end_check(false);
  if (!source_) {
    try_open();
    if (!source_) return;
  }
  const NextResult n = source_->next(0);
  if (n.status == NextStatus::Error) close_source(QString::fromStdString(n.error));
  if (n.status != NextStatus::Frame) return;
  show_frame(n.frame);
  if (check_until_ns_) end_check(true);
}

void PreviewPane::show_frame(const FrameView& f) {
  if (image_.width() != f.width || image_.height() != f.height)
    image_ = QImage(f.width, f.height, QImage::Format_RGB32);
  // One conversion, straight from the source's buffer into the image's own memory.
  if (!convert_to_bgra(f, image_.bits(), static_cast<int>(image_.bytesPerLine()))) return;
  ++frames_;
  update();
  Q_EMIT frameShown();
}

void PreviewPane::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), Qt::black);
  const int line = fontMetrics().height() + 4;
  const QRect picture_room = rect().adjusted(0, 0, 0, -line);
  if (!image_.isNull() && source_) {
    QSize s = image_.size().scaled(picture_room.size(), Qt::KeepAspectRatio);
    const QRect target(picture_room.x() + (picture_room.width() - s.width()) / 2,
                       picture_room.y() + (picture_room.height() - s.height()) / 2, s.width(), s.height());
    p.setRenderHint(QPainter::SmoothPixmapTransform, false);
    p.drawImage(target, image_);
  }
  p.setPen(Qt::white);
  QString caption = status_;
  if (!capture_result_.isEmpty()) caption += QStringLiteral(" — ") + capture_result_;
  p.drawText(rect().adjusted(4, 0, -4, -2), Qt::AlignLeft | Qt::AlignBottom, caption);
}

}  // namespace kestrel::qt
