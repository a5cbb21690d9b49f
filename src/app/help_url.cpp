#include "app/help_url.h"

#include <cctype>

namespace kestrel {

std::string help_url_for_program(std::string_view program_path) {
  // An absolute path already starts with its own slash: "file://" + "/opt/..." is the URL.
  std::string url = "file://";
  if (program_path.empty() || (program_path[0] != '/' && program_path[0] != '\\')) url += '/';
  for (char c : program_path) url += c == '\\' ? '/' : c;
  url.erase(url.rfind('/') + 1);  // the folder, with its slash
  if (url.size() >= 5) {
    std::string tail = url.substr(url.size() - 5);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (tail == "/bin/") url.erase(url.size() - 4);
  }
  return url + "help/index.html";
}

}  // namespace kestrel
