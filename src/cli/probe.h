// Probe parses of the directory search: what an ancestor's Kilnfile says
// about the directory kiln was started in.
#pragma once

#include <string>

namespace kiln::cli {

struct probe_result {
  bool ok = false;                // the probe parse succeeded
  bool declared_subfile = false;  // the file said @subfile (else @toplevel or nothing)
  bool top_marker = false;        // it includes the invocation directory's Kilnfile
  bool project_marker = false;    // ... without crossing a @projdirinclude
};

// Probe-parses "Kilnfile" in the current directory with a temporary script
// engine. description_path is the real path of the invocation directory's
// Kilnfile. With declaration_only the parse stops after the file's
// @toplevel or @subfile: only declared_subfile is then meaningful.
probe_result probe_kilnfile(const std::string& description_path, bool declaration_only = false);

}  // namespace kiln::cli
