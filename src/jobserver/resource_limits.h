// Limits on the process and its children: the load-average limit that
// holds back new children, and the core-file size limit set at start-up.
#pragma once

namespace kiln::jobserver {

// Core files are capped at this size (256 MiB), or the hard limit when lower.
constexpr long long k_core_limit = 268435456;

// Whether the load average allows another child: always when the limit
// (cfg.load_limit) is 1e100 or more; otherwise when the one-minute load
// can be read and is not above the limit.
bool load_ok();

// Sets the soft core-file limit to the smaller of the hard limit and
// k_core_limit. A failure prints "can't getrlimit" or "can't setrlimit"
// with the system's reason and exits with status 2.
void set_core_limit();

}  // namespace kiln::jobserver
