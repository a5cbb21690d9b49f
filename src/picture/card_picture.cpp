#include "picture/card_picture.h"

#include <cstdlib>

#include "picture/sim_source.h"
#include "picture/v4l2_source.h"
#include "picture/video_node.h"
#include "sim/sim_backend.h"

namespace kestrel::picture {

OpenResult open_card_picture(platform::HidBackend* backend, const qhidev_list& list, uint32_t color_format) {
  OpenResult r;
  r.failure = OpenFailure::NoNode;
  const qhidev* d = list.current;
  if (!d) {
    r.error = "no card attached";
    return r;
  }
  // A simulated card's node is "sim:<index>".
  if (auto* sims = dynamic_cast<sim::SimBackend*>(backend); sims && d->node.rfind("sim:", 0) == 0) {
    const size_t index = std::strtoul(d->node.c_str() + 4, nullptr, 10);
    return open_sim(index < sims->card_count() ? sims->card(index) : nullptr);
  }
  const VideoNodeResult found = find_video_node("/", d->node);
  if (found.node.empty()) {
    r.error = found.error;
    return r;
  }
  V4l2Request rq{.node = found.node, .format = format_of_card_code(static_cast<uint8_t>(color_format))};
  return open_v4l2(rq);
}

}  // namespace kestrel::picture
