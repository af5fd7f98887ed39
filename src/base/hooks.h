// The calls that go up the folders: a lower folder that needs something
// only a higher one has calls it through this record, and the higher
// folder fills it in as it comes up (cli at start-up, the test fixtures
// where they need a member). Every member may be null; each says what its
// caller then does. Types of higher folders are only declared here.
//
// The signal flags below are the one other thing shared upwards: cli's
// handlers set them and the build loop reads them.
#pragma once

#include <csignal>
#include <string>

namespace kiln::engine {
struct engine;
}  // namespace kiln::engine

namespace kiln::graph {
struct rule;
}  // namespace kiln::graph

namespace kiln {

struct hooks {
  // The steps of the fatal exit that belong to later subsystems, called by
  // diag::vfatal in this order; null steps are skipped.
  // jobserver (install_fifo_hook): removes an owned jobserver FIFO.
  void (*remove_fifo)() = nullptr;
  // sched (install_reap_hook): waits for every running child.
  void (*reap_children)() = nullptr;
  // db (db_install_write_back_hook): writes the database back; nonzero on
  // failure.
  int (*write_back_db)() = nullptr;
  // cli (start_engine): frees the script engine's large areas; called by
  // diag::internal_error before the abort.
  void (*release_engine)() = nullptr;

  // cli (start_engine), with front's recipe evaluation in the process's
  // engine: evaluates a rule's recipe into r->commands and r->n_commands.
  // Returns 0, or a negative code with the error text in *error and the
  // engine's details in *details. Called by sched's do_exec and cli's
  // tools; null: the commands are taken as they are.
  int (*evaluate_recipe)(graph::rule* r, std::string* error, std::string* details) = nullptr;

  // front (install_rule_builtins), which owns the rule list while parsing:
  // the built-ins @adddeps (opcode 66) and @addrule (67), called by ext's
  // extension hook; null: the opcode is an unknown instruction.
  int (*adddeps)(engine::engine* e) = nullptr;
  int (*addrule)(engine::engine* e) = nullptr;

  // front (install_scope_directories): the directories of the engine's
  // current scope relative to the top directory and to the project
  // directory, asked by ext's built-ins; null: both are ".".
  void (*scope_directories)(engine::engine* e, std::string* top_relative,
                            std::string* project_relative) = nullptr;

  // cli (install_front_hooks), which holds the revision table: whether a
  // 40-digit hexadecimal text names a revision compatible with this build.
  // Asked by front's @version; null: no revision is known.
  bool (*is_known_revision)(const char* text) = nullptr;
};

// The hooks in force.
extern hooks up;

// Set by cli's SIGTERM, SIGINT and SIGHUP handlers; the build loop checks
// them after every select and forwards the signal to its children.
extern volatile sig_atomic_t got_sigterm, got_sigint, got_sighup;

}  // namespace kiln
