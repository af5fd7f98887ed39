// The build database ".kiln.db": opened and locked at start-up, read
// whole into the cmd DB and the tssz DB (db/db_tables.h), and replaced as
// a whole when kiln exits.
//
// Lifecycle: opened and locked (db_open) -> loaded (db_load) -> entries
// read and updated during the build -> written and closed at exit
// (db_write_back). The file on disk keeps the previous run's content until
// a complete new one replaces it: the new content goes to ".kiln.db.new"
// in the same directory, is flushed to the disk and renamed over the old
// file, so a kill, a crash or a power cut at any moment leaves either the
// old or the new database, never a partial one. A run that changed
// nothing leaves the file as it was.
//
// The exclusive fcntl write lock keeps a second kiln from building in the
// same tree. It is held on the file from db_open, and on the new file from
// before the rename, until the process ends. A kiln that opened the old
// file just before the rename and locks it just after finds that the name
// now stands for another file, and tries again.
#pragma once

#include <cstddef>

namespace kiln::db {

// Name of the database file in the top directory.
constexpr const char* k_db_file_name = ".kiln.db";

// Opens the database file (created if missing) and locks it. Remembers
// whether it existed and its absolute path, so a later removal does not
// depend on the current directory. Failures print "kiln: *** Can't open
// DB. Exiting.", "... Can't get DB fileno. ..." or "... Can't lock DB.
// Other kiln running? ..." on standard error and exit with status 2.
void db_open(const char* path = k_db_file_name);

// Name of the file a new database is written to before it replaces the
// old one.
constexpr const char* k_db_new_suffix = ".new";

// Marks the database loaded, creates both tables with the bucket counts of
// kiln::cfg and reads the file. A syntax error (a malformed escape among
// them, reported with the file and line first) prints "kiln: ***
// Incompatible DB version. Truncating." and empties both tables; the file
// is then rewritten at exit.
void db_load();

// Brings the cmd DB up to date from the rules of this run and, when that
// or anything else changed the tables (or the file is in another version
// or was unreadable), replaces the file with the database in the given
// version (1 or 2); then closes it. An empty database whose file did not
// exist before is removed instead. Skipped under -q. Returns 0, or -1 when
// the new file cannot be written or put in place (the old one stays).
int db_write(int version);

// The exit paths' routine: writes the database when it was loaded (version
// 1 when the version setting says so, else 2); otherwise removes the file
// when both tables are empty and it did not exist before this run.
// Returns nonzero on failure. Safe to call more than once.
int db_write_back();

// Brings the cmd DB up to date from the rules of this run, in rule order:
// a rule whose recipe ran and completed successfully (`ran`) gets a new
// entry for each of its targets, with the rule's directory and commands,
// replacing the old one (which moves it to the end of the list); a rule
// that was `started` but did not complete has each of its targets'
// entries removed (-d: "removing %s from DB"). Other rules leave their
// entries alone, so targets not considered in this run keep their history.
// The first step of db_write. Returns 0, or -12 when an entry cannot be
// allocated.
int update_cmd_db_from_rules();

// Installs db_write_back as the fatal exit's database hook.
void db_install_write_back_hook();

// Descriptor of the open database, or -1; every child closes it.
int db_fileno();

// Whether the database contents were loaded in this run.
bool db_is_loaded();

// Whether the file existed before this run opened it.
bool db_existed_before();

// Prints the statistics lines "  dbe: %zu %zu" and "  tsdbe: %zu %zu"
// (entries and bytes) on standard output.
void db_print_statistics();

// Whether db_write would replace the file now: the tables changed since
// they were read, or the file must be rewritten in another form.
bool db_needs_write(int version);

// Closes the stream without writing and forgets every entry and flag;
// for tests and tools that open several databases in one process.
void db_reset();

}  // namespace kiln::db
