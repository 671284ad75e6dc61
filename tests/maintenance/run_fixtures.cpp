#include "tests/maintenance/run_fixtures.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

#include <fstream>

#include "engine/TTable.h"
#include "engine/table/DbfFile.h"
#include "platform/Exception.h"

namespace ari::test {

namespace {

constexpr uint32_t kBlock = 512;

std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
        s.pop_back();
    size_t start = 0;
    while (start < s.size() && s[start] == ' ')
        ++start;
    return s.substr(start);
}

}  // namespace

std::vector<FixtureRow> StandardRows() {
    return {
        {"1", "alpha", "first note", false},
        {"2", "beta", "note of a deleted row", true},
        {"3", "gamma", std::string(1300, 'g') + " spans three blocks", false},
        {"4", "delta", "", true},
        {"5", "epsilon", "", false},
    };
}

std::vector<FixtureRow> Surviving(const std::vector<FixtureRow>& rows) {
    std::vector<FixtureRow> out;
    for (const FixtureRow& r : rows)
        if (!r.deleted)
            out.push_back(r);
    return out;
}

void MakeTable(const std::string& path, const std::vector<FixtureRow>& rows,
               uint8_t productionIndexFlag, uint8_t languageDriver) {
    using ari::engine::FieldDef;
    std::vector<FieldDef> fields = {
        {"ID", 'N', 5, 0, 0},
        {"NAME", 'C', 20, 0, 0},
        {"NOTE", 'M', 10, 0, 0},
    };
    // dBASE III memo file: block 0 holds the next free block; each memo starts on a block of
    // its own and ends with 1A 1A.
    std::string dbt(kBlock, '\0');
    std::vector<std::string> pointers;
    for (const FixtureRow& r : rows) {
        if (r.note.empty()) {
            pointers.push_back("");
            continue;
        }
        const uint32_t block = static_cast<uint32_t>(dbt.size() / kBlock);
        pointers.push_back(std::to_string(block));
        std::string memo = r.note + "\x1a\x1a";
        memo.resize((memo.size() + kBlock - 1) / kBlock * kBlock, '\0');
        dbt += memo;
    }
    const uint32_t next = static_cast<uint32_t>(dbt.size() / kBlock);
    for (int i = 0; i < 4; ++i)
        dbt[static_cast<size_t>(i)] = static_cast<char>(next >> (8 * i));

    ari::engine::DbfWriter writer(path, fields, 0x83, languageDriver);
    writer.SetHeaderByte(28, productionIndexFlag);
    for (size_t i = 0; i < rows.size(); ++i) {
        std::string pointer = pointers[i];
        if (!pointer.empty())
            pointer = std::string(10 - pointer.size(), ' ') + pointer;
        writer.Append({rows[i].id, rows[i].name, pointer}, rows[i].deleted);
    }
    writer.Finish();
    const std::string dbtPath = path.substr(0, path.rfind('.')) + ".dbt";
    std::ofstream out(dbtPath, std::ios::binary | std::ios::trunc);
    out.write(dbt.data(), static_cast<std::streamsize>(dbt.size()));
}

std::vector<FixtureRow> ReadRows(const std::string& path) {
    std::vector<FixtureRow> out;
    try {
        auto file = ari::engine::DbfFile::Open(path, ari::engine::ShareMode::Shared);
        const auto& fields = file->Fields();
        for (uint32_t n = 1; n <= file->RecordCount(); ++n) {
            const std::string rec = file->ReadRecord(n);
            if (rec[0] == '*')
                continue;
            const auto* bytes = reinterpret_cast<const uint8_t*>(rec.data());
            FixtureRow row;
            row.id = Trimmed(rec.substr(fields[0].offset, fields[0].length));
            row.name = Trimmed(rec.substr(fields[1].offset, fields[1].length));
            row.note = file->ReadMemoField(bytes, fields[2]);
            out.push_back(row);
        }
    } catch (const Exception& e) {
        ADD_FAILURE() << path << ": " << e.Message();
    }
    return out;
}

uint32_t RecordCount(const std::string& path) {
    try {
        return ari::engine::DbfFile::Open(path, ari::engine::ShareMode::Shared)->RecordCount();
    } catch (const Exception& e) {
        ADD_FAILURE() << path << ": " << e.Message();
        return 0;
    }
}

bool operator==(const FixtureRow& a, const FixtureRow& b) {
    return a.id == b.id && a.name == b.name && a.note == b.note;
}

ForeignLock::ForeignLock(const std::string& path, char type, uint64_t start, uint64_t length) {
    fd_ = open(path.c_str(), (type == 'w' ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    EXPECT_GE(fd_, 0) << "cannot open " << path;
    struct flock l;
    std::memset(&l, 0, sizeof l);
    l.l_type = type == 'w' ? F_WRLCK : F_RDLCK;
    l.l_whence = SEEK_SET;
    l.l_start = static_cast<off_t>(start);
    l.l_len = static_cast<off_t>(length);
    EXPECT_EQ(fcntl(fd_, F_OFD_SETLK, &l), 0) << "cannot lock " << path;
}

ForeignLock::~ForeignLock() {
    if (fd_ >= 0)
        close(fd_);
}

RecordedLog::RecordedLog()
    : subscription_([this](const std::string& line, bool clearFirst) {
          if (clearFirst)
              lines_.clear();
          lines_.push_back(line);
      }) {}

std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

HeldByChild::HeldByChild(const std::string& folder, const std::string& table) {
    int ready[2];
    if (pipe(ready) != 0)
        return;
    child_ = fork();
    if (child_ == 0) {
        close(ready[0]);
        try {
            TTable held("Held");
            held.SetDatabaseName(folder);
            held.SetTableName(table);
            held.Open();
            const char ok = 1;
            if (write(ready[1], &ok, 1) != 1)
                _exit(2);
            for (;;)
                pause();
        } catch (...) {
            _exit(3);
        }
    }
    close(ready[1]);
    char ok = 0;
    holding_ = child_ > 0 && read(ready[0], &ok, 1) == 1;
    close(ready[0]);
}

void HeldByChild::Release() {
    if (child_ > 0) {
        kill(child_, SIGKILL);
        waitpid(child_, nullptr, 0);
        child_ = -1;
    }
}

}  // namespace ari::test
