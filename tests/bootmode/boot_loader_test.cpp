// Loading against the simulated boot ROM: what lands in its memory is the image, byte for byte,
// sent in requests the ROM accepts; a device that leaves mid-load ends in a failure that says so,
// with nothing started; after the start the card of the image's board comes back.
#include <gtest/gtest.h>

#include "bootmode/boot_loader.h"
#include "sim/boot_rom.h"
#include "sim/sim_backend.h"
#include "support/boot_images.h"

namespace kestrel {
namespace {

struct Loaded {
  std::vector<uint8_t> file;
  BootImage image;
};

Loaded card_image(const std::string& tag = "TB610R-1CH") {
  Loaded l{test::card_boot_image(test::tagged(tag, 10000)), {}};
  l.image = *parse_boot_image(l.file);
  return l;
}

TEST(BootLoader, MemoryHoldsTheImageAndEveryChunkIsReadBackBeforeTheStart) {
  sim::SimBootBus bus;
  auto rom = bus.add_rom();
  const Loaded l = card_image();
  auto port = bus.open("sim:0");
  ASSERT_TRUE(port);
  std::vector<uint64_t> seen;
  BootLoadHooks hooks;
  hooks.progress = [&](uint64_t done, uint64_t) { seen.push_back(done); };
  const BootLoadResult r = boot_load(*port, l.file, l.image, hooks);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.loaded, l.image.load_bytes());
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), l.image.load_bytes());

  for (const BootSection& s : l.image.sections) {
    const auto mem = rom->memory(s.address, s.bytes);
    ASSERT_TRUE(mem);
    EXPECT_TRUE(std::equal(mem->begin(), mem->end(), l.file.begin() + s.offset)) << std::hex << s.address;
  }

  // Write then read of the same place, never more than 4096 bytes; the start last, with no data.
  const auto reqs = rom->requests();
  ASSERT_GE(reqs.size(), 3u);
  for (size_t i = 0; i + 1 < reqs.size(); i += 2) {
    EXPECT_EQ(reqs[i].request_type, 0x40);
    EXPECT_EQ(reqs[i + 1].request_type, 0xC0);
    EXPECT_EQ(reqs[i].request, 0xA0);
    EXPECT_EQ(reqs[i].value, reqs[i + 1].value);
    EXPECT_EQ(reqs[i].index, reqs[i + 1].index);
    EXPECT_EQ(reqs[i].length, reqs[i + 1].length);
    EXPECT_GT(reqs[i].length, 0);
    EXPECT_LE(reqs[i].length, 4096);
  }
  EXPECT_EQ(reqs.size() % 2, 1u);
  const sim::BootRequest& start = reqs.back();
  EXPECT_EQ(start.request_type, 0x40);
  EXPECT_EQ(start.length, 0);
  EXPECT_EQ(start.value | (uint32_t{start.index} << 16), l.image.entry);
  EXPECT_EQ(rom->started_at(), l.image.entry);
  EXPECT_FALSE(rom->on_bus());
}

TEST(BootLoader, DeviceThatVanishesMidLoadFailsClearlyAndNothingStarts) {
  const Loaded l = card_image();
  // Request 1: the first write; 2: its read-back; 5: a write in the middle; 8: a later read-back.
  for (uint32_t n : {1u, 2u, 5u, 8u}) {
    sim::SimBootBus bus;
    auto rom = bus.add_rom();
    rom->vanish_at_request(n);
    auto port = bus.open("sim:0");
    const BootLoadResult r = boot_load(*port, l.file, l.image);
    EXPECT_FALSE(r.ok) << n;
    EXPECT_NE(r.error.find("device gone"), std::string::npos) << n << ": " << r.error;
    EXPECT_LT(r.loaded, l.image.load_bytes()) << n;
    EXPECT_EQ(r.step, n % 2 ? BootLoadStep::Write : BootLoadStep::ReadBack) << n;
    EXPECT_FALSE(rom->started_at()) << n;
    EXPECT_TRUE(bus.list().empty()) << n;
  }
}

TEST(BootLoader, RomRefusalAndStopAreFailures) {
  sim::SimBootBus bus;
  auto rom = bus.add_rom();
  Loaded l = card_image();
  // A section the ROM has no memory for (the parser would refuse it; the ROM does too).
  BootImage outside = l.image;
  outside.sections[0].address = 0x20000000;
  auto port = bus.open("sim:0");
  BootLoadResult r = boot_load(*port, l.file, outside);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.step, BootLoadStep::Write);
  EXPECT_NE(r.error.find("write of 256 bytes at 0x20000000: refused"), std::string::npos) << r.error;

  BootLoadHooks stop;
  stop.stop = [] { return true; };
  r = boot_load(*port, l.file, l.image, stop);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.step, BootLoadStep::Stopped);
  EXPECT_FALSE(rom->started_at());
  EXPECT_TRUE(rom->on_bus());
}

TEST(BootLoader, StartedRomComesBackAsTheCardOfTheImagesBoard) {
  sim::SimBackend cards;
  sim::SimBootBus bus;
  auto rom = bus.add_rom();
  sim::return_as_card(*rom, cards);
  const Loaded l = card_image("rw820c");
  ASSERT_TRUE(boot_load(*bus.open("sim:0"), l.file, l.image).ok);
  ASSERT_EQ(cards.card_count(), 1u);
  EXPECT_EQ(cards.card(0)->model(), sim::BoardModel::Rw820c);
  EXPECT_TRUE(cards.card(0)->plugged());
  EXPECT_TRUE(bus.list().empty());
}

}  // namespace
}  // namespace kestrel
