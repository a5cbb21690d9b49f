#include "sim/scenario.h"

#include <array>
#include <cctype>

namespace kestrel::sim {

namespace {

// One row per board model: how its default card looks on the bus and what it can do.
struct ModelRow {
  BoardModel model;
  std::string_view name;
  uint8_t inputs;
  uint16_t vendor_id;
  uint16_t product_id;
  uint8_t capabilities;
  bool feature_event;
  uint16_t prop_offer_mask;
  bool prop_short_answer;
  uint8_t usb_speed;
  std::string_view firmware;
  std::string_view fpga;
};

constexpr std::array<ModelRow, 8> kModels = {{
    {.model = BoardModel::TB610K_1CH, .name = "TB610K-1CH", .inputs = 3, .vendor_id = 0x04B4,
     .product_id = 0x00ED, .capabilities = CAP_ECHO2, .feature_event = false,
     .prop_offer_mask = 0x003F, .prop_short_answer = true, .usb_speed = 2,
     .firmware = "V3.1.2 build 2021-06-02 10:11:12", .fpga = "2.3"},
    {.model = BoardModel::TB610M_1CH, .name = "TB610M-1CH", .inputs = 3, .vendor_id = 0x04B4,
     .product_id = 0x00EB, .capabilities = CAP_ECHO2 | CAP_ASYNC_ALT, .feature_event = false,
     .prop_offer_mask = 0x007F, .prop_short_answer = false, .usb_speed = 3,
     .firmware = "V3.2.0 build 2021-11-20 16:40:05", .fpga = "2.5"},
    {.model = BoardModel::TB610R_1CH, .name = "TB610R-1CH", .inputs = 7, .vendor_id = 0x04B4,
     .product_id = 0x003D, .capabilities = CAP_ECHO2 | CAP_ASYNC_ALT | CAP_FLASH_CHAN,
     .feature_event = false, .prop_offer_mask = 0x007F, .prop_short_answer = false, .usb_speed = 3,
     .firmware = "V3.4.1 build 2022-04-08 11:02:33", .fpga = "3.0"},
    {.model = BoardModel::TB720V_2CH, .name = "TB720V-2CH", .inputs = 2, .vendor_id = 0x04B4,
     .product_id = 0x002D, .capabilities = CAP_ECHO2 | CAP_FLASH_CHAN, .feature_event = false,
     .prop_offer_mask = 0x007F, .prop_short_answer = false, .usb_speed = 3,
     .firmware = "V2.8.7 build 2022-09-14 08:15:00", .fpga = "1.9"},
    {.model = BoardModel::TB830R_1CH, .name = "TB830R-1CH", .inputs = 1, .vendor_id = 0x04B4,
     .product_id = 0x2060, .capabilities = CAP_ECHO2 | CAP_ASYNC_ALT | CAP_FLASH_CHAN,
     .feature_event = false, .prop_offer_mask = 0x007F, .prop_short_answer = false, .usb_speed = 3,
     .firmware = "V4.0.3 build 2023-02-27 14:20:45", .fpga = "4.1"},
    {.model = BoardModel::TB850V_1CH, .name = "TB850V-1CH", .inputs = 1, .vendor_id = 0x28E9,
     .product_id = 0x028B, .capabilities = CAP_ECHO2 | CAP_ASYNC_ALT | CAP_FLASH_CHAN,
     .feature_event = false, .prop_offer_mask = 0x007F, .prop_short_answer = false, .usb_speed = 3,
     .firmware = "V4.2.0 build 2023-07-03 09:00:12", .fpga = "4.4"},
    {.model = BoardModel::Meadow, .name = "meadow", .inputs = 3, .vendor_id = 0x28E9,
     .product_id = 0x6912,
     .capabilities = CAP_ECHO2 | CAP_STATUS_RPT | CAP_ASYNC | CAP_FLASH_CHAN | CAP_0x20,
     .feature_event = true, .prop_offer_mask = 0x00FF, .prop_short_answer = false, .usb_speed = 2,
     .firmware = "V2.0.6800 build 2024-03-11 09:30:00", .fpga = "5.2.1"},
    {.model = BoardModel::Rw820c, .name = "rw820c", .inputs = 1, .vendor_id = 0x28E9,
     .product_id = 0x6920, .capabilities = CAP_ECHO2 | CAP_STATUS_RPT | CAP_ASYNC | CAP_FLASH_CHAN,
     .feature_event = true, .prop_offer_mask = 0x00CF, .prop_short_answer = false, .usb_speed = 2,
     .firmware = "V1.6.2 build 2024-05-30 17:45:10", .fpga = "2.0.4"},
}};

constexpr std::array<std::string_view, 8> kNames = {
    kModels[0].name, kModels[1].name, kModels[2].name, kModels[3].name,
    kModels[4].name, kModels[5].name, kModels[6].name, kModels[7].name,
};

const ModelRow& row_of(BoardModel model) { return kModels[static_cast<size_t>(model) - 1]; }

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

}  // namespace

std::string Scenario::status_text() const {
  const std::string tag = reported_tag ? *reported_tag : std::string(model_name(model));
  return tag + ":" + firmware_version + " FPGA:" + fpga_version;
}

std::string_view model_name(BoardModel model) { return row_of(model).name; }
uint8_t model_input_count(BoardModel model) { return row_of(model).inputs; }

std::span<const std::string_view> board_names() { return kNames; }

Scenario make_scenario(BoardModel model) {
  const ModelRow& r = row_of(model);
  Scenario s;
  s.model = model;
  s.vendor_id = r.vendor_id;
  s.product_id = r.product_id;
  s.capabilities = r.capabilities;
  s.feature_event = r.feature_event;
  s.prop_offer_mask = r.prop_offer_mask;
  s.prop_short_answer = r.prop_short_answer;
  s.usb_speed = r.usb_speed;
  s.firmware_version = std::string(r.firmware);
  s.fpga_version = std::string(r.fpga);
  // meadow starts at "1920 X 1080:2" of its two-entry size list and its RKCore port, rw820c at
  // "1920 X 1080:1", its only size; the others at the first entry of theirs.
  if (model == BoardModel::Meadow) {
    s.default_size = 2;
    s.output_port = 1;
  }
  if (model == BoardModel::Rw820c) s.default_size = 1;
  return s;
}

std::optional<Scenario> make_scenario(std::string_view board_name) {
  for (const ModelRow& r : kModels)
    if (same_name(r.name, board_name)) return make_scenario(r.model);
  return std::nullopt;
}

}  // namespace kestrel::sim
