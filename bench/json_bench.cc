// JSON encode and decode of large structures: an array of n small
// dictionaries, for n = 100,000 and 200,000, to show linear time.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "json/reader.h"

using namespace kiln::engine;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

value make_structure(engine* e, size_t n) {
  array_obj* a = array_new(e);
  for (size_t i = 0; i < n; i++) {
    tree_obj* t = tree_new(e);
    value tv = make_object(t_tree, t);
    std::string name = "src/dir" + std::to_string(i % 100) + "/file" + std::to_string(i) + ".c";
    str_obj* k1 = string_new(e, "name", 4);
    str_obj* v1 = string_new(e, name.data(), name.size());
    str_obj* k2 = string_new(e, "size", 4);
    tree_set(e, t, make_object(t_str, k1), make_object(t_str, v1));
    tree_set(e, t, make_object(t_str, k2), make_number(static_cast<double>(i * 37)));
    value_unref(e, make_object(t_str, k1));
    value_unref(e, make_object(t_str, v1));
    value_unref(e, make_object(t_str, k2));
    array_push(e, a, tv);
    value_unref(e, tv);
  }
  return make_object(t_array, a);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 5;
  kiln::json::register_builtins();
  for (size_t n : {100000, 200000}) {
    std::vector<double> enc;
    std::vector<double> dec;
    size_t bytes = 0;
    for (int r = 0; r < rounds; r++) {
      engine e;
      engine_init(&e, 1);
      value v = make_structure(&e, n);
      push_value(&e, v);
      value_unref(&e, v);
      auto t0 = std::chrono::steady_clock::now();
      if (builtin_run(&e, 180) != 0) return 1;
      enc.push_back(seconds_since(t0));
      bytes = e.stack.items[e.stack.length - 1].str->length;
      t0 = std::chrono::steady_clock::now();
      if (builtin_run(&e, 181) != 0) return 1;
      dec.push_back(seconds_since(t0));
      pop(&e);
      engine_free(&e);
    }
    std::sort(enc.begin(), enc.end());
    std::sort(dec.begin(), dec.end());
    printf("%zu elements (%zu bytes): encode min %.3f s median %.3f s; decode min %.3f s median %.3f s\n",
           n, bytes, enc.front(), enc[enc.size() / 2], dec.front(), dec[dec.size() / 2]);
  }
  return 0;
}
