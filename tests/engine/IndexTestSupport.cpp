#include "tests/engine/IndexTestSupport.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "engine/check/TableCheck.h"
#include "engine/expr/Expr.h"
#include "engine/expr/KeyCollation.h"
#include "engine/format/MdxFormat.h"
#include "engine/index/MdxFile.h"
#include "engine/table/DbfFile.h"
#include "engine/table/TableFiles.h"
#include "tests/engine/EngineTestSupport.h"

using namespace ari::engine;

namespace ari::test {

std::string MakeTable(const std::string& path, const std::vector<FieldDef>& fields,
                      const std::vector<Row>& rows, uint8_t language) {
    DbfWriter w(path, fields, 0x03, language);
    for (const auto& r : rows)
        w.Append(r.values, r.deleted);
    w.Finish();
    return path;
}

std::vector<IndexEntry> WalkTag(const std::string& tablePath, const std::string& tag) {
    const std::string mdx = FindCompanion(tablePath, ".mdx");
    if (mdx.empty())
        throw std::runtime_error("no index file beside " + tablePath);
    const MdxFile index(mdx);
    for (const auto& t : index.Tags()) {
        if (t.name != tag)
            continue;
        std::vector<IndexEntry> out;
        index.Walk(t, [&](const uint8_t* key, uint32_t recno) {
            out.push_back(IndexEntry{recno, KeyDisplayText(t.keyType, key, t.keyLength)});
        });
        return out;
    }
    throw std::runtime_error("no tag " + tag);
}

std::vector<uint32_t> RecordOrder(const std::vector<IndexEntry>& entries) {
    std::vector<uint32_t> order;
    for (const auto& e : entries)
        order.push_back(e.recno);
    return order;
}

std::vector<IndexEntry> ModelOrder(const std::string& tablePath, const std::string& expression,
                                   const std::string& condition, bool unique, bool descending) {
    const auto table = DbfFile::OpenHeld(tablePath);
    const Expression key = Expression::Parse(expression, table->Fields());
    std::unique_ptr<Expression> filter;
    if (!condition.empty())
        filter = std::make_unique<Expression>(Expression::Parse(condition, table->Fields()));
    const KeyType type = key.KeyTypeOf();
    const uint8_t* weights = CollationWeights(table->LanguageDriver());
    const uint8_t* bytes = CollationBytes(table->LanguageDriver());
    const size_t len = key.KeyLength();
    struct Item {
        std::vector<uint8_t> key;
        double value;
        uint32_t recno;
    };
    std::vector<Item> items;
    for (uint32_t r = 1; r <= table->RecordCount(); ++r) {
        const std::string rec = table->ReadRecord(r);
        const RecordRef ref{reinterpret_cast<const uint8_t*>(rec.data()), rec.size(), r};
        if (filter && !filter->Test(ref))
            continue;
        Item it{std::vector<uint8_t>(len), 0, r};
        key.EvaluateKey(ref, it.key.data());
        if (weights && type == KeyType::Character) {
            for (auto& b : it.key)
                b = weights[b];  // compared by sort weight; mapped back below
        }
        if (type == KeyType::Numeric)
            it.value = NumericKeyValue(it.key.data());
        if (type == KeyType::Date)
            it.value = DateKeyValue(it.key.data());
        items.push_back(std::move(it));
    }
    auto keyLess = [&](const Item& a, const Item& b) {
        if (type == KeyType::Character)
            return a.key < b.key;
        return a.value < b.value;
    };
    std::sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
        const bool lt = descending ? keyLess(b, a) : keyLess(a, b);
        const bool gt = descending ? keyLess(a, b) : keyLess(b, a);
        if (lt != gt)
            return lt;
        return a.recno < b.recno;
    });
    std::vector<IndexEntry> out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (unique && i > 0 && !keyLess(items[i - 1], items[i]) && !keyLess(items[i], items[i - 1]))
            continue;
        std::vector<uint8_t> k = items[i].key;
        if (bytes && type == KeyType::Character) {
            for (auto& b : k)
                b = bytes[b];
        }
        out.push_back(IndexEntry{items[i].recno, KeyDisplayText(type, k.data(), len)});
    }
    return out;
}

int TreeLevels(const std::string& mdxPath, const std::string& tag) {
    const MdxFile index(mdxPath);
    for (const auto& t : index.Tags()) {
        if (t.name != tag)
            continue;
        int levels = 1;
        uint32_t page = t.root;
        std::vector<uint8_t> block;
        for (;;) {
            index.ReadBlock(page, block);
            const uint32_t n = GetLE32(block.data());
            const uint32_t trailing = GetLE32(block.data() + mdx::kNodeItems + n * t.itemLength);
            if (trailing == 0)
                return levels;
            page = GetLE32(block.data() + mdx::kNodeItems);
            ++levels;
        }
    }
    return 0;
}

std::string IndexFaults(const std::string& tablePath) {
    const auto table = DbfFile::OpenHeld(tablePath);
    return CheckProductionIndexStep(*table);
}

bool PerlIndexReaderAvailable() {
    return RunCommand("perl -MXBase::Index -e 1 2>/dev/null").exitCode == 0;
}

std::vector<std::string> PerlTags(const std::string& mdxPath) {
    const auto r = RunCommand(
        "perl -MXBase::Index -e 'my $i = XBase::Index->new($ARGV[0]) or die XBase::Index->errstr;"
        " print map { \"$_\\n\" } $i->tags' " +
        ShellQuote(mdxPath));
    if (r.exitCode != 0)
        throw std::runtime_error("XBase::Index could not list " + mdxPath);
    return SplitLines(r.output);
}

std::vector<uint32_t> PerlOrder(const std::string& mdxPath, const std::string& tag) {
    const auto r = RunCommand(
        "perl -MXBase::Index -e 'my $i = XBase::Index->new($ARGV[0], tag => $ARGV[1]) or die"
        " XBase::Index->errstr; $i->prepare_select or die $i->errstr;"
        " while (my @d = $i->fetch) { print \"$d[1]\\n\" }' " +
        ShellQuote(mdxPath) + " " + ShellQuote(tag));
    if (r.exitCode != 0)
        throw std::runtime_error("XBase::Index could not walk " + tag);
    std::vector<uint32_t> order;
    for (const auto& l : SplitLines(r.output))
        order.push_back(static_cast<uint32_t>(std::stoul(l)));
    return order;
}

std::vector<std::pair<std::string, uint32_t>> PerlEntries(const std::string& mdxPath,
                                                          const std::string& tag) {
    const auto r = RunCommand(
        "perl -MXBase::Index -e 'my $i = XBase::Index->new($ARGV[0], tag => $ARGV[1]) or die"
        " XBase::Index->errstr; $i->prepare_select or die $i->errstr;"
        " while (my @d = $i->fetch) { print unpack(\"H*\", $d[0]), \" $d[1]\\n\" }' " +
        ShellQuote(mdxPath) + " " + ShellQuote(tag));
    if (r.exitCode != 0)
        throw std::runtime_error("XBase::Index could not walk " + tag);
    std::vector<std::pair<std::string, uint32_t>> out;
    for (const auto& l : SplitLines(r.output)) {
        const size_t blank = l.find(' ');
        std::string bytes;
        for (size_t i = 0; i + 1 < blank; i += 2)
            bytes += static_cast<char>(std::stoi(l.substr(i, 2), nullptr, 16));
        out.emplace_back(bytes, static_cast<uint32_t>(std::stoul(l.substr(blank + 1))));
    }
    return out;
}

std::string TdbfProgram() {
    const std::string p = std::string(ARI_BIN_DIR) + "/../tests/mdxwalk";
    return std::filesystem::exists(p) ? p : std::string();
}

std::vector<std::string> TdbfRun(const std::string& tablePath, const std::string& tag) {
    const auto r =
        RunCommand("timeout 120 " + ShellQuote(TdbfProgram()) + " " + ShellQuote(tablePath) +
                   (tag.empty() ? std::string() : " " + ShellQuote(tag)));
    if (r.exitCode != 0)
        throw std::runtime_error("mdxwalk failed on " + tablePath);
    return SplitLines(r.output);
}

}  // namespace ari::test
