// The preview pane beside the window's controls: the attached card's live picture, converted
// once from the source's buffer into the image it paints. Without a picture it says why (no card,
// no video node, the node held by another program, no signal) and tries again four times a second.
// While an upgrade holds the card the picture stops; afterwards the pane opens it again and says
// "capture ok" or "no frames in N s".
#pragma once

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>

#include "picture/frame_source.h"

class QTimer;

namespace kestrel::qt {

class PreviewPane : public QWidget {
  Q_OBJECT

 public:
  explicit PreviewPane(QWidget* parent = nullptr);
  ~PreviewPane() override;

  // What opens the picture (the window's current card). Without one the pane shows nothing.
  void set_opener(std::function<picture::OpenResult()> opener) { opener_ = std::move(opener); }

  // Starts or stops taking frames; stopping closes the source.
  void set_running(bool on);
  bool running() const { return running_; }
  // An upgrade holds the card: the source closes and nothing is opened until the hold ends; then
  // the pane opens it again and checks that frames come within kCaptureCheckS.
  void hold(bool on);
  // The window's current card changed: the old card's picture closes and goes from the pane at
  // once, and the new card's picture is opened (or the pane says why there is none).
  void card_changed();

  // What the pane shows: the last frame (null before the first) and the line beneath it.
  const QImage& image() const { return image_; }
  QString status() const { return status_; }
  uint64_t frames() const { return frames_; }
  // The last capture check's outcome, "" before any.
  QString capture_result() const { return capture_result_; }

  static constexpr int kPollMs = 4;          // a 60 Hz source is looked at four times a frame
  static constexpr int kReopenMs = 250;      // between attempts to open the picture
  static constexpr uint32_t kCaptureCheckS = 10;

 Q_SIGNALS:
  void frameShown();

 protected:
  void paintEvent(QPaintEvent* e) override;

 private:
  void poll();
  void try_open();
  void close_source(const QString& why);
  void show_frame(const picture::FrameView& f);
  void end_check(bool ok);

  std::function<picture::OpenResult()> opener_;
  std::unique_ptr<picture::FrameSource> source_;
  QTimer* timer_ = nullptr;
  QImage image_;
  QString status_;
  QString capture_result_;
  bool running_ = false;
  bool held_ = false;
  uint64_t frames_ = 0;
  uint64_t next_open_ns_ = 0;
  uint64_t check_until_ns_ = 0;  // a capture check runs until then; 0: none
};

}  // namespace kestrel::qt
