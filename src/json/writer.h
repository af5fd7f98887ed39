// The JSON writer behind @jsonenc: a streaming writer (a sink plus
// indentation state) and a walk over script values.
//
// Layout: every value or member but the top-level one starts on a new
// line ("\n" for the first item of a container, ",\n" otherwise) indented
// by unit x depth characters; a member is the key, ": " and the value; a
// non-empty container closes on a line of its own, an empty one at once
// ("{}", "[]"). Dictionary keys come out in key order; numbers of the int
// type as integers, other numbers in their shortest round-trip form.
#pragma once

#include <cstddef>

#include "engine/engine.h"

namespace kiln::json {

struct json_writer;

// Receives the output; returns 0 or an error (which stops the writer).
using json_sink = int (*)(json_writer* w, const char* bytes, size_t length);

struct json_writer {
  json_sink sink = nullptr;
  void* sink_data = nullptr;
  char indent_char = ' ';
  size_t indent_length = 70;  // indent characters written per piece
  int unit = 2;               // indent characters per nesting level
  int depth = 0;
  bool first = false;  // right after an opening bracket
  bool top = true;     // nothing written yet
};

// Blanks (70 per piece) or TABs (35 per piece), the unit and the sink.
void json_writer_init(json_writer* w, bool use_tabs, int unit, json_sink sink, void* sink_data);

// Writes a value; fails with error 66 "Non-JSON type" for functions,
// scopes, streams, buffers and the like, and with -12 beyond the depth
// budget.
int json_encode_value(engine::engine* e, engine::value v, json_writer* w, int depth_budget);

// The shortest round-trip text of a floating number in JSON ("1e2" for
// 100, "12.0" for 12); "null" for non-finite numbers.
int json_number_text(double x, char* buffer);

// @jsonenc: value -> str (blanks, unit 2).
int builtin_jsonenc(engine::engine* e);

}  // namespace kiln::json
