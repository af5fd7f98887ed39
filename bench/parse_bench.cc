// Kilnfile parse benchmark: a generated 20,000-line Kilnfile of variable
// definitions and functions, parsed into a fresh engine several times.
// Reports the minimum and median time and lines per second.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "front/parser.h"

namespace {

std::string generate(int n_lines) {
  std::string text = "@toplevel\n";
  int lines = 1;
  for (int i = 0; lines < n_lines; i++) {
    char buf[512];
    if (i % 4 == 3) {
      snprintf(buf, sizeof buf,
               "@function $f%d($a, $b)\n"
               "@locvar $t = $a + $b\n"
               "  @for ($t = 0, $t < $b, $t = $t + 1)\n"
               "    $a = $a * 2 + $t\n"
               "  @endfor\n"
               "  @return [$a, $t, \"x%d\"]\n"
               "@endfunction\n",
               i, i);
      lines += 7;
    } else {
      snprintf(buf, sizeof buf, "$V%d = [\"src/file%d.c\", %d * 3 + 1, \"a\" . \"b\"]\n", i, i, i);
      lines += 1;
    }
    text += buf;
  }
  return text;
}

}  // namespace

int main() {
  constexpr int k_lines = 20000;
  std::string text = generate(k_lines);
  std::vector<double> seconds;
  for (int run = 0; run < 7; run++) {
    kiln::engine::engine e;
    kiln::engine::engine_init(&e, 0);
    kiln::front::rule_list rules;
    kiln::front::parse_context ctx;
    ctx.eng = &e;
    ctx.rules = &rules;
    ctx.file_name = "Kilnfile";
    auto start = std::chrono::steady_clock::now();
    int rc = kiln::front::parse_text(text, ctx);
    auto stop = std::chrono::steady_clock::now();
    kiln::engine::engine_free(&e);
    if (rc != 0) {
      fprintf(stderr, "parse failed\n");
      return 1;
    }
    seconds.push_back(std::chrono::duration<double>(stop - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  double median = seconds[seconds.size() / 2];
  printf("parse %d lines (%zu bytes): min %.2f ms, median %.2f ms, %.0f lines/s (median)\n",
         k_lines, text.size(), seconds.front() * 1e3, median * 1e3, k_lines / median);
  return 0;
}
