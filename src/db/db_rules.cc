#include "db/db_rules.h"

namespace kiln::db {

void update_cmd_db_from_rules() {}

}  // namespace kiln::db
