// Shared pieces of the libFuzzer harnesses: running code under test that
// may end the process by design, and the input filters that keep known,
// separately tracked faults from stopping a campaign.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kiln::fuzz {

// Runs fn(data). Returns 0 when it returned, or 1 when the code under test
// called exit() (the reader's "exits with status 2" paths): the call is
// turned into a return to here, and the heap blocks that the abandoned
// frames still owned are excused from leak checking. Nothing of the
// engine may be in the middle of a change when exit() is called.
int run_catching_exit(void (*fn)(void*), void* data);

// True when the text contains the bytes of needle.
inline bool contains(std::string_view text, std::string_view needle) {
  return text.find(needle) != std::string_view::npos;
}

// True when every \u in the text is followed by four hexadecimal digits
// and every \x by two. A bad escape in a string ends the reader by design;
// harnesses keep such inputs out, because every exit leaves blocks behind
// that make libFuzzer run a full leak check (and it gives up leak
// checking after a thousand of them).
bool escapes_are_well_formed(std::string_view text);

// The deepest nesting of ( [ { in the text, counted without regard to
// strings or comments.
int bracket_depth(std::string_view text);

inline std::string_view as_text(const uint8_t* data, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

}  // namespace kiln::fuzz
