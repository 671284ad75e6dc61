// Names of a table's production index file and the lookup of live files whatever the case of
// their names: on this case-sensitive platform orders.dbf and ORDERS.MDX still belong together,
// as they do for the legacy application.
#pragma once

#include <string>
#include <vector>

namespace ari {

// The index file name of a table file name: the name without its extension (everything from
// the last full stop on) followed by ".mdx" in lower case. "ORDERS.DBF" gives "ORDERS.mdx".
std::string IndexFileName(const std::string& tableFileName);

// The names of the regular files in `folder` equal to `name` without regard to case, the
// exact spelling first. REQUIRES: `folder` ends in the separator.
std::vector<std::string> FilesNamedNoCase(const std::string& folder, const std::string& name);

}  // namespace ari
