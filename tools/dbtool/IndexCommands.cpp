#include "tools/dbtool/IndexCommands.h"

#include <iostream>

#include "engine/EngineErrors.h"
#include "engine/TTable.h"
#include "engine/check/TableCheck.h"
#include "engine/format/MdxFormat.h"
#include "engine/index/MdxFile.h"
#include "engine/index/MdxTable.h"
#include "engine/table/DbfFile.h"
#include "engine/table/TableFiles.h"
#include "platform/Files.h"

using namespace ari::engine;

namespace ari::tools {

namespace {

const MdxTag& FindTag(const MdxFile& index, const std::string& name) {
    for (const auto& t : index.Tags()) {
        if (EqualsNoCase(t.name, name))
            return t;
    }
    throw EDBEngineError(mdx::kStatusIndexFault,
                         {"Index file " + index.Path() + " has no tag " + name + "."});
}

}  // namespace

int TagsCommand(const std::vector<std::string>& args) {
    const auto table = DbfFile::Open(args.at(0), ShareMode::Shared);
    const std::string path = ProductionIndexPathOf(*table);
    if (path.empty()) {
        std::cout << "No production index.\n";
        return 0;
    }
    const MdxFile index(path);
    for (const auto& t : index.Tags()) {
        std::cout << t.name << "\t" << static_cast<char>(t.keyType) << "\t" << t.keyLength << "\t"
                  << t.expression;
        if (t.unique)
            std::cout << "\tUNIQUE";
        if (t.descending)
            std::cout << "\tDESCENDING";
        if (!t.forExpression.empty())
            std::cout << "\tFOR " << t.forExpression;
        std::cout << "\n";
    }
    return 0;
}

int KeysCommand(const std::vector<std::string>& args) {
    if (args.size() < 2)
        throw Exception("keys needs a table and a tag name");
    const auto table = DbfFile::Open(args.at(0), ShareMode::Shared);
    const std::string path = ProductionIndexPathOf(*table);
    if (path.empty())
        throw Exception("Table " + args.at(0) + " has no production index.");
    const MdxFile index(path);
    const MdxTag& tag = FindTag(index, args.at(1));
    std::string line;
    index.Walk(tag, [&](const uint8_t* key, uint32_t recno) {
        line = std::to_string(recno);
        line += '\t';
        line += KeyDisplayText(tag.keyType, key, tag.keyLength);
        line += '\n';
        std::cout << line;
    });
    return 0;
}

int IndexCommand(const std::vector<std::string>& args, const CommandOptions& options) {
    if (args.size() != 3)
        throw Exception("index needs a table, a tag name and a key expression");
    TIndexOptions tagOptions = ixExpression;
    if (options.count("--unique"))
        tagOptions |= static_cast<TIndexOptions>(TIndexOption::ixUnique);
    if (options.count("--descending"))
        tagOptions |= static_cast<TIndexOptions>(TIndexOption::ixDescending);
    const auto condition = options.find("--for");
    if (condition != options.end() && condition->second.find_first_not_of(' ') == std::string::npos)
        throw Exception("the FOR condition is empty");
    const std::string& path = args.at(0);
    TTable t("dbtool");
    t.SetDatabaseName(ExtractFilePath(path).empty() ? "./" : ExtractFilePath(path));
    t.SetTableName(ExtractFileName(path));
    t.AddIndex(args.at(1), args.at(2), tagOptions, std::string(),
               condition == options.end() ? std::string() : condition->second);
    std::cout << "Added tag " << args.at(1) << " to " << path << "\n";
    return 0;
}

}  // namespace ari::tools
