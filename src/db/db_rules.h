// Bringing the cmd DB up to date from the rules of this run, the first
// step of every database write.
#pragma once

namespace kiln::db {

// In rule order: a rule whose recipe ran and completed successfully
// (`ran`) gets a new entry for each of its targets, with the rule's
// directory and commands, replacing the old one (which moves it to the end
// of the list); a rule that was `started` but did not complete has each of
// its targets' entries removed (-d: "removing %s from DB"). Other rules
// leave their entries alone, so targets not considered in this run keep
// their history. Returns 0, or -12 when an entry cannot be allocated.
int update_cmd_db_from_rules();

}  // namespace kiln::db
