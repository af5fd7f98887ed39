#include "exec/progress.h"

#include <unistd.h>

#include <cstdio>

#include "base/settings.h"

namespace kiln::exec {

namespace {

bool g_shown = false;
size_t g_total = 0;
size_t g_started = 0;

}  // namespace

void progress_init() {
  g_shown = isatty(1) && !cfg.silent;
  g_total = g_started = 0;
}

void progress_rule_queued() { g_total++; }

std::string progress_prefix(bool first) {
  if (!g_shown) return std::string();
  if (first) g_started++;
  char text[48];
  snprintf(text, sizeof text, "[%zu/%zu] ", g_started, g_total);
  return text;
}

}  // namespace kiln::exec
