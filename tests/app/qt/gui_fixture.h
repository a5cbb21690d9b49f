// The real main window (widgets, logic, timer, device notifications) on simulated cards behind
// the sim backend, in simulated time.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/qt/kestrel_window.h"
#include "devlink/qhidev.h"
#include "log/clock.h"
#include "log/log.h"
#include "platform/hid_backend.h"
#include "res/ui_text.h"
#include "sim/card.h"
#include "sim/sim_backend.h"

namespace kestrel::test {

// Runs the event loop until `done` holds or `ms` of real time pass; the result of `done`.
inline bool wait_for(const std::function<bool()>& done, int ms = 5000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(1);
  }
  return true;
}

class GuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_set_source(&clock_);
    clock_init();
    clock_.advance_ns(10'000'000'000ull);
    platform::set_backend(backend());
    ui_text_select(false);
  }
  void TearDown() override {
    window_.reset();
    qhidev_release_all(list_);
    platform::set_backend(nullptr);
    clock_set_source(nullptr);
    clock_init();
    log_reset_for_test();
    ui_text_select(false);
  }
  virtual sim::SimBackend* backend() { return &backend_; }

  // The window as start-up makes it, initialised and shown; message boxes are collected.
  qt::KestrelWindow& open() {
    window_ = std::make_unique<qt::KestrelWindow>(backend(), list_);
    window_->view().set_message_sink([this](const std::string& m) { messages_.push_back(m); });
    init_ok_ = window_->init_dialog();
    window_->view().show();
    return *window_;
  }
  qt::QtView& view() { return window_->view(); }
  template <typename W>
  W* widget(uint32_t id) {
    return view().findChild<W*>(QString::number(id));
  }

  SimClock clock_;
  sim::SimBackend backend_;
  qhidev_list list_;
  std::unique_ptr<qt::KestrelWindow> window_;
  std::vector<std::string> messages_;
  bool init_ok_ = false;
};

}  // namespace kestrel::test
