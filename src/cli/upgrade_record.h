// The history row of one kestrelctl upgrade: begun before anything is sent to the card, ended
// with what came of it. A database that cannot be written never stops the upgrade: the log, the
// terminal and the JSON document ("history") say the record could not be written.
#pragma once

#include <string>

#include "cli/session.h"
#include "history/history_path.h"
#include "history/history_store.h"
#include "update/image_file.h"

namespace kestrel::cli {

class UpgradeRecord {
 public:
  UpgradeRecord(Session& s, const std::string& file, const ImageFile& image, bool fpga, const std::string& version_before);
  // Ends the row (once; a later call is ignored).
  void end(const history::Outcome& outcome);
  // Why the record could not be written; empty when it was.
  const std::string& failure() const { return failure_; }

 private:
  void report(const history::HistoryWrite& w);

  Session& s_;
  history::HistoryStore store_;
  int64_t id_ = 0;
  bool ended_ = false;
  bool reported_ = false;
  std::string failure_;
};

}  // namespace kestrel::cli
