// Where the HTML help lies: "help/index.html" beside the program, or beside its "bin" folder.
#pragma once

#include <string>
#include <string_view>

namespace kestrel {

// The file URL of the help for the program file at `program_path` (an absolute path). Both '\'
// and '/' count as separators; a folder named "bin" in any case leads to its parent.
std::string help_url_for_program(std::string_view program_path);

}  // namespace kestrel
