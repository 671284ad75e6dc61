// The name of a table's production index file. Live files are looked up whatever the case of
// their names (FilesNamedNoCase, platform/Files.h): on this case-sensitive platform orders.dbf
// and ORDERS.MDX still belong together, as they do for the legacy application.
#pragma once

#include <string>

namespace ari {

// The index file name of a table file name: the name without its extension (everything from
// the last full stop on) followed by ".mdx" in lower case. "ORDERS.DBF" gives "ORDERS.mdx".
std::string IndexFileName(const std::string& tableFileName);

}  // namespace ari
