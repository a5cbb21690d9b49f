// The desktop window on a simulated card: what it shows, what a user's pick sends to the card,
// unplug and replug, the keys, the menu and posted commands.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "app/ids.h"
#include "app/qt/command_routes.h"
#include "devlink/commands.h"
#include "devlink/frame.h"
#include "gui_fixture.h"

namespace kestrel {
namespace {

using test::GuiTest;
using test::wait_for;

// Framed requests of command `cmd` the card received, whole.
std::vector<std::vector<uint8_t>> requests_of(const sim::SimCard& card, uint8_t cmd) {
  std::vector<std::vector<uint8_t>> out;
  for (auto& r : card.reports_of(sim::ReportKind::Output))
    if (r.size() >= FRAME_HDR && (r[0] == RID_LONG_REQ || r[0] == RID_SHORT_REQ) && r[FRAME_CMD] == cmd) out.push_back(r);
  return out;
}

constexpr uint32_t kDeviceControls[] = {ids::DEFAULT_SIZE_LIST, ids::BTN_USB_FIRMWARE, ids::BTN_FPGA_FIRMWARE,
                                        ids::CARD_LIST, ids::INPUT_LIST, ids::HALF_RATE_BOX};

TEST_F(GuiTest, ShowsTheCardAndItsVersion) {
  auto card = backend_.add_card(*sim::make_scenario("meadow"));
  open();
  auto* cards = widget<QComboBox>(ids::CARD_LIST);
  ASSERT_NE(cards, nullptr);
  ASSERT_EQ(cards->count(), 1);
  EXPECT_EQ(cards->currentIndex(), 0);
  EXPECT_EQ(cards->itemText(0).toStdString(), "USB Video - 12&mi_02#7&2a3b&0&0000");
  const sim::Scenario s = card->state();
  EXPECT_EQ(widget<QLineEdit>(ids::VERSION_TEXT)->text().toStdString(), s.firmware_version + " FPGA:" + s.fpga_version);
  EXPECT_EQ(view().windowTitle().left(15).toStdString(), "KESTREL - usbd(");
  EXPECT_EQ(widget<QComboBox>(ids::INPUT_LIST)->count(), 3);
  EXPECT_EQ(widget<QPushButton>(ids::BTN_EXIT)->text().toStdString(), "Exit");
  EXPECT_FALSE(view().visible(ids::PROGRESS));
}

TEST_F(GuiTest, PickingInputOneSendsTheVideoUpdateBlock) {
  auto card = backend_.add_card(*sim::make_scenario("meadow"));
  open();
  // meadow holds its input (it does not scan), so the window's hold state is set: flag word 0x0041.
  ASSERT_TRUE(window_->logic().session().input_held());
  auto* inputs = widget<QComboBox>(ids::INPUT_LIST);
  ASSERT_EQ(inputs->currentIndex(), 0);
  card->clear_reports();
  inputs->setFocus();
  QTest::keyClick(inputs, Qt::Key_Down);  // the user moves the pick from input 0 to input 1
  const auto sent = requests_of(*card, CMD_UPDATE);
  ASSERT_EQ(sent.size(), 1u);
  const std::vector<uint8_t>& r = sent[0];
  ASSERT_EQ(r.size(), LONG_REPORT_SIZE);
  EXPECT_EQ(r[FRAME_RID], RID_LONG_REQ);
  EXPECT_EQ(get_le16(&r[FRAME_LEN]), 16);
  const std::vector<uint8_t> block(r.begin() + FRAME_HDR, r.begin() + FRAME_HDR + 16);
  EXPECT_EQ(block, (std::vector<uint8_t>{0x41, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(frame_sum_intact(r.data(), FRAME_HDR + 16));
  EXPECT_EQ(card->state().input, 1);

  // A scanning card: the same pick carries 0x0021.
  card->update([](sim::Scenario& st) { st.scanning = true; });
  clock_.advance_ns(2'000'000'000ull);
  ASSERT_TRUE(wait_for([&] { return !window_->logic().session().input_held(); }));
  inputs->setCurrentIndex(0);
  card->clear_reports();
  QTest::keyClick(inputs, Qt::Key_Down);
  const auto scan = requests_of(*card, CMD_UPDATE);
  ASSERT_EQ(scan.size(), 1u);
  EXPECT_EQ(std::vector<uint8_t>(scan[0].begin() + FRAME_HDR, scan[0].begin() + FRAME_HDR + 4),
            (std::vector<uint8_t>{0x21, 0x00, 0x01, 0x00}));
}

TEST_F(GuiTest, UnplugEmptiesTheListAndReplugRestoresIt) {
  backend_.add_card(*sim::make_scenario("meadow"));
  open();
  auto* cards = widget<QComboBox>(ids::CARD_LIST);
  ASSERT_EQ(cards->count(), 1);
  for (uint32_t id : kDeviceControls) EXPECT_TRUE(view().enabled(id)) << id;

  backend_.unplug(0);
  ASSERT_TRUE(wait_for([&] { return cards->count() == 0; }));
  EXPECT_EQ(cards->currentIndex(), -1);
  EXPECT_EQ(list_.current, nullptr);
  for (uint32_t id : kDeviceControls) EXPECT_FALSE(view().enabled(id)) << id;

  backend_.plug(0);
  ASSERT_TRUE(wait_for([&] { return cards->count() == 1; }));
  EXPECT_EQ(cards->currentIndex(), 0);
  EXPECT_NE(list_.current, nullptr);
  for (uint32_t id : kDeviceControls) EXPECT_TRUE(view().enabled(id)) << id;
  EXPECT_FALSE(widget<QLineEdit>(ids::VERSION_TEXT)->text().isEmpty());
}

TEST_F(GuiTest, TimerShowsTheCardsStateOnceASecond) {
  backend_.add_card(*sim::make_scenario("meadow"));
  open();
  const QString first = view().windowTitle();
  // Simulated time stands still: ticks come, but no second passes and the title stays.
  QTest::qWait(100);
  EXPECT_EQ(view().windowTitle(), first);
  clock_.advance_ns(3'000'000'000ull);
  ASSERT_TRUE(wait_for([&] { return view().windowTitle() != first; }));
  EXPECT_TRUE(view().windowTitle().endsWith(QStringLiteral("s")));
}

TEST_F(GuiTest, AnOpenInputListKeepsTheUsersSelection) {
  auto card = backend_.add_card(*sim::make_scenario("meadow"));
  open();
  auto* inputs = widget<QComboBox>(ids::INPUT_LIST);
  ASSERT_EQ(inputs->currentIndex(), 0);
  card->update([](sim::Scenario& st) { st.input = 2; });
  inputs->showPopup();
  ASSERT_TRUE(view().dropped_down(ids::INPUT_LIST));
  window_->logic().session().refresh_status_display();
  EXPECT_EQ(inputs->currentIndex(), 0);
  inputs->hidePopup();
  ASSERT_FALSE(view().dropped_down(ids::INPUT_LIST));
  window_->logic().session().refresh_status_display();
  EXPECT_EQ(inputs->currentIndex(), 2);
}

TEST_F(GuiTest, EscapeKeepsTheWindowAndEnterEndsIt) {
  backend_.add_card(*sim::make_scenario("meadow"));
  open();
  QSignalSpy finished(&view(), &QDialog::finished);
  widget<QComboBox>(ids::CARD_LIST)->setFocus();
  QTest::keyClick(widget<QComboBox>(ids::CARD_LIST), Qt::Key_Escape);
  QTest::keyClick(&view(), Qt::Key_Escape);
  QCoreApplication::processEvents();
  EXPECT_TRUE(view().isVisible());
  EXPECT_EQ(finished.count(), 0);

  QTest::keyClick(widget<QComboBox>(ids::CARD_LIST), Qt::Key_Return);
  ASSERT_EQ(finished.count(), 1);
  EXPECT_EQ(finished.at(0).at(0).toInt(), QDialog::Accepted);
  EXPECT_FALSE(view().isVisible());
}

TEST_F(GuiTest, ExitButtonAndCloseBoxEndWithCancel) {
  backend_.add_card(*sim::make_scenario("meadow"));
  open();
  QSignalSpy finished(&view(), &QDialog::finished);
  QTest::mouseClick(widget<QPushButton>(ids::BTN_EXIT), Qt::LeftButton);
  ASSERT_EQ(finished.count(), 1);
  EXPECT_EQ(finished.at(0).at(0).toInt(), QDialog::Rejected);

  view().show();
  view().close();
  ASSERT_EQ(finished.count(), 2);
  EXPECT_EQ(finished.at(1).at(0).toInt(), QDialog::Rejected);
  EXPECT_FALSE(view().isVisible());
}

TEST_F(GuiTest, AcceleratorsRaiseTheirCommands) {
  backend_.add_card(*sim::make_scenario("meadow"));
  open();
  view().activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&view()));
  QSignalSpy routed(&view(), &qt::QtView::commandRouted);
  struct Key {
    Qt::Key key;
    Qt::KeyboardModifiers mods;
    uint32_t command;
  };
  const Key keys[] = {
      {Qt::Key_3, Qt::ControlModifier | Qt::KeypadModifier, 32783},  // script slot 3, empty here
      {Qt::Key_0, Qt::ControlModifier | Qt::KeypadModifier, 32780},
      {Qt::Key_Semicolon, Qt::ControlModifier, 32790},
      {Qt::Key_BracketRight, Qt::ControlModifier, 32795},
      {Qt::Key_F1, Qt::NoModifier, ids::ID_HELP},
  };
  for (const Key& k : keys) {
    routed.clear();
    QTest::keyClick(&view(), k.key, k.mods);
    ASSERT_EQ(routed.count(), 1) << k.command;
    EXPECT_EQ(routed.at(0).at(0).toUInt(), k.command);
  }
  // A plain 3 is no accelerator.
  routed.clear();
  QTest::keyClick(&view(), Qt::Key_3);
  EXPECT_EQ(routed.count(), 0);
  EXPECT_TRUE(view().isVisible());
}

// Every item of the menu bar that carries a command, with its flags.
// The menu items that carry a command id (History... opens its dialog and is no command).
std::vector<QAction*> command_items(qt::QtView& v) {
  std::vector<QAction*> out;
  for (QAction* top : v.menu_bar()->actions())
    for (QAction* a : top->menu()->actions())
      if (!a->isSeparator() && a->data().isValid()) out.push_back(a);
  return out;
}

TEST_F(GuiTest, MenuItemsKeepTheirIdsAndReachTheirHandlers) {
  auto card = backend_.add_card(*sim::make_scenario("meadow"));
  open();
  // Each item runs through the window's dispatch with its id, exactly as the id would: recorded
  // here instead of run, so that no dialog opens.
  std::vector<uint32_t> handled;
  view().set_command_handler([&](uint32_t id) {
    handled.push_back(id);
    return true;
  });
  QSignalSpy routed(&view(), &qt::QtView::commandRouted);
  size_t items = 0;
  for (QAction* a : command_items(view())) {
    const uint32_t id = a->data().toUInt();
    if (id == 32813 || id == 32815) {
      // No action on the card: disabled, and it says so.
      EXPECT_FALSE(a->isEnabled()) << id;
      EXPECT_EQ(a->toolTip().toStdString(), "This command has no action on the card") << id;
      continue;
    }
    ASSERT_TRUE(a->isEnabled()) << id;
    routed.clear();
    handled.clear();
    a->trigger();
    ASSERT_EQ(routed.count(), 1) << id;
    EXPECT_EQ(routed.at(0).at(0).toUInt(), id);
    const auto route = static_cast<qt::Route>(routed.at(0).at(1).toInt());
    EXPECT_EQ(route, qt::route_of(id)) << id;
    if (route == qt::Route::Logic) EXPECT_EQ(handled, std::vector<uint32_t>{id}) << id;
    else EXPECT_EQ(route, qt::Route::View) << id;
    ++items;
  }
  EXPECT_EQ(items, 23u);  // every command of menu 129 but 32813 and 32815, and the window's own
  for (uint32_t id : {16u, 32768u, 32800u, 32801u, 32802u, 32803u, 32804u, 32805u, 32806u, 1061u, 32812u,
                      ids::ID_FPGA_DUMP, 32817u, 32820u, 32823u, ids::ID_LOG_PANE, ids::ID_PREVIEW_PANE})
    EXPECT_NE(view().menu_item(id), nullptr) << id;

  // With the window's own handler: the debug mode switch asks the card first (control code 0x12),
  // and the debug channel item switches the channel on and shows it checked.
  view().set_command_handler([this](uint32_t id) { return window_->logic().on_command(id); });
  card->clear_reports();
  view().menu_item(32812)->trigger();
  auto sent = requests_of(*card, CMD_CONTROL);
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back()[FRAME_HDR], 0x12);
  QAction* channel = view().menu_item(ids::BTN_DEBUG_1061);
  EXPECT_FALSE(channel->isChecked());
  card->clear_reports();
  channel->trigger();
  sent = requests_of(*card, 2);  // qzdbg control
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0][FRAME_SUB], 2);  // on
  EXPECT_TRUE(channel->isChecked());
  channel->trigger();
  EXPECT_EQ(requests_of(*card, 2).back()[FRAME_SUB], 1);  // off
  EXPECT_FALSE(channel->isChecked());
}

TEST_F(GuiTest, WithoutACardTheItemsThatNeedOneAreDisabled) {
  open();
  for (QAction* a : command_items(view())) {
    const uint32_t id = a->data().toUInt();
    const bool needs_card =
        id != ids::ID_ABOUT && id != ids::ID_HELP && id != ids::ID_LOG_PANE && id != ids::ID_PREVIEW_PANE;
    EXPECT_EQ(a->isEnabled(), !needs_card) << id;
  }
  backend_.add_card(*sim::make_scenario("meadow"));
  ASSERT_TRUE(wait_for([&] { return view().menu_item(32800)->isEnabled(); }));
  EXPECT_TRUE(view().menu_item(ids::ID_FPGA_DUMP)->isEnabled());
  EXPECT_FALSE(view().menu_item(32813)->isEnabled());
  backend_.unplug(0);
  ASSERT_TRUE(wait_for([&] { return !view().menu_item(32800)->isEnabled(); }));
}

TEST_F(GuiTest, AnEngineeringItemOpensTheLogPaneWithItsOutput) {
  backend_.add_card(*sim::make_scenario("TB610R-1CH"));
  open();
  FILE* stream = view().log_pane().open_stream(nullptr);
  log_attach_stream(stream);
  ASSERT_FALSE(view().log_pane_visible());
  const int closed_height = view().height();
  view().menu_item(ids::ID_RUN_STATUS)->trigger();
  EXPECT_TRUE(view().log_pane_visible());
  EXPECT_GT(view().height(), closed_height);
  EXPECT_TRUE(view().menu_item(ids::ID_LOG_PANE)->isChecked());
  QCoreApplication::processEvents();
  const std::string text = view().log_pane().toPlainText().toStdString();
  // The command's name, then its dump (printed with word 3, which the filter passes only while
  // the command runs).
  const size_t named = text.find("» Run status query");
  ASSERT_NE(named, std::string::npos) << text;
  EXPECT_NE(text.find("idle", named), std::string::npos) << text;
  EXPECT_FALSE(log_get_filter().enabled);
  // A command that prints nothing still shows that it ran.
  view().menu_item(32803)->trigger();
  QCoreApplication::processEvents();
  EXPECT_NE(view().log_pane().toPlainText().toStdString().find("» Ask the debug channel's state"), std::string::npos);
  // View > Log pane hides it again.
  view().menu_item(ids::ID_LOG_PANE)->trigger();
  EXPECT_FALSE(view().log_pane_visible());
  EXPECT_EQ(view().height(), closed_height);
  log_attach_stream(nullptr);
  fclose(stream);
}

TEST_F(GuiTest, TheLogPaneChoiceIsRemembered) {
  char path[] = "/tmp/kestrel_settings_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    QSettings settings(QString::fromLatin1(path), QSettings::IniFormat);
    open();
    view().remember_in(&settings);
    EXPECT_FALSE(view().log_pane_visible());
    view().menu_item(ids::ID_LOG_PANE)->trigger();
    EXPECT_TRUE(view().log_pane_visible());
  }
  {
    QSettings settings(QString::fromLatin1(path), QSettings::IniFormat);
    backend_.add_card(*sim::make_scenario("meadow"));
    open();  // the next run
    view().remember_in(&settings);
    EXPECT_TRUE(view().log_pane_visible());
    EXPECT_TRUE(view().menu_item(ids::ID_LOG_PANE)->isChecked());
    view().menu_item(ids::ID_LOG_PANE)->trigger();  // hidden by the user: remembered
    EXPECT_FALSE(view().log_pane_visible());
    view().show_log_pane(true, false);  // --log-pane's kind of change is not remembered
    view().show_log_pane(false, false);
    view().menu_item(ids::ID_VERSION)->trigger();  // shown for a dump's output: not remembered either
    EXPECT_TRUE(view().log_pane_visible());
  }
  QSettings settings(QString::fromLatin1(path), QSettings::IniFormat);
  EXPECT_FALSE(settings.value(QStringLiteral("view/log_pane")).toBool());
  unlink(path);
}

TEST_F(GuiTest, ScriptsFoundAtStartJoinTheServiceMenu) {
  char tmpl[] = "/tmp/kestrel_scripts_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  ASSERT_EQ(std::system(("mkdir " + dir + "/qzscp && touch " + dir + "/qzscp/0-a.sh " + dir + "/qzscp/1-b.sh " + dir +
                         "/qzscp/3-d.sh").c_str()),
            0);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  backend_.add_card(*sim::make_scenario("meadow"));
  open();
  ASSERT_EQ(chdir(cwd), 0);
  std::system(("rm -rf " + dir).c_str());
  QMenu* service = view().menu_bar()->findChild<QMenu*>(QStringLiteral("service"));
  ASSERT_NE(service, nullptr);
  std::vector<std::pair<std::string, uint32_t>> items;
  for (QAction* a : service->actions())
    if (!a->isSeparator()) items.emplace_back(a->text().toStdString(), a->data().toUInt());
  // The scan stops at the missing slot 2.
  const std::vector<std::pair<std::string, uint32_t>> want = {
      {"Save FPGA registers", 32817}, {"Save TB610R FPGA registers", 32818}, {"Save TB610 FPGA registers", 32819},
      {"Save TB720V FPGA registers", 32820}, {"0 a", 32780}, {"1 b", 32781}};
  EXPECT_EQ(items, want);
  // A script item reaches the logic with its id.
  QSignalSpy routed(&view(), &qt::QtView::commandRouted);
  view().menu_item(32781)->trigger();
  ASSERT_EQ(routed.count(), 1);
  EXPECT_EQ(routed.at(0).at(0).toUInt(), 32781u);
  EXPECT_EQ(routed.at(0).at(1).toInt(), static_cast<int>(qt::Route::Logic));
}

TEST_F(GuiTest, CommandsPostedFromAnotherThreadRunInOrderOnTheWindowsThread) {
  backend_.add_card(*sim::make_scenario("meadow"));
  open();
  std::vector<uint32_t> seen;
  bool on_gui_thread = true;
  QObject::connect(&view(), &qt::QtView::commandRouted, [&](quint32 id, int) {
    seen.push_back(id);
    on_gui_thread = on_gui_thread && QThread::currentThread() == view().thread();
  });
  // Ids of controls the template lacks: routed to empty handlers, so only the order shows.
  const std::vector<uint32_t> ids = {1016, 1017, 1018, 1034, 1036, 1038, 1044, 1045};
  std::thread poster([&] {
    for (uint32_t id : ids) view().post_command(id);
  });
  poster.join();
  EXPECT_TRUE(seen.empty());  // nothing runs on the posting thread
  ASSERT_TRUE(wait_for([&] { return seen.size() == ids.size(); }));
  EXPECT_EQ(seen, ids);
  EXPECT_TRUE(on_gui_thread);
}

// A backend without device notifications: the window closes at once and scans nothing.
class NoNotificationBackend : public sim::SimBackend {
 public:
  int hotplug_fd() override { return -1; }
};

class GuiNoNotifications : public GuiTest {
 protected:
  sim::SimBackend* backend() override { return &quiet_; }
  NoNotificationBackend quiet_;
};

TEST_F(GuiNoNotifications, WindowClosesWithoutAScan) {
  auto card = quiet_.add_card(*sim::make_scenario("meadow"));
  card->clear_reports();
  open();
  EXPECT_FALSE(init_ok_);
  QSignalSpy ended(&view(), &QDialog::finished);
  ASSERT_TRUE(wait_for([&] { return ended.count() == 1; }));
  EXPECT_FALSE(view().isVisible());
  EXPECT_TRUE(card->reports().empty());
  EXPECT_EQ(widget<QComboBox>(ids::CARD_LIST)->count(), 0);
}

}  // namespace
}  // namespace kestrel
