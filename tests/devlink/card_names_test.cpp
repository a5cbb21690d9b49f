// The names of listed cards, read from the simulated backend: two cards on two ports, a card
// found by its port, and the text that says what is attached when no card is on a port.
#include "devlink/card_names.h"

#include <gtest/gtest.h>

#include <memory>

#include "sim/scenario.h"
#include "sim/sim_backend.h"

namespace kestrel {
namespace {

TEST(PortPath, Forms) {
  struct Case {
    const char* text;
    bool port;
  } cases[] = {{"1-2", true},    {"3-1.4.2", true}, {"10-11", true}, {"1", false},   {"1-", false},
               {"-2", false},    {"1-2.", false},   {"1-.2", false}, {"1.2-3", false}, {"1-2-3", false},
               {"sim:0", false}, {"", false},       {"a-b", false},  {"1-2a", false}};
  for (const Case& c : cases) EXPECT_EQ(looks_like_port_path(c.text), c.port) << c.text;
}

class CardNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    backend_.add_card(*sim::make_scenario("meadow"));
    backend_.add_card(*sim::make_scenario("TB610M-1CH"));
    // Listed as discovery lists them: the nodes the backend opens, in its order.
    for (uint32_t i = 0; i < 2; ++i) {
      list_.items[i] = std::make_unique<qhidev>();
      list_.items[i]->node = sim::SimBackend::node_of(i);
    }
    list_.count = 2;
  }
  sim::SimBackend backend_;
  qhidev_list list_;
};

TEST_F(CardNamesTest, EachCardHasItsOwnPortAndSerial) {
  const CardNames a = card_names(&backend_, *list_.items[0]);
  const CardNames b = card_names(&backend_, *list_.items[1]);
  EXPECT_EQ(a.port, "1-1");
  EXPECT_EQ(b.port, "1-2");
  EXPECT_EQ(a.serial, "KSIM0001");
  EXPECT_EQ(b.serial, "KSIM0002");
  EXPECT_FALSE(a.product.empty());
  EXPECT_EQ(card_names_tooltip(&backend_, *list_.items[1]), "port 1-2  serial KSIM0002\nsim:1");
}

TEST_F(CardNamesTest, FindsACardByItsPort) {
  EXPECT_EQ(card_on_port(&backend_, list_, "1-2"), 1);
  EXPECT_EQ(card_on_port(&backend_, list_, "1-1"), 0);
  EXPECT_EQ(card_on_port(&backend_, list_, "1-3"), -1);
  EXPECT_EQ(card_on_port(&backend_, list_, ""), -1);
  EXPECT_EQ(card_on_port(nullptr, list_, "1-1"), -1);
  // The port stays with the card, not with its place in the backend's list: with the first card
  // unplugged the second is still on 1-2 and nothing is on 1-1.
  backend_.unplug(0);
  EXPECT_EQ(card_on_port(&backend_, list_, "1-1"), -1);
  EXPECT_EQ(card_on_port(&backend_, list_, "1-2"), 1);
}

TEST_F(CardNamesTest, SaysWhatIsAttached) {
  EXPECT_EQ(attached_cards_text(&backend_, list_), "0 port 1-1 node sim:0, 1 port 1-2 node sim:1");
  backend_.unplug(1);
  EXPECT_EQ(attached_cards_text(&backend_, list_), "0 port 1-1 node sim:0, 1 port ? node sim:1");
  qhidev_list empty;
  EXPECT_EQ(attached_cards_text(&backend_, empty), "none");
}

}  // namespace
}  // namespace kestrel

namespace kestrel {
namespace {

// The selected card's line in the window: board, port and serial in one language, "?" for what
// is not known.
TEST(CardLine, NamesBoardPortAndSerialInEitherLanguage) {
  const CardNames n{"1-2.3", "KSIM0002", "USB Video"};
  EXPECT_EQ(card_line("TB610M-1CH", n, false), "Board: TB610M-1CH   Port: 1-2.3   Serial: KSIM0002");
  EXPECT_EQ(card_line("TB610M-1CH", n, true), "板卡型号: TB610M-1CH   USB端口: 1-2.3   序列号: KSIM0002");
  EXPECT_EQ(card_line("", CardNames{}, false), "Board: ?   Port: ?   Serial: ?");
  EXPECT_EQ(no_card_line(false), "No card selected");
  EXPECT_EQ(no_card_line(true), "未选择采集卡");
}

}  // namespace
}  // namespace kestrel
