// The desktop program's rescue on a simulated card in boot mode: the notice and the menu item
// follow the device, a bad image is refused with its reason before anything is sent, and a good
// one brings the card back into the window, which attaches it.
#include <QAction>
#include <QLabel>
#include <QMenu>

#include "app/qt/rescue_panel.h"
#include "gui_fixture.h"
#include "sim/boot_rom.h"
#include "support/boot_images.h"

namespace kestrel::test {
namespace {

class RescueGui : public GuiTest {
 protected:
  qt::RescuePanel& panel(size_t roms = 1) {
    open();
    auto bus = std::make_unique<sim::SimBootBus>();
    for (size_t i = 0; i < roms; ++i) {
      roms_.push_back(bus->add_rom());
      sim::return_as_card(*roms_.back(), backend_);
    }
    rom_ = roms_.front();
    auto* p = new qt::RescuePanel(view(), window_->logic(), std::move(bus));
    p->ask = [this](const QString& q) {
      questions_.push_back(q.toStdString());
      return answers_.empty() ? false : (answers_.erase(answers_.begin()), true);
    };
    p->tell = [this](const QString& t) { told_.push_back(t.toStdString()); };
    p->choose = [this](const QStringList& names) {
      for (const QString& n : names) offered_.push_back(n.toStdString());
      return pick_;
    };
    return *p;
  }
  std::shared_ptr<sim::BootRom> rom_;
  std::vector<std::shared_ptr<sim::BootRom>> roms_;
  std::vector<std::string> questions_, told_, offered_;
  int pick_ = -1;  // the device chosen among several; -1 cancels
  std::vector<bool> answers_;  // one "yes" per entry, then "no"
  TempDir dir_;
};

TEST_F(RescueGui, GoodImageBringsTheCardBackIntoTheWindow) {
  qt::RescuePanel& p = panel();
  EXPECT_FALSE(p.notice()->isHidden());
  ASSERT_TRUE(p.item());
  EXPECT_TRUE(p.item()->isEnabled());
  EXPECT_EQ(window_->logic().session().list().count, 0u);

  const std::string file = dir_.write("fw.img", card_boot_image(tagged("TB610R-1CH", 10000)));
  answers_ = {true};  // load: yes; flash: no
  p.run(file);
  ASSERT_EQ(questions_.size(), 2u);
  EXPECT_NE(questions_[0].find("TB610R-1CH:V2.0.6800"), std::string::npos) << questions_[0];
  EXPECT_NE(questions_[1].find("fw.img"), std::string::npos) << questions_[1];
  EXPECT_TRUE(told_.empty()) << told_.front();
  EXPECT_TRUE(rom_->started_at());
  EXPECT_TRUE(wait_for([&] { return window_->logic().session().list().current != nullptr; }));
  p.refresh();
  EXPECT_TRUE(p.notice()->isHidden());
  EXPECT_FALSE(p.item()->isEnabled());
  // Opening the Card menu, which refreshes its items, leaves the item off while no device is there.
  view().refresh_menu();
  Q_EMIT qobject_cast<QMenu*>(p.item()->parent())->aboutToShow();
  EXPECT_FALSE(p.item()->isEnabled());
}

TEST_F(RescueGui, BadImageIsRefusedWithItsReasonBeforeAnythingIsSent) {
  qt::RescuePanel& p = panel();
  auto img = card_boot_image();
  img.back() ^= 0x80;  // the checksum's top byte
  answers_ = {true, true};
  p.run(dir_.write("bad.img", img));
  ASSERT_EQ(told_.size(), 1u);
  EXPECT_NE(told_[0].find("checksum mismatch"), std::string::npos) << told_[0];
  EXPECT_TRUE(questions_.empty());
  EXPECT_TRUE(rom_->requests().empty());
  EXPECT_TRUE(rom_->on_bus());
}

// Several devices in boot mode: the user is asked which one, by port, and only that one is
// loaded; cancelling the choice sends nothing to any of them.
TEST_F(RescueGui, SeveralDevicesInBootModeAskWhichOneByPort) {
  qt::RescuePanel& p = panel(2);
  const std::string file = dir_.write("fw.img", card_boot_image(tagged("TB610R-1CH", 10000)));
  p.run(file);  // pick_ -1: cancelled
  ASSERT_EQ(offered_.size(), 2u);
  EXPECT_NE(offered_[0].find("2-1"), std::string::npos) << offered_[0];
  EXPECT_NE(offered_[1].find("2-2"), std::string::npos) << offered_[1];
  EXPECT_TRUE(questions_.empty());
  EXPECT_TRUE(roms_[0]->requests().empty());
  EXPECT_TRUE(roms_[1]->requests().empty());

  pick_ = 1;
  answers_ = {true};  // load: yes; flash: no
  p.run(file);
  EXPECT_TRUE(roms_[0]->requests().empty()) << "the other device is left alone";
  EXPECT_TRUE(roms_[1]->started_at());
  ASSERT_FALSE(questions_.empty());
  EXPECT_NE(questions_[0].find("simulated boot ROM 1"), std::string::npos) << questions_[0];
}

}  // namespace
}  // namespace kestrel::test
