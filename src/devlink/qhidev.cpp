#include "devlink/qhidev.h"

#include <cstring>
#include <new>
#include <vector>

#include "log/clock.h"
#include "log/log.h"
#include "platform/hid_descriptor.h"

namespace kestrel {

const qhidev_ops QHIDEV_OPS = {1, qhidev_close, qhidev_destroy};

namespace {

// The size field of the interface detail record, as the path log line shows it.
constexpr unsigned kDetailSizeField = 5;
// Characters skipped between the matched prefix and the display name's tail.
constexpr std::string_view kNameSkip = "#_ -&";
constexpr std::string_view kRuleFile = "70-kestrel.rules";

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (lower(s[i]) != lower(prefix[i])) return false;
  return true;
}

uint32_t addr32(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

void log_open_failure(const std::string& node, platform::OpenFailure why, const std::string& error) {
  switch (why) {
    case platform::OpenFailure::Permission:
      log_printf(LOG_TRACE,
                 " war : qhidev %s: permission denied; the udev rule %s gives the logged-in user "
                 "access to the cards (install it, then replug the card)\r\n",
                 node.c_str(), kRuleFile.data());
      break;
    case platform::OpenFailure::Unsupported:
      log_printf(LOG_TRACE, " err : qhidev %s\r\n", error.c_str());
      break;
    default:
      log_printf(LOG_HANDLE_ERR, " err : qhidev open failed: %s\r\n", error.empty() ? node.c_str() : error.c_str());
  }
}

// Swaps the current device under the reader lock.
void set_current(qhidev_list& list, qhidev* d, uint32_t index) {
  std::lock_guard<std::mutex> g(list.reader_lock);
  list.current = d;
  if (d) list.current_index = index;
}

}  // namespace

uint16_t qhidev_filter_match(std::string_view path, uint16_t* prefix_length) {
  for (size_t i = 0; i < QHIDEV_FILTER.size(); ++i) {
    if (starts_with_nocase(path, QHIDEV_FILTER[i])) {
      if (prefix_length) *prefix_length = static_cast<uint16_t>(QHIDEV_FILTER[i].size());
      return static_cast<uint16_t>(i + 1);
    }
  }
  return 0;
}

std::string qhidev_display_name(std::string_view product, std::string_view path, size_t prefix_length) {
  std::string name(product);
  name += " - ";
  size_t p = prefix_length < path.size() ? prefix_length : path.size();
  while (p < path.size() && kNameSkip.find(path[p]) != std::string_view::npos) ++p;
  const size_t end = path.find("#{", p);
  name += path.substr(p, end == std::string_view::npos ? std::string_view::npos : end - p);
  return name;
}

std::unique_ptr<qhidev> qhidev_build(qhidev_list& list, const platform::HidInterfaceInfo& info,
                                     uint16_t filter_index, uint16_t prefix_length, platform::Access access,
                                     platform::OpenFailure* why_out) {
  platform::OpenFailure ignored;
  platform::OpenFailure& why = why_out ? *why_out : ignored;
  why = platform::OpenFailure::Other;
  platform::HidBackend* be = platform::backend();
  if (!be) return nullptr;
  auto r = std::make_unique<qhidev>();
  r->owner = &list;
  r->ops = &QHIDEV_OPS;
  r->filter_index = filter_index;
  r->prefix_length = prefix_length;
  r->path = info.path;
  r->node = info.node;

  std::string error;
  r->handle = be->open_checked(info.node, access, why, &error);
  if (!r->handle) {
    log_open_failure(info.node, why, error);
    return nullptr;
  }
  // The card's interface needs a moment after an open before it answers queries.
  sleep_ms(QHIDEV_OPEN_WAIT_MS);

  r->name = qhidev_display_name(info.product_ok ? std::string_view(info.product) : std::string_view(), info.path,
                                prefix_length);
  platform::ReportLengths lengths;
  platform::DescriptorError e;
  if (!platform::parse_report_descriptor(info.report_descriptor, lengths, &e)) {
    log_printf(LOG_HANDLE_ERR, " err : qhidev %s: report descriptor refused: %s\r\n", info.node.c_str(),
               platform::descriptor_error_text(e));
    why = platform::OpenFailure::Other;
    return nullptr;
  }
  r->attributes = {info.vendor_id, info.product_id, info.release};
  r->caps = {lengths.input, lengths.output, lengths.feature};
  return r;
}

std::unique_ptr<qhidev> qhidev_clone(const qhidev& r) {
  std::unique_ptr<qhidev> c;
  try {
    c = std::make_unique<qhidev>(r);
  } catch (const std::bad_alloc&) {
    log_printf(LOG_HANDLE_ERR, " err : qhidev handle failed for clone\r\n");
    return nullptr;
  }
  // Every string is the clone's own copy: nothing is left pointing into the source.
  log_printf(LOG_NOTE, " *&* : qhidev(%08X) clone(%08X) stat(%u)\r\n", addr32(&r), addr32(c.get()), 1u);
  return c;
}

bool qhidev_enum(qhidev_list& list) {
  platform::HidBackend* be = platform::backend();
  std::vector<platform::HidInterfaceInfo> present;
  if (!be || !be->enumerate(present)) return false;
  for (const platform::HidInterfaceInfo& info : present) {
    log_printf(LOG_DEVPATH, " *&* : wpath(%04X) = %s\r\n", kDetailSizeField, info.path.c_str());
    uint16_t prefix_length = 0;
    const uint16_t filter_index = qhidev_filter_match(info.path, &prefix_length);
    if (filter_index == 0) continue;
    std::unique_ptr<qhidev> built =
        qhidev_build(list, info, filter_index, prefix_length, platform::Access::QueryOnly);
    // One interface that cannot be looked at (its node gone or not yet made, its descriptor
    // refused) says nothing about the others: the ones after it are still listed.
    if (!built) continue;
    std::unique_ptr<qhidev> c = qhidev_clone(*built);
    qhidev_close(built.get());
    if (!c) continue;
    if (list.count < QHIDEV_MAX)
      list.items[list.count++] = std::move(c);
    else
      qhidev_destroy(c.release());
  }
  for (uint32_t i = 0; i < list.count; ++i) qhidev_close(list.items[i].get());
  return true;
}

bool qhidev_open(qhidev_list& list, uint32_t index, platform::OpenFailure* why_out) {
  platform::OpenFailure ignored;
  platform::OpenFailure& why = why_out ? *why_out : ignored;
  why = platform::OpenFailure::NotFound;
  if (index >= list.count || !list.items[index]) return false;
  qhidev* entry = list.items[index].get();
  why = platform::OpenFailure::None;
  if (list.current == entry) return true;
  if (qhidev* old = list.current) {
    set_current(list, nullptr, 0);
    qhidev_close(old);
  }

  platform::HidBackend* be = platform::backend();
  platform::HidInterfaceInfo info;
  if (!be || !be->describe(entry->node, info) || info.path != entry->path) {
    log_printf(LOG_HANDLE_ERR, " err : qhidev %s is no longer present\r\n", entry->node.c_str());
    why = be ? platform::OpenFailure::NotFound : platform::OpenFailure::Other;
    return false;
  }
  std::unique_ptr<qhidev> fresh =
      qhidev_build(list, info, entry->filter_index, entry->prefix_length, platform::Access::ReadWrite, &why);
  if (!fresh) return false;
  // Opened a second time: this is the handle the reader's asynchronous reads share with the
  // transactions. On hidraw one descriptor serves both; the second open is kept so that an
  // interface that cannot be opened twice fails here rather than later.
  fresh->handle.reset();
  std::string error;
  fresh->handle = be->open_checked(fresh->node, platform::Access::ReadWrite, why, &error);
  if (!fresh->handle) {
    log_open_failure(fresh->node, why, error);
    return false;
  }
  std::unique_ptr<qhidev> c = qhidev_clone(*fresh);
  if (!c) {
    why = platform::OpenFailure::Other;
    return false;
  }
  fresh.reset();  // the clone holds the handle now

  std::unique_ptr<qhidev> old_entry = std::move(list.items[index]);
  list.items[index] = std::move(c);
  set_current(list, list.items[index].get(), index);
  qhidev_destroy(old_entry.release());

  if (!list.current->handle->set_input_buffers(QHIDEV_INPUT_BUFFERS))
    log_printf(LOG_NOTE, " *&* : qhidev input buffers(%u) not set: the driver keeps a queue of its own\r\n",
               QHIDEV_INPUT_BUFFERS);
  return true;
}

void qhidev_close(qhidev* r) {
  if (!r) return;
  std::shared_ptr<platform::HidDevice> h;
  if (r->owner) {
    std::lock_guard<std::mutex> g(r->owner->reader_lock);
    h = std::move(r->handle);
  } else {
    h = std::move(r->handle);
  }
  // A reader may still hold the device: wake it so it lets go and looks again.
  if (h) h->cancel_read();
}

void qhidev_destroy(qhidev* r) {
  if (!r) return;
  qhidev_close(r);
  delete r;
}

void qhidev_release_all(qhidev_list& list) {
  set_current(list, nullptr, 0);
  for (auto& slot : list.items) {
    std::unique_ptr<qhidev> r = std::move(slot);
    if (r && r->ops == &QHIDEV_OPS) r->ops->destroy(r.release());
  }
  list.count = 0;
}

std::shared_ptr<platform::HidDevice> qhidev_reader_handle(qhidev_list& list, uint16_t* link_flags) {
  std::lock_guard<std::mutex> g(list.reader_lock);
  const qhidev* d = list.current;
  if (link_flags) *link_flags = d ? d->link_flags : 0;
  return d ? d->handle : nullptr;
}

void qhidev_set_link_flags(qhidev& d, uint16_t flags) {
  if (!d.owner) {
    d.link_flags = flags;
    return;
  }
  std::lock_guard<std::mutex> g(d.owner->reader_lock);
  d.link_flags = flags;
}

}  // namespace kestrel
