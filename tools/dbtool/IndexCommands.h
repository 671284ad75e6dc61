// dbtool's production index commands: listing tags, printing a tag's keys in index order,
// adding a tag (the index step of "check" is the engine's: engine/check/TableCheck.h).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace ari::tools {

// "tags TABLE": one line per tag in tag-table order.
int TagsCommand(const std::vector<std::string>& args);
// "keys TABLE TAG": record number and key of every entry, in index order.
int KeysCommand(const std::vector<std::string>& args);
// The options given to a command, by name: "--unique" -> "", "--for" -> its value.
using CommandOptions = std::map<std::string, std::string>;

// "index TABLE NAME EXPRESSION [--for COND] [--unique] [--descending]": adds a tag to the
// table's production index, with the FOR condition, unique and descending when given. Throws
// Exception for an empty FOR condition, and the engine's errors.
int IndexCommand(const std::vector<std::string>& args, const CommandOptions& options);

}  // namespace ari::tools
