// Upgrades through the real window: the file dialog, the confirmation dialog and its yes/no
// question answered like a user, on a simulated card with its flash.
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QMenuBar>
#include <QCheckBox>
#include <QComboBox>
#include <QtTest/QTest>

#include <algorithm>
#include <chrono>
#include <thread>

#include "app/ids.h"
#include "app/qt/alert_view.h"
#include "devlink/commands.h"
#include "devlink/frame.h"
#include "gui_fixture.h"
#include "sim/download_channel.h"
#include "support/test_images.h"
#include "update/image_check.h"
#include "update/transfer_progress.h"
#include <QLabel>
#include "log/log_capture.h"
#include "history/history_path.h"
#include "history/history_store.h"
#include "app/ids.h"

namespace kestrel {
namespace {

using test::GuiTest;
using test::wait_for;

// Runs `inside` on the first modal widget of type W, from the event loop it runs in.
template <typename W>
void when_modal(std::function<void(W*)> inside) {
  QTimer::singleShot(0, [inside = std::move(inside)] {
    W* w = nullptr;
    if (wait_for([&] { return (w = qobject_cast<W*>(QApplication::activeModalWidget())) != nullptr; })) inside(w);
  });
}

TEST_F(GuiTest, FpgaUpgradeOnMeadowThroughTheFlashChannel) {
  auto card = backend_.add_card(*sim::make_scenario("meadow"));
  auto storage = sim::storage_of(*card);
  ASSERT_NE(storage, nullptr);
  test::TempDir dir;
  const auto bit = test::fpga_bitstream(0x9000);
  const std::string path = dir.write("logic.bin", bit);
  open();
  bool chose = false;
  when_modal<QFileDialog>([&](QFileDialog* d) {
    chose = true;
    d->selectFile(QString::fromStdString(path));
    static_cast<QDialog*>(d)->accept();  // the Open button
  });
  view().dispatch_command(ids::BTN_FPGA_FIRMWARE);
  EXPECT_TRUE(chose);
  EXPECT_EQ(messages_, std::vector<std::string>{"OK!"});
  EXPECT_EQ(storage->flash.read(0x40000, static_cast<uint32_t>(bit.size())), bit);
  size_t flash_requests = 0;  // output report 7: the flash channel
  for (const auto& r : card->reports_of(sim::ReportKind::Output))
    if (!r.empty() && r[0] == 7) ++flash_requests;
  EXPECT_GT(flash_requests, 0u);
  EXPECT_TRUE(widget<QPushButton>(ids::BTN_FPGA_FIRMWARE)->isEnabled());
}

TEST_F(GuiTest, FpgaUpgradeCancelledInTheFileDialogWritesNothing) {
  auto card = backend_.add_card(*sim::make_scenario("meadow"));
  auto storage = sim::storage_of(*card);
  const auto before = storage->flash.read(0x40000, 0x100);
  open();
  when_modal<QFileDialog>([](QFileDialog* d) { d->reject(); });
  view().dispatch_command(ids::BTN_FPGA_FIRMWARE);
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(storage->flash.read(0x40000, 0x100), before);
}

AlertRequest request(uint16_t style) {
  AlertRequest r;
  r.style = style;
  r.title = "check";
  r.info = "line 1\r\nline 2";
  r.verdict = "版本不匹配";
  r.accept_caption = "强制升级";
  r.cancel_caption = "取消";
  return r;
}

struct AlertCase {
  uint16_t style;
  QColor colour;
  bool asks;
};

// Under the Chinese table the dialog shows the request's texts as they are (the English table's
// texts are the language tests' business).
class AlertViewTest : public GuiTest, public ::testing::WithParamInterface<AlertCase> {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    ui_text_select(true);
  }
};

TEST_P(AlertViewTest, VerdictColourAndAccept) {
  const AlertCase c = GetParam();
  const AlertRequest r = request(c.style);
  for (bool yes : {true, false}) {
    bool asked = false;
    QColor colour;
    when_modal<qt::CAlertView>([&](qt::CAlertView* v) {
      colour = v->findChild<QLineEdit*>(QStringLiteral("1505"))->palette().color(QPalette::Text);
      EXPECT_EQ(v->windowTitle().toStdString(), "check");
      // Watches for the question while the dialog is up; gives up once the dialog has ended.
      QTimer::singleShot(0, [&, alive = QPointer<qt::CAlertView>(v)] {
        QMessageBox* q = nullptr;
        wait_for([&] {
          q = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
          return q != nullptr || !alive || !alive->isVisible();
        });
        if (!q) return;
        asked = true;
        EXPECT_EQ(q->text().toStdString(), "版本不匹配是否强制升级");
        EXPECT_EQ(q->defaultButton(), q->button(QMessageBox::No));  // Enter answers No
        q->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
      });
      v->findChild<QPushButton*>(QStringLiteral("1"))->click();
    });
    const bool accepted = qt::show_alert_dialog(r);
    EXPECT_EQ(colour, c.colour);
    EXPECT_EQ(asked, c.asks);
    EXPECT_EQ(accepted, !c.asks || yes) << "yes=" << yes;
    wait_for([] { return false; }, 20);  // the watcher's own turn ends here
  }
}

INSTANTIATE_TEST_SUITE_P(Styles, AlertViewTest,
                         ::testing::Values(AlertCase{0x0100, QColor(0, 160, 0), false},
                                           AlertCase{0x0200, QColor(0, 160, 128), false},
                                           AlertCase{0x0301, QColor(160, 160, 0), true},
                                           AlertCase{0x0400, QColor(192, 160, 0), false}));

TEST_F(GuiTest, AlertCancelAndEscapeAskNothing) {
  AlertRequest r = request(0x0301);
  r.title.reset();
  std::string title;
  when_modal<qt::CAlertView>([&](qt::CAlertView* v) {
    title = v->windowTitle().toStdString();
    v->findChild<QPushButton*>(QStringLiteral("2"))->click();
  });
  EXPECT_FALSE(qt::show_alert_dialog(r));
  EXPECT_EQ(title, "Dialog");
  when_modal<qt::CAlertView>([](qt::CAlertView* v) { v->reject(); });
  EXPECT_FALSE(qt::show_alert_dialog(r));
}


// ---- Whole upgrades through the window, answered by a user ----------------------------------

// Simulated time that also passes, a little, in real time on the threads that talk to the card
// (the upgrade worker, the flash engine): a transfer then lasts long enough that the GUI thread's
// event loop can be seen running while it goes on. The GUI thread's own waits stay simulated.
class PacedClock : public ClockSource {
 public:
  explicit PacedClock(SimClock& sim) : sim_(sim), gui_(std::this_thread::get_id()) {}
  uint64_t ticks() override { return sim_.ticks(); }
  uint64_t frequency() override { return sim_.frequency(); }
  void sleep_ms(uint32_t ms) override {
    sim_.sleep_ms(ms);
    if (std::this_thread::get_id() != gui_) std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(ms, 5)));
  }

 private:
  SimClock& sim_;
  const std::thread::id gui_;
};

// The HID path's erase is polled by the worker with its own waits, outside the card's lock; a
// slow erase (the worker waits in real time too, see PacedClock) keeps the transfer going for a
// few of the GUI thread's rounds.
constexpr uint32_t kSlowEraseMs = 300;

class UpgradeGui : public GuiTest {
 protected:
  // A TB610K-1CH card (no flash channel: upgrades go through the HID download) whose erases take
  // kSlowEraseMs, with the given faults.
  std::shared_ptr<sim::SimCard> add_slow_erasing_tb610k(sim::FaultPlan faults = {}) {
    auto s = *sim::make_scenario("TB610K-1CH");
    s.faults = std::move(faults);
    auto card = backend_.add_card(s);
    sim::storage_of(*card)->download.config().erase_ms = kSlowEraseMs;
    return card;
  }

  void SetUp() override {
    GuiTest::SetUp();
    clock_set_source(&paced_);
    clock_init();
    ui_text_select(true);  // the confirmation's texts as the match check writes them
  }
  PacedClock paced_{clock_};

  // Notes the window's state the moment it shows a message box: the upgrade buttons and device
  // controls enabled again, and whether it still holds the current device.
  void watch_messages() {
    view().set_message_sink([this](const std::string& m) {
      messages_.push_back(m);
      buttons_enabled_at_message_ = view().enabled(ids::BTN_USB_FIRMWARE) && view().enabled(ids::BTN_FPGA_FIRMWARE) &&
                                    view().enabled(ids::CARD_LIST) && view().enabled(ids::INPUT_LIST);
      device_kept_at_message_ = list_.current != nullptr;
    });
  }
  bool buttons_enabled_at_message_ = false;
  bool device_kept_at_message_ = false;
};

// A user in front of the screen: every few milliseconds looks at the modal dialog in front and
// answers it once. Buttons are clicked by a queued call, so that what a click opens (the yes/no
// question) runs in the dialog's own loop and this timer goes on looking.
class User : public QObject {
 public:
  struct Alert {
    bool shown = false;
    std::string title, info, verdict, accept_caption, cancel_caption;
    QColor colour;
  };
  std::string file;           // the file to pick; empty: cancel the file dialog
  bool accept_alert = true;   // the accept button of the confirmation, else its cancel button
  bool answer_yes = true;     // the answer to the re-confirmation question
  std::function<void()> on_file_dialog;  // runs when the file dialog is up, before it is answered
  Alert alert;
  std::string question;       // the yes/no question's text, if one was asked
  std::vector<std::string> order;  // "file", "alert", "question" as they came up

  User() {
    timer_.setInterval(5);
    connect(&timer_, &QTimer::timeout, this, &User::look);
    timer_.start();
  }

 private:
  static void click_later(QAbstractButton* b) { QMetaObject::invokeMethod(b, &QAbstractButton::click, Qt::QueuedConnection); }

  void look() {
    QWidget* w = QApplication::activeModalWidget();
    if (!w || !w->isVisible()) return;
    for (const auto& h : handled_)
      if (h == w) return;
    handled_.emplace_back(w);
    if (auto* d = qobject_cast<QFileDialog*>(w)) {
      order.push_back("file");
      if (on_file_dialog) on_file_dialog();
      if (file.empty()) {
        d->reject();
      } else {
        d->selectFile(QString::fromStdString(file));
        static_cast<QDialog*>(d)->accept();  // the Open button
      }
    } else if (auto* v = qobject_cast<qt::CAlertView*>(w)) {
      order.push_back("alert");
      alert.shown = true;
      alert.title = v->windowTitle().toStdString();
      alert.info = v->findChild<QPlainTextEdit*>(QStringLiteral("1504"))->toPlainText().toStdString();
      auto* verdict = v->findChild<QLineEdit*>(QStringLiteral("1505"));
      alert.verdict = verdict->text().toStdString();
      alert.colour = verdict->palette().color(QPalette::Text);
      alert.accept_caption = v->findChild<QPushButton*>(QStringLiteral("1"))->text().toStdString();
      alert.cancel_caption = v->findChild<QPushButton*>(QStringLiteral("2"))->text().toStdString();
      click_later(v->findChild<QPushButton*>(QString::fromLatin1(accept_alert ? "1" : "2")));
    } else if (auto* q = qobject_cast<QMessageBox*>(w)) {
      order.push_back("question");
      question = q->text().toStdString();
      click_later(q->button(answer_yes ? QMessageBox::Yes : QMessageBox::No));
    }
  }

  QTimer timer_;
  std::vector<QPointer<QWidget>> handled_;
};

// The control codes of command 7 (card lock 0x21 / 0x20 + r, window lock 0x81 / 0x80) the card
// received, in order.
std::vector<uint8_t> lock_codes(const sim::SimCard& card) {
  std::vector<uint8_t> out;
  for (const auto& r : card.reports_of(sim::ReportKind::Output)) {
    if (r.size() <= FRAME_HDR || (r[0] != RID_LONG_REQ && r[0] != RID_SHORT_REQ) || r[FRAME_CMD] != CMD_CONTROL) continue;
    const uint8_t code = r[FRAME_HDR];
    if (code == 0x20 || code == 0x21 || code == 0x22 || code == 0x80 || code == 0x81) out.push_back(code);
  }
  return out;
}

// Index in the card's report log of the first report for which `is` holds, or -1.
long first_report(const sim::SimCard& card, const std::function<bool(const sim::ReceivedReport&)>& is) {
  const auto all = card.reports();
  for (size_t i = 0; i < all.size(); ++i)
    if (is(all[i])) return static_cast<long>(i);
  return -1;
}
long last_report(const sim::SimCard& card, const std::function<bool(const sim::ReceivedReport&)>& is) {
  const auto all = card.reports();
  for (size_t i = all.size(); i-- > 0;)
    if (is(all[i])) return static_cast<long>(i);
  return -1;
}
bool is_lock_code(const sim::ReceivedReport& r, uint8_t code) {
  return r.kind == sim::ReportKind::Output && r.bytes.size() > FRAME_HDR &&
         (r.bytes[0] == RID_LONG_REQ || r.bytes[0] == RID_SHORT_REQ) && r.bytes[FRAME_CMD] == CMD_CONTROL &&
         r.bytes[FRAME_HDR] == code;
}
bool is_download_control(const sim::ReceivedReport& r, uint8_t start) {
  return r.kind == sim::ReportKind::FeatureSet && r.bytes.size() == sim::DL_REPORT_SIZE &&
         r.bytes[0] == sim::DL_RID_CONTROL && r.bytes[1] == start;
}

// Watches the transfer from the GUI thread's event loop: a timer that fires after the card's first
// erase and before its last page proves the loop ran during the transfer.
struct TransferWatch {
  int ticks_during = 0;
  bool bar_shown_during = false;
  QTimer timer;
  TransferWatch(const sim::SimCard& card, uint32_t pages, qt::QtView& view) {
    timer.setInterval(5);
    QObject::connect(&timer, &QTimer::timeout, [this, &card, pages, &view] {
      const uint32_t done = card.step_count(sim::StepKind::Page);
      if (card.step_count(sim::StepKind::Erase) == 0 || done >= pages) return;
      ++ticks_during;
      if (view.visible(ids::PROGRESS)) bar_shown_during = true;
    });
    timer.start();
  }
};

constexpr uint32_t kUsbImageSize = 0x18000;  // two 64 KiB blocks, 384 pages
constexpr uint32_t kUsbPages = kUsbImageSize / 256;
TEST_F(UpgradeGui, UsbFirmwareOnTb610kThroughTheHidDownloadForced) {
  auto card = add_slow_erasing_tb610k();
  auto storage = sim::storage_of(*card);
  test::TempDir dir;
  const auto img = test::usb_image(test::tagged("TB610K-1CH", kUsbImageSize));
  ASSERT_EQ(img.size(), kUsbImageSize);
  open();
  ASSERT_EQ(view().item_count(ids::CARD_LIST), 1);
  card->clear_reports();

  User user;
  user.file = dir.write("tb610k.img", img);
  std::vector<uint8_t> codes_at_file_dialog;
  user.on_file_dialog = [&] { codes_at_file_dialog = lock_codes(*card); };
  TransferWatch watch(*card, kUsbPages, view());
  view().dispatch_command(ids::BTN_USB_FIRMWARE);

  // The dialogs, as the user met them: the file, the verdict (TB610K-1CH never probes true, so
  // the tag match alone gives the olive "conflict" row that must be forced), the question.
  EXPECT_EQ(user.order, (std::vector<std::string>{"file", "alert", "question"}));
  EXPECT_EQ(user.alert.title, ALERT_TITLE);
  EXPECT_EQ(user.alert.verdict, VERDICT_CONFLICT);
  EXPECT_EQ(user.alert.colour, QColor(160, 160, 0));
  EXPECT_EQ(user.alert.accept_caption, ACCEPT_FORCE);
  EXPECT_EQ(user.alert.cancel_caption, ALERT_CANCEL);
  EXPECT_NE(user.alert.info.find("TB610K-1CH:V2.0.6800 build 2024-12-25 10:01:06"), std::string::npos) << user.alert.info;
  EXPECT_NE(user.alert.info.find("TB610K-1CH:V3.1.2"), std::string::npos) << user.alert.info;  // the target
  EXPECT_EQ(user.question, std::string(VERDICT_CONFLICT) + "是否" + ACCEPT_FORCE);
  EXPECT_EQ(messages_, std::vector<std::string>{"OK!"});

  // The file was chosen and read before anything reached the card; the card was locked after it,
  // and unlocked with 0x20 + its answer (0).
  EXPECT_TRUE(codes_at_file_dialog.empty());
  EXPECT_EQ(lock_codes(*card), (std::vector<uint8_t>{0x21, 0x81, 0x80, 0x20}));
  const long start = first_report(*card, [](auto& r) { return is_download_control(r, 1); });
  const long end = last_report(*card, [](auto& r) { return is_download_control(r, 0); });
  ASSERT_GE(start, 0);
  ASSERT_GT(end, start);
  EXPECT_LT(first_report(*card, [](auto& r) { return is_lock_code(r, 0x21); }), start);
  EXPECT_GT(last_report(*card, [](auto& r) { return is_lock_code(r, 0x20); }), end);

  // What the card received: one session, blocks 0 and 1 erased, every page in order, the flash
  // holding the image.
  const sim::DownloadStats& st = storage->download.stats();
  EXPECT_EQ(st.starts, 1u);
  EXPECT_EQ(st.ends, 1u);
  EXPECT_EQ(st.erased_blocks, (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(st.pages, kUsbPages);
  EXPECT_EQ(st.bytes, kUsbImageSize);
  EXPECT_EQ(st.writes_while_busy, 0u);
  EXPECT_EQ(st.outside_session, 0u);
  EXPECT_EQ(st.bad_reports, 0u);
  ASSERT_EQ(storage->download.page_log().size(), kUsbPages);
  for (uint32_t i = 0; i < kUsbPages; ++i) EXPECT_EQ(storage->download.page_log()[i], i);
  EXPECT_EQ(storage->download.usb_image(kUsbImageSize), img);

  // The window lived through the transfer: its timers fired while pages went out, with the bar up.
  EXPECT_GT(watch.ticks_during, 0);
  EXPECT_TRUE(watch.bar_shown_during);
  // And is idle again.
  EXPECT_FALSE(view().visible(ids::PROGRESS));
  EXPECT_TRUE(view().enabled(ids::BTN_USB_FIRMWARE));
  EXPECT_TRUE(view().enabled(ids::BTN_FPGA_FIRMWARE));
  EXPECT_TRUE(view().enabled(ids::CARD_LIST));
  EXPECT_FALSE(window_->logic().card().download_locked());
}

TEST_F(UpgradeGui, UsbFirmwareOnTb610kAnsweringNoWritesNothing) {
  auto card = backend_.add_card(*sim::make_scenario("TB610K-1CH"));
  auto storage = sim::storage_of(*card);
  test::TempDir dir;
  open();
  card->clear_reports();
  User user;
  user.file = dir.write("tb610k.img", test::usb_image(test::tagged("TB610K-1CH", kUsbImageSize)));
  user.answer_yes = false;
  view().dispatch_command(ids::BTN_USB_FIRMWARE);
  EXPECT_EQ(user.order, (std::vector<std::string>{"file", "alert", "question"}));
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(storage->download.stats().starts, 0u);
  EXPECT_EQ(storage->download.stats().pages, 0u);
  // Locked and unlocked all the same.
  EXPECT_EQ(lock_codes(*card), (std::vector<uint8_t>{0x21, 0x81, 0x80, 0x20}));
}

TEST_F(UpgradeGui, UsbFirmwareOnTb610mWithAMatchingImageNeedsOneClick) {
  auto card = backend_.add_card(*sim::make_scenario("TB610M-1CH"));
  auto storage = sim::storage_of(*card);
  test::TempDir dir;
  const auto img = test::usb_image(test::tagged("TB610M-1CH", kUsbImageSize));
  open();
  User user;
  user.file = dir.write("tb610m.img", img);
  view().dispatch_command(ids::BTN_USB_FIRMWARE);
  EXPECT_EQ(user.order, (std::vector<std::string>{"file", "alert"}));  // no question
  EXPECT_EQ(user.alert.verdict, VERDICT_SUITS);
  EXPECT_EQ(user.alert.colour, QColor(0, 160, 0));
  EXPECT_EQ(user.alert.accept_caption, ACCEPT_UPGRADE);
  EXPECT_EQ(messages_, std::vector<std::string>{"OK!"});
  EXPECT_EQ(storage->download.stats().ends, 1u);
  EXPECT_EQ(storage->download.usb_image(kUsbImageSize), img);
}

// The bar during an upgrade: whole (its normal height, with its percent), and beside it the
// phase of the transfer, then the wait for the card with the time left, in the window's language.
class UpgradeProgress : public UpgradeGui, public ::testing::WithParamInterface<bool> {};

TEST_P(UpgradeProgress, ShowsPercentPhaseAndTimeLeft) {
  const bool zh = GetParam();
  auto card = backend_.add_card(*sim::make_scenario("TB610M-1CH"));
  sim::storage_of(*card)->download.config().erase_ms = kSlowEraseMs;
  test::TempDir dir;
  ui_text_select(zh);
  open();
  User user;
  user.file = dir.write("tb610m.img", test::usb_image(test::tagged("TB610M-1CH", kUsbImageSize)));
  auto* bar = widget<QProgressBar>(ids::PROGRESS);
  QLabel* note = view().progress_note();
  std::vector<std::string> notes;
  bool bar_whole = true, note_beside = true;
  QTimer look;
  look.setInterval(2);
  QObject::connect(&look, &QTimer::timeout, [&] {
    if (!view().visible(ids::PROGRESS)) return;
    const std::string n = note->text().toStdString();
    if (notes.empty() || notes.back() != n) notes.push_back(n);
    bar_whole = bar_whole && bar->isTextVisible() && bar->text().endsWith(QLatin1Char('%')) &&
                bar->height() >= bar->sizeHint().height() && view().rect().contains(bar->geometry());
    note_beside = note_beside && note->isVisible() && note->geometry().left() > bar->geometry().right() &&
                  view().rect().contains(note->geometry()) &&
                  note->contentsRect().width() >= note->fontMetrics().horizontalAdvance(note->text());
  });
  look.start();
  view().dispatch_command(ids::BTN_USB_FIRMWARE);
  ASSERT_EQ(messages_, std::vector<std::string>{"OK!"});
  ASSERT_FALSE(notes.empty());
  EXPECT_TRUE(bar_whole);
  EXPECT_TRUE(note_beside);
  bool phase_seen = false;
  for (const std::string& n : notes)
    for (ProgressStage st : {ProgressStage::Erase, ProgressStage::Write})
      if (n.rfind(progress_stage_text(st, zh), 0) == 0) phase_seen = true;
  EXPECT_TRUE(phase_seen) << notes.front();

  // The card leaves to restart: the bar counts the wait down, with the time left.
  ASSERT_TRUE(wait_for([&] { return window_->logic().session().upgrade_end().phase == UpgradeEndWait::Phase::Away; }));
  ASSERT_TRUE(wait_for([&] { return note->isVisible() && !note->text().isEmpty(); }));
  EXPECT_EQ(note->text().toStdString(), progress_text(ProgressStage::WaitCard, 20.0, zh));
  EXPECT_EQ(note->text().toStdString(), zh ? "等待采集卡重新连接, 剩余约 20 秒" : "Waiting for the card, about 20 s left");
  clock_.advance_ns(1'100'000'000);
  backend_.poll_returns();
  ASSERT_TRUE(wait_for([&] { return messages_.size() == 2; }));
  EXPECT_FALSE(note->isVisible());
  EXPECT_FALSE(view().visible(ids::PROGRESS));
}

INSTANTIATE_TEST_SUITE_P(Languages, UpgradeProgress, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Chinese" : "English"; });

// The FPGA question about a file without a bitstream's marks is in one language: Chinese under
// the Chinese table, the reason and the buttons included; English otherwise.
class FpgaQuestion : public UpgradeGui, public ::testing::WithParamInterface<bool> {};

TEST_P(FpgaQuestion, IsInOneLanguage) {
  const bool zh = GetParam();
  backend_.add_card(*sim::make_scenario("meadow"));
  test::TempDir dir;
  ui_text_select(zh);
  open();
  const std::string file = dir.write("notes.bit", std::vector<uint8_t>(64, 'x'));
  std::string text;
  std::vector<std::string> buttons;
  QTimer look;
  look.setInterval(5);
  QObject::connect(&look, &QTimer::timeout, [&] {
    if (auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
      d->selectFile(QString::fromStdString(file));
      static_cast<QDialog*>(d)->accept();
    } else if (auto* q = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); q && text.empty()) {
      text = q->text().toStdString();
      for (QAbstractButton* b : q->buttons()) buttons.push_back(b->text().toStdString());
      QMetaObject::invokeMethod(q->button(QMessageBox::No), &QAbstractButton::click, Qt::QueuedConnection);
    }
  });
  look.start();
  view().dispatch_command(ids::BTN_FPGA_FIRMWARE);
  ASSERT_FALSE(text.empty());
  ASSERT_EQ(text.rfind(file, 0), 0u) << text;
  const QString rest = QString::fromStdString(text.substr(file.size()) + [&] {
    std::string all;
    for (const std::string& b : buttons) all += " " + b;
    return all;
  }());
  bool latin_word = false, cjk = false;
  for (QChar c : rest) {
    if (c.unicode() >= 0x4E00 && c.unicode() <= 0x9FFF) cjk = true;
    if ((c >= QLatin1Char('a') && c <= QLatin1Char('z'))) latin_word = true;
  }
  if (zh) {
    EXPECT_TRUE(cjk) << text;
    // Only the names the Chinese keeps as they are: FPGA, .bit.
    QString stripped = rest;
    stripped.remove(QStringLiteral(".bit"));
    for (QChar c : stripped) EXPECT_FALSE(c >= QLatin1Char('a') && c <= QLatin1Char('z')) << text;
    EXPECT_NE(text.find("该文件不像FPGA逻辑文件: "), std::string::npos) << text;
    EXPECT_NE(text.find("是否强制升级?"), std::string::npos) << text;
  } else {
    EXPECT_FALSE(cjk) << text;
    EXPECT_TRUE(latin_word);
  }
}

INSTANTIATE_TEST_SUITE_P(Languages, FpgaQuestion, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Chinese" : "English"; });

// After a transfer that ended because the card left: the window is idle and usable, the removal
// has been seen, and the card, plugged in again, attaches.
void expect_window_recovers(test::GuiTest& t, qt::QtView& view, sim::SimBackend& backend, const sim::SimCard& card) {
  EXPECT_FALSE(view.visible(ids::PROGRESS));
  EXPECT_FALSE(card.plugged());
  // The removal reaches the window once the upgrade has ended: no card listed.
  EXPECT_TRUE(wait_for([&] { return view.item_count(ids::CARD_LIST) == 0; })) << "removal not processed";
  backend.plug(0);
  EXPECT_TRUE(wait_for([&] { return view.item_count(ids::CARD_LIST) == 1 && view.selection(ids::CARD_LIST) == 0; }))
      << "re-plugged card not attached";
  EXPECT_TRUE(view.enabled(ids::BTN_USB_FIRMWARE));
  EXPECT_TRUE(view.enabled(ids::BTN_FPGA_FIRMWARE));
  EXPECT_TRUE(view.enabled(ids::CARD_LIST));
  EXPECT_TRUE(view.enabled(ids::INPUT_LIST));
  (void)t;
}

TEST_F(UpgradeGui, UnplugDuringTheHidDownloadFailsAndTheWindowRecovers) {
  auto card = add_slow_erasing_tb610k(sim::FaultPlan().at(sim::StepKind::Page, 100, sim::Fault::Unplug));
  auto storage = sim::storage_of(*card);
  test::TempDir dir;
  open();
  User user;
  user.file = dir.write("tb610k.img", test::usb_image(test::tagged("TB610K-1CH", kUsbImageSize)));
  watch_messages();  // the state of the window when it says "FAILED!"
  TransferWatch watch(*card, kUsbPages, view());
  view().dispatch_command(ids::BTN_USB_FIRMWARE);
  EXPECT_EQ(user.order, (std::vector<std::string>{"file", "alert", "question"}));
  EXPECT_EQ(messages_, std::vector<std::string>{"FAILED!"});
  EXPECT_TRUE(buttons_enabled_at_message_);
  // The removal waited for the transfer: the worker's device was not released under it.
  EXPECT_TRUE(device_kept_at_message_);
  EXPECT_GT(watch.ticks_during, 0);
  const sim::DownloadStats& st = storage->download.stats();
  EXPECT_EQ(st.starts, 1u);
  EXPECT_EQ(st.ends, 0u);
  EXPECT_LT(st.pages, kUsbPages);
  EXPECT_FALSE(window_->logic().card().download_locked());
  expect_window_recovers(*this, view(), backend_, *card);
}

TEST_F(UpgradeGui, UnplugDuringTheFlashChannelFailsAndTheWindowRecovers) {
  auto s = *sim::make_scenario("meadow");
  s.latency.per_page_ms = 1;
  s.faults.at(sim::StepKind::Page, 60, sim::Fault::Unplug);
  auto card = backend_.add_card(s);
  auto storage = sim::storage_of(*card);
  test::TempDir dir;
  const auto bit = test::fpga_bitstream(0x9000);  // 144 pages
  open();
  User user;
  user.file = dir.write("logic.bin", bit);
  watch_messages();
  TransferWatch watch(*card, 0x9000 / 256, view());
  view().dispatch_command(ids::BTN_FPGA_FIRMWARE);
  EXPECT_EQ(user.order, std::vector<std::string>{"file"});
  EXPECT_EQ(messages_, std::vector<std::string>{"FAILED!"});
  EXPECT_TRUE(buttons_enabled_at_message_);
  // The removal waited for the transfer: the worker's device was not released under it.
  EXPECT_TRUE(device_kept_at_message_);
  EXPECT_GT(watch.ticks_during, 0);
  EXPECT_NE(storage->flash.read(0x40000, static_cast<uint32_t>(bit.size())), bit);
  EXPECT_FALSE(window_->logic().card().download_locked());
  expect_window_recovers(*this, view(), backend_, *card);
}

// The cable pulled while the worker waits for an erase (from a callback of the GUI thread, as the
// kernel's removal would come): the worker's next call fails, and the window must not release
// the device the worker is still using; it does so once the upgrade has ended.
TEST_F(UpgradeGui, CardPulledDuringAnEraseOnTheHidPathFailsAndTheWindowRecovers) {
  auto card = add_slow_erasing_tb610k();
  auto storage = sim::storage_of(*card);
  test::TempDir dir;
  open();
  User user;
  user.file = dir.write("tb610k.img", test::usb_image(test::tagged("TB610K-1CH", kUsbImageSize)));
  watch_messages();
  bool pulled = false;
  QTimer cable;
  cable.setInterval(5);
  QObject::connect(&cable, &QTimer::timeout, [&] {
    if (!pulled && card->step_count(sim::StepKind::Erase) >= 1) {
      pulled = true;
      backend_.unplug(0);
    }
  });
  cable.start();
  view().dispatch_command(ids::BTN_USB_FIRMWARE);
  EXPECT_TRUE(pulled);
  EXPECT_EQ(messages_, std::vector<std::string>{"FAILED!"});
  EXPECT_TRUE(device_kept_at_message_);
  EXPECT_EQ(storage->download.stats().ends, 0u);
  EXPECT_LT(storage->download.stats().pages, kUsbPages);
  EXPECT_FALSE(window_->logic().card().download_locked());
  expect_window_recovers(*this, view(), backend_, *card);
}

// ---- Nothing else reaches the card while an upgrade holds it ---------------------------------

// Every control and command a user (or the reader) can reach while the transfer runs: clicks on
// the controls, each item of the menu bar, the window's own command ids, Enter, Escape, the close
// box, and ids posted from elsewhere.
void poke_everything(qt::QtView& view) {
  for (uint32_t id : {ids::BTN_VIDEO_PROPS, ids::BTN_LOCK, ids::BTN_EXIT, ids::BTN_DEBUG_1061})
    if (auto* b = view.findChild<QPushButton*>(QString::number(id))) b->click();
  if (auto* hold = view.findChild<QCheckBox*>(QString::number(ids::HOLD_BOX))) hold->click();
  for (uint32_t id : {ids::OUTPUT_PORT_LIST, ids::CARD_LIST, ids::INPUT_LIST})
    if (auto* c = view.findChild<QComboBox*>(QString::number(id))) Q_EMIT c->activated(0);
  for (QAction* a : view.menu_bar()->findChildren<QAction*>()) a->trigger();
  for (uint32_t id : {ids::BTN_VIDEO_PROPS, ids::BTN_LOCK, ids::HOLD_BOX, ids::OUTPUT_PORT_LIST, ids::CARD_LIST,
                      ids::ID_ABOUT, ids::ID_RUN_STATUS, ids::ID_DEBUG_INFO, ids::ID_VERSION, 32803u, 32805u, 32817u,
                      ids::ID_SCRIPT_FIRST, ids::ID_STATUS_REFRESH, ids::BTN_USB_FIRMWARE, ids::IDOK, ids::IDCANCEL,
                      ids::BTN_EXIT})
    view.dispatch_command(id);
  QTest::keyClick(&view, Qt::Key_Return);
  QTest::keyClick(&view, Qt::Key_Escape);
  view.close();
  view.post_command(ids::ID_MONITOR_QUERY);
  view.post_command(ids::ID_STATUS_REFRESH);
  view.post_command(ids::BTN_VIDEO_PROPS);
}

// A report of the upgrade itself on the HID path: the match check's status read and board probe
// (register reads), the download's reports, the window lock's control codes, the answers those
// commands fetch, the erase handshake, and the debug-output poll the timer runs on every tick for
// cards without asynchronous reports.
bool belongs_to_the_upgrade(const sim::ReceivedReport& r) {
  switch (r.kind) {
    case sim::ReportKind::Output:
      if (r.bytes.size() == sim::DL_REPORT_SIZE && (r.bytes[0] == 4 || r.bytes[0] == 5)) return true;
      if (r.bytes.size() > FRAME_CMD && r.bytes[0] == RID_LONG_REQ &&
          (r.bytes[FRAME_CMD] == CMD_BOARD_STATUS || r.bytes[FRAME_CMD] == CMD_REG_READ))
        return true;
      return is_lock_code(r, 0x81) || is_lock_code(r, 0x80);
    case sim::ReportKind::FeatureSet: return is_download_control(r, 0) || is_download_control(r, 1);
    case sim::ReportKind::InputGet: return !r.bytes.empty() && (r.bytes[0] == 6 || r.bytes[0] == 9 || r.bytes[0] == 8);
    case sim::ReportKind::FeatureGet: return false;
  }
  return false;
}

TEST_F(UpgradeGui, NothingElseReachesTheCardDuringAnUpgrade) {
  sim::Scenario s = *sim::make_scenario("TB610K-1CH");
  s.after_upgrade = sim::Scenario::AfterUpgrade::NeedsReplug;  // the card stays for the checks after
  auto card = backend_.add_card(s);
  sim::storage_of(*card)->download.config().erase_ms = kSlowEraseMs;
  test::TempDir dir;
  const auto img = test::usb_image(test::tagged("TB610K-1CH", kUsbImageSize));
  open();
  view().add_script_items({"probe"});
  std::map<uint32_t, bool> before;
  for (QWidget* w : view().findChildren<QWidget*>())
    if (bool ok = false; w->objectName().toUInt(&ok), ok) before[w->objectName().toUInt()] = w->isEnabled();
  card->clear_reports();

  User user;
  user.file = dir.write("tb610k.img", img);
  bool poked = false, all_disabled = true;
  QTimer meddler;
  meddler.setInterval(5);
  QObject::connect(&meddler, &QTimer::timeout, [&] {
    if (poked || card->step_count(sim::StepKind::Erase) == 0) return;
    poked = true;
    for (uint32_t id : {ids::BTN_VIDEO_PROPS, ids::BTN_LOCK, ids::HOLD_BOX, ids::OUTPUT_PORT_LIST, ids::CARD_LIST,
                        ids::BTN_EXIT, ids::BTN_USB_FIRMWARE})
      if (QWidget* w = view().control(id); w && w->isEnabled()) all_disabled = false;
    if (view().menu_bar()->isEnabled()) all_disabled = false;
    poke_everything(view());
  });
  meddler.start();
  view().dispatch_command(ids::BTN_USB_FIRMWARE);
  meddler.stop();

  ASSERT_TRUE(poked);
  EXPECT_TRUE(all_disabled);
  EXPECT_EQ(messages_, std::vector<std::string>{"OK!"});
  EXPECT_EQ(user.order, (std::vector<std::string>{"file", "alert", "question"}));  // no About, no properties
  EXPECT_TRUE(view().isVisible());  // neither Enter, Escape, Exit nor the close box ended it
  EXPECT_EQ(sim::storage_of(*card)->download.usb_image(kUsbImageSize), img);

  // Between the card lock and its unlock the card heard only the upgrade.
  const auto all = card->reports();
  const long lock = first_report(*card, [](auto& r) { return is_lock_code(r, 0x21); });
  const long unlock = last_report(*card, [](auto& r) { return is_lock_code(r, 0x20); });
  ASSERT_GE(lock, 0);
  ASSERT_GT(unlock, lock);
  for (long i = lock + 1; i < unlock; ++i)
    EXPECT_TRUE(belongs_to_the_upgrade(all[static_cast<size_t>(i)]))
        << "report " << i << " kind " << static_cast<int>(all[static_cast<size_t>(i)].kind) << " id "
        << static_cast<int>(all[static_cast<size_t>(i)].bytes.empty() ? -1 : all[static_cast<size_t>(i)].bytes[0]) << " cmd " << static_cast<int>(all[static_cast<size_t>(i)].bytes.size() > 2 ? all[static_cast<size_t>(i)].bytes[2] : -1);

  // Every control is back as it was, and commands posted during the upgrade stayed dropped.
  for (const auto& [id, enabled] : before)
    if (QWidget* w = view().control(id)) EXPECT_EQ(w->isEnabled(), enabled) << "control " << id;
  EXPECT_TRUE(view().menu_bar()->isEnabled());
  card->clear_reports();
  wait_for([] { return false; }, 50);
  EXPECT_EQ(first_report(*card, [](auto& r) { return r.kind == sim::ReportKind::Output && !r.bytes.empty() && r.bytes[0] == RID_LONG_REQ && r.bytes[FRAME_CMD] == CMD_MONITOR; }), -1);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);  // no property dialog opened late
}

TEST_F(UpgradeGui, FpgaFileWithoutBitstreamMarksIsWrittenOnlyWhenTheUserSaysSo) {
  auto card = backend_.add_card(*sim::make_scenario("meadow"));
  auto storage = sim::storage_of(*card);
  test::TempDir dir;
  open();
  card->clear_reports();
  User user;
  user.file = dir.write("notes.bit", std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'});
  user.answer_yes = false;
  view().dispatch_command(ids::BTN_FPGA_FIRMWARE);
  EXPECT_EQ(user.order, (std::vector<std::string>{"file", "question"}));
  EXPECT_NE(user.question.find("notes.bit"), std::string::npos) << user.question;
  EXPECT_TRUE(messages_.empty());
  EXPECT_TRUE(lock_codes(*card).empty());  // refused before anything was sent
  EXPECT_EQ(storage->flash_channel.stats().closes, 0u);
}

TEST_F(UpgradeGui, TheWindowVerifiesTheCardWhenItComesBack) {
  auto card = backend_.add_card(*sim::make_scenario("TB610M-1CH"));
  test::TempDir dir;
  const auto img = test::usb_image(test::tagged("TB610M-1CH", kUsbImageSize));
  open();
  User user;
  user.file = dir.write("tb610m.img", img);
  view().dispatch_command(ids::BTN_USB_FIRMWARE);
  ASSERT_EQ(messages_, std::vector<std::string>{"OK!"});
  EXPECT_FALSE(card->plugged());  // restarting
  // The removal reaches the window once the upgrade has let go of it: the countdown starts.
  ASSERT_TRUE(wait_for([&] { return window_->logic().session().upgrade_end().phase == UpgradeEndWait::Phase::Away; }));
  EXPECT_TRUE(view().visible(ids::PROGRESS));
  clock_.advance_ns(1'100'000'000);
  backend_.poll_returns();
  ASSERT_TRUE(wait_for([&] { return messages_.size() == 2; }));
  EXPECT_EQ(messages_[1], "升级已验证: 板卡报告 TB610M-1CH:V2.0.6800 build 2024-12-25 10:01:06");
  EXPECT_EQ(window_->logic().session().upgrade_end().phase, UpgradeEndWait::Phase::Idle);
  EXPECT_FALSE(view().visible(ids::PROGRESS));
  EXPECT_EQ(view().item_count(ids::CARD_LIST), 1);
}

// A user who is not root: the card that comes back refuses its opens until udev has given the
// seat's user access to it. The window tries again from its timer: the card is verified once it
// may be opened, or, refused for longer than the window waits, reported back but unopened.
class ReturningCardGui : public UpgradeGui {
 protected:
  // An upgrade of a TB610M-1CH whose node, once the card is back, refuses `refusals` opens; the
  // message the window ends the wait with ("" when none within 8 s of kestrel's clock).
  std::string upgrade_with_refusals(size_t refusals) {
    backend_.add_card(*sim::make_scenario("TB610M-1CH"));
    test::TempDir dir;
    open();
    User user;
    user.file = dir.write("tb610m.img", test::usb_image(test::tagged("TB610M-1CH", kUsbImageSize)));
    view().dispatch_command(ids::BTN_USB_FIRMWARE);
    EXPECT_EQ(messages_, std::vector<std::string>{"OK!"});
    EXPECT_TRUE(wait_for([&] { return window_->logic().session().upgrade_end().phase == UpgradeEndWait::Phase::Away; }));
    backend_.refuse_opens_after_plug(refusals);
    clock_.advance_ns(1'100'000'000);
    backend_.poll_returns();
    // The timer tries again every 100 ms of kestrel's clock.
    for (int step = 0; step < 80 && messages_.size() < 2; ++step) {
      clock_.advance_ns(100'000'000);
      wait_for([&] { return messages_.size() == 2; }, 60);
    }
    EXPECT_EQ(window_->logic().session().upgrade_end().phase, UpgradeEndWait::Phase::Idle);
    return messages_.size() == 2 ? messages_[1] : std::string();
  }
};

TEST_F(ReturningCardGui, IsVerifiedOnceItMayBeOpened) {
  EXPECT_EQ(upgrade_with_refusals(3), "升级已验证: 板卡报告 TB610M-1CH:V2.0.6800 build 2024-12-25 10:01:06");
  EXPECT_EQ(backend_.refused_opens(), 3u);
}

TEST_F(ReturningCardGui, IsReportedUnopenedWhenItNeverMayBe) {
  EXPECT_EQ(upgrade_with_refusals(100000),
            "升级未验证: 板卡报告 nothing: it came back but this user may not open it (permission denied)");
  EXPECT_GE(backend_.refused_opens(), 10u);
}

TEST_F(UpgradeGui, TheWindowSaysWhenTheCardNeedsARestart) {
  sim::Scenario s = *sim::make_scenario("TB610M-1CH");
  s.after_upgrade = sim::Scenario::AfterUpgrade::NeedsReplug;
  auto card = backend_.add_card(s);
  test::TempDir dir;
  open();
  User user;
  user.file = dir.write("tb610m.img", test::usb_image(test::tagged("TB610M-1CH", kUsbImageSize)));
  view().dispatch_command(ids::BTN_USB_FIRMWARE);
  ASSERT_EQ(messages_, std::vector<std::string>{"OK!"});
  clock_.advance_ns(3'100'000'000);  // the card did not leave within the wait
  ASSERT_TRUE(wait_for([&] { return messages_.size() == 2; }));
  EXPECT_EQ(messages_[1], "升级尚未验证 (需要重启): 请重启板卡以运行并验证新固件");
  // The user replugs it: verified on its return.
  backend_.unplug(0);
  backend_.plug(0);
  ASSERT_TRUE(wait_for([&] { return messages_.size() == 3; }));
  // And in English under the English table.
  EXPECT_EQ(messages_[2], "升级已验证: 板卡报告 TB610M-1CH:V2.0.6800 build 2024-12-25 10:01:06");
  EXPECT_EQ(upgrade_end_message({VerifiedEnd::RestartNeeded, ""}, false),
            "Upgrade not yet verified (restart needed): restart the card to run and verify the new firmware");
}

}  // namespace
}  // namespace kestrel

namespace kestrel {
namespace {

using test::GuiTest;

// A command dropped during an upgrade is logged once for that upgrade, not at every repeat (the
// monitor query comes every few seconds), and again in the next upgrade.
TEST_F(GuiTest, ADroppedCommandIsLoggedOncePerUpgrade) {
  backend_.add_card(*sim::make_scenario("meadow"));
  open();
  test::LogCapture log;
  auto dropped = [&] {
    const std::string text = log.text();
    size_t n = 0;
    for (size_t at = text.find("command 32823 dropped"); at != std::string::npos; at = text.find("command 32823 dropped", at + 1)) ++n;
    return n;
  };
  for (int round = 1; round <= 2; ++round) {
    view().set_busy(true);
    for (int i = 0; i < 3; ++i) view().post_command(ids::ID_MONITOR_QUERY);
    QCoreApplication::processEvents();
    view().set_busy(false);
    EXPECT_EQ(dropped(), static_cast<size_t>(round));
  }
}

}  // namespace
}  // namespace kestrel

namespace kestrel {
namespace {

using test::GuiTest;

// A file the window cannot use (a directory, an empty file, one without the boot image's
// signature) is refused with its reason in a message box, nothing reaches the card, and the
// history records it as refused, with the reason and the card's port and serial.
TEST_F(GuiTest, ARefusedFileSaysWhyAndIsRecordedAsRefused) {
  auto card = backend_.add_card(*sim::make_scenario("TB610M-1CH"));
  test::TempDir dir;
  open();
  std::vector<std::string> said;
  view().set_message_sink([&](const std::string& m) { said.push_back(m); });
  struct Case {
    std::string file;
    const char* why;
  } cases[] = {{dir.path(), "is a directory"},
               {dir.write("empty.img", {}), "is empty"},
               {dir.write("text.img", {'h', 'e', 'l', 'l', 'o'}), "no CY signature"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    said.clear();
    card->clear_reports();
    view().answer_next_open_file(c.file);
    view().dispatch_command(ids::BTN_USB_FIRMWARE);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find(c.why), std::string::npos) << said[0];
    EXPECT_EQ(sim::storage_of(*card)->download.stats().starts, 0u);

    const history::HistoryRead h = history::HistoryStore::open(history::resolve_history_path().path).query();
    ASSERT_TRUE(h.ok) << h.message;
    ASSERT_FALSE(h.records.empty());
    const history::Record& r = h.records.back();
    EXPECT_EQ(r.attempt.file_name, c.file);
    EXPECT_EQ(r.result, history::Result::Refused);
    EXPECT_NE(r.detail.find(c.why), std::string::npos) << r.detail;
    EXPECT_EQ(r.attempt.card.port_path, "1-1");
    EXPECT_EQ(r.attempt.card.usb_serial, "KSIM0001");
  }
}

}  // namespace
}  // namespace kestrel
