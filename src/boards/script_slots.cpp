#include "boards/script_slots.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "log/log.h"

namespace kestrel {
namespace {

constexpr size_t kExtLen = 3;  // ".sh"

bool matches(const std::string& name, const std::string& prefix) {
  return name.size() >= prefix.size() + kExtLen && name.compare(0, prefix.size(), prefix) == 0 &&
         name.compare(name.size() - kExtLen, kExtLen, ".sh") == 0;
}

std::vector<std::string> directory_names(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return names;
  while (const dirent* e = readdir(d)) names.emplace_back(e->d_name);
  closedir(d);
  // The order a directory lists its entries in is arbitrary on Linux; name order makes the pick
  // among several files of one number the same on every machine.
  std::sort(names.begin(), names.end());
  return names;
}

// Opens the path for reading to confirm it can be read. Only regular files count: a directory
// opens for reading on Linux, and a FIFO would block the window.
bool readable_file(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  close(fd);
  return regular;
}

// After the scan stopped at `missing`: the readable scripts of higher numbers, which a user would
// expect in the menu.
void note_skipped(ScriptSlots& slots, const std::vector<std::string>& names, const std::string& dir, uint32_t missing) {
  for (uint32_t m = missing + 1; m < SCRIPT_SLOT_COUNT; ++m) {
    const std::string prefix = std::to_string(m) + "-";
    for (const std::string& name : names) {
      if (!matches(name, prefix) || !readable_file(dir + name)) continue;
      slots.skipped.push_back({dir + name, missing});
      log_printf(0, " war : script %s%s not offered: no script numbered %u\r\n", dir.c_str(), name.c_str(), missing);
    }
  }
}

}  // namespace

bool script_slot_store(ScriptSlots* holder, uint32_t n, const std::string& name, const std::string& path) {
  if (!holder || n >= holder->capacity || n >= holder->slots.size()) return false;
  auto slot = std::make_unique<ScriptSlot>();
  size_t len = std::min(name.size(), SCRIPT_NAME_SIZE - 1);
  // Back to the start of the character the cut would split: a UTF-8 continuation byte is
  // 10xxxxxx, and a character has at most three of them.
  for (int back = 0; len < name.size() && back < 3 && len > 0 && (static_cast<uint8_t>(name[len]) & 0xC0) == 0x80;
       ++back)
    --len;
  std::memcpy(slot->name, name.data(), len);
  slot->path = path;
  slot->index = static_cast<uint16_t>(n);
  holder->slots[n] = std::move(slot);
  return true;
}

std::string script_display_name(const std::string& file_name) {
  std::string s = file_name.size() >= kExtLen ? file_name.substr(0, file_name.size() - kExtLen) : file_name;
  const size_t hyphen = s.find('-');
  if (hyphen != std::string::npos) return s.substr(hyphen + 1);
  return s.size() > 2 ? s.substr(2) : std::string();
}

bool script_scan(ScriptSlots& slots, const std::string& dir) {
  // Trailing slashes dropped, but "/" stays the root directory.
  std::string d = dir;
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  const std::string prefix_dir = d.empty() ? std::string() : (d.back() == '/' ? d : d + "/");
  const std::vector<std::string> names = directory_names(d);

  bool stored = false;
  for (uint32_t n = 0; n < SCRIPT_SLOT_COUNT; ++n) {
    const std::string prefix = std::to_string(n) + "-";
    const std::string* winner = nullptr;
    for (const std::string& name : names) {
      if (matches(name, prefix) && readable_file(prefix_dir + name)) {
        winner = &name;
        break;
      }
    }
    // The numbers must run without a gap: a number with no usable file ends the scan.
    if (!winner) {
      note_skipped(slots, names, prefix_dir, n);
      break;
    }
    if (script_slot_store(&slots, n, script_display_name(*winner), prefix_dir + *winner)) stored = true;
  }
  return stored;
}

std::string program_file_path() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

bool script_load_startup(ScriptSlots& slots, const std::string& program_path) {
  if (script_scan(slots, SCRIPT_DIR)) return true;
  const size_t slash = program_path.rfind('/');
  if (slash == std::string::npos) return false;
  return script_scan(slots, program_path.substr(0, slash + 1) + SCRIPT_DIR);
}

std::vector<std::string> script_menu_names(const ScriptSlots& slots) {
  std::vector<std::string> names;
  for (uint32_t n = 0; n < SCRIPT_SLOT_COUNT; ++n) {
    const ScriptSlot* s = slots.slot(n);
    if (!s) break;
    names.emplace_back(s->name);
  }
  return names;
}

std::string script_menu_label(uint32_t n, const std::string& name) { return std::to_string(n) + " " + name; }

}  // namespace kestrel
