// JSON readers: the pull parser behind @jsondec and @jsontest, and the
// file reader behind @jsonin. Both accept standard JSON text and build the
// same script values: object -> dictionary, array -> array, string ->
// string (backslash-u gives UTF-8, each surrogate half on its own), number
// -> number, true/false -> boolean, null -> nil.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace kiln::json {

enum json_event_kind : int {
  ev_object_start = 0,
  ev_object_end = 1,
  ev_array_start = 2,
  ev_array_end = 3,
  ev_null = 4,
  ev_string = 5,
  ev_number = 6,
  ev_boolean = 7,
};

struct json_event {
  int kind = 0;
  bool has_key = false;  // the value sits directly inside an object
  std::string key;
  std::string text;      // decoded string
  double number = 0;
  bool is_integer = false;  // the number's text had no ".", "e" or "E"
  bool boolean = false;
};

// A hand-written pull parser over a text; keeps a stack of open containers.
class json_pull {
 public:
  json_pull(const char* text, size_t length) : p_(text), end_(text + length) {}

  // 1 with the next event, 0 at the end after a complete value, -1 on an
  // error (malformed, truncated or trailing text).
  int next(json_event* ev);

 private:
  enum state_kind { value_expected, key_or_close, key_expected, colon, comma_or_close,
                    value_or_close, done };
  void skip_blanks();
  int read_string(std::string* out);
  int read_value(json_event* ev);
  int after_value();

  const char* p_;
  const char* end_;
  std::vector<char> open_;  // '{' or '[' per open container
  state_kind state_ = value_expected;
  std::string pending_key_;
  bool has_key_ = false;
};

// Parses a whole text and pushes the value on the engine's stack; -1 when
// the text is not exactly one JSON value, the engine's status (error slot
// set) when memory or the C stack runs out.
int json_decode_text(engine::engine* e, const char* text, size_t length);

// Whether the text is one complete JSON value.
bool json_test_text(const char* text, size_t length);

// Reads a regular file and pushes its value; -1 when it cannot be read or
// is not exactly one JSON value.
int json_read_file(engine::engine* e, const char* path);

// @jsondec and @jsontest.
int builtin_jsondec(engine::engine* e);
int builtin_jsontest(engine::engine* e);

// Makes @jsonenc, @jsondec and @jsontest available to scripts.
void register_builtins();

}  // namespace kiln::json
