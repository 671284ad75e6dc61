// Fuzz entry over the table readers: the .dbf header parser and record scanner, the memo
// readers of both layouts, and the Paradox header parser. Every input must end in a parsed
// table or an EDBEngineError: never a crash, a hang or a huge allocation.
// Input layout: byte 0 picks the memo layout, bytes 1-2 the length of the table part; the table
// bytes follow and the rest is the memo file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/EngineErrors.h"
#include "engine/format/ParadoxFormat.h"
#include "engine/table/DbfFile.h"
#include "engine/table/MemoFile.h"

namespace {

// An in-memory file: the readers work on descriptors.
class MemFile {
  public:
    explicit MemFile(std::string_view bytes) : fd_(::memfd_create("fuzz", MFD_CLOEXEC)) {
        if (fd_ >= 0 && !bytes.empty() &&
            ::write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~MemFile() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int Fd() const { return fd_; }

  private:
    int fd_;
};

void ReadTable(std::string_view table, std::string_view memo, bool dbase4) {
    using namespace ari::engine;
    MemFile tf(table), mf(memo);
    if (tf.Fd() < 0 || mf.Fd() < 0)
        return;
    std::unique_ptr<MemoFile> memoFile;
    try {
        memoFile = MemoFile::FromDescriptor(mf.Fd(), "fuzz.dbt",
                                            dbase4 ? MemoLayout::DBase4 : MemoLayout::DBase3);
    } catch (const EDBEngineError&) {
    }
    try {
        const auto f = DbfFile::FromDescriptor(tf.Fd(), "fuzz.dbf");
        DbfFile::Scanner scan(*f, 4096);
        uint32_t n = 0;
        while (const uint8_t* r = scan.Next()) {
            if (++n > 100000)
                break;
            RecordLooksPlausible(r, f->Header());
            for (const auto& fd : f->Fields()) {
                if (fd.type != 'M' || !memoFile)
                    continue;
                uint32_t block = 0;
                if (!ParseMemoPointer(
                        std::string_view(reinterpret_cast<const char*>(r) + fd.offset, fd.length),
                        block) ||
                    block == 0)
                    continue;
                try {
                    memoFile->Read(block);
                } catch (const EDBEngineError&) {
                }
            }
        }
        if (f->RecordCount() > 0)
            f->ReadRecord(f->RecordCount());
    } catch (const EDBEngineError&) {
    }
    try {
        ParseParadoxHeader(table, table.size(), "fuzz.db");
    } catch (const EDBEngineError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return 0;
    const bool dbase4 = data[0] & 1;
    size_t tableSize = static_cast<size_t>(data[1] | (data[2] << 8));
    const std::string_view rest(reinterpret_cast<const char*>(data) + 3, size - 3);
    if (tableSize > rest.size())
        tableSize = rest.size();
    ReadTable(rest.substr(0, tableSize), rest.substr(tableSize), dbase4);
    return 0;
}
