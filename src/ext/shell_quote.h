// Quoting for a POSIX shell: what @shellescape and @shellescapemulti do,
// and what old-style recipe lines use for their $ expansions.
#pragma once

#include <string>
#include <string_view>

namespace kiln::ext {

// Quotes text so that the shell reads it back as one word: TAB and newline
// are wrapped in double quotes; each of  !"#$%&'()*;<=>?[\]^`{|}~ and the
// blank gets a backslash; every other byte is copied. "" stays "".
std::string shell_escape(std::string_view text);

// Appends the quoted text to out.
void shell_escape_append(std::string& out, std::string_view text);

}  // namespace kiln::ext
