#include "cli/upgrade_record.h"

#include <cstdio>

#include "boards/registry.h"
#include "devlink/card_names.h"
#include "log/log.h"
#include "update/image_check.h"

namespace kestrel::cli {

UpgradeRecord::UpgradeRecord(Session& s, const std::string& file, const ImageFile& image, bool fpga,
                             const std::string& version_before)
    : s_(s) {
  const history::HistoryPath where = history::resolve_history_path(s.options().history_db);
  store_ = history::HistoryStore::open(where.path);
  history::Attempt a;
  const BoardRegistry* reg = s.card().registry();
  if (reg && reg->current) a.card.board = reg->current->name;
  if (const qhidev* d = s.list().current) {
    a.card.node = d->node;
    // The port and serial find the card's attempts again after a replug gave it another node.
    CardNames names = card_names(platform::backend(), *d);
    a.card.port_path = std::move(names.port);
    a.card.usb_serial = std::move(names.serial);
  }
  a.kind = fpga ? history::ImageKind::Fpga : history::ImageKind::Firmware;
  a.file_name = file;
  a.file_size = image.size();
  a.sha256 = history::sha256_hex(image.begin(), image.size());
  if (!fpga)
    if (const char* info = find_image_info(image.begin(), image.begin() + image.size())) a.info_text = info;
  a.forced = s.options().force;
  a.version_before = version_before;
  const history::HistoryWrite w = store_.begin(a);
  id_ = w.id;
  report(w);
}

void UpgradeRecord::end(const history::Outcome& outcome) {
  if (ended_) return;
  ended_ = true;
  report(store_.finish(id_, outcome));
}

void UpgradeRecord::report(const history::HistoryWrite& w) {
  // One message is enough: a store that could not begin cannot end either.
  if (w.ok || reported_) return;
  reported_ = true;
  failure_ = w.message;
  log_printf(0, " war : %s\r\n", w.message.c_str());
  s_.out().doc()["history"] = w.message;
  if (!s_.out().json()) std::fprintf(stderr, "%s\n", w.message.c_str());
}

}  // namespace kestrel::cli
