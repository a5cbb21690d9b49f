#include "cli/upgrade_record.h"

#include <cstdio>

#include "log/log.h"
#include "update/upgrade_attempt.h"
#include "update/workflow.h"

namespace kestrel::cli {

UpgradeRecord::UpgradeRecord(Session& s, const std::string& file, const ImageFile& image, bool fpga,
                             const std::string& version_before)
    : s_(s) {
  const history::HistoryPath where = history::resolve_history_path(s.options().history_db);
  store_ = history::HistoryStore::open(where.path);
  const history::Attempt a =
      upgrade_attempt(s.card().history_identity(), fpga ? UPGRADE_KIND_FPGA : UPGRADE_KIND_USB, file, &image, version_before);
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
