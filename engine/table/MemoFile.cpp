#include "engine/table/MemoFile.h"

#include <cerrno>
#include <cstring>

#include "engine/EngineStatus.h"
#include "engine/table/FileOps.h"
#include "engine/table/TableLock.h"
#include "platform/FileErrors.h"

namespace ari::engine {

namespace {
[[noreturn]] void MemoFault(const std::string& path, const std::string& what) {
    RaiseEngineError(kStatusMemoError, {"Memo file: " + path, what}, path, ErrorKind::Other);
}
}  // namespace

std::unique_ptr<MemoFile> MemoFile::Open(const std::string& path, MemoLayout layout) {
    // Non-blocking: a pipe under the name is refused, not waited on; a regular file ignores it.
    const FileHandle fd = OpenTableFile(path, kOpenRead | kOpenNonBlocking);
    if (fd < 0)
        MemoFault(path, FileErrorText(errno) + ".");
    std::unique_ptr<MemoFile> m(new MemoFile());
    try {
        m->Init(fd, true, path, layout);
    } catch (...) {
        if (m->fd_ < 0)
            Env::Default()->Close(fd);
        throw;
    }
    return m;
}

std::unique_ptr<MemoFile> MemoFile::FromDescriptor(FileHandle fd, const std::string& path,
                                                   MemoLayout layout) {
    std::unique_ptr<MemoFile> m(new MemoFile());
    m->Init(fd, false, path, layout);
    return m;
}

MemoFile::~MemoFile() {
    if (owned_ && fd_ >= 0)
        Env::Default()->Close(fd_);
}

void MemoFile::Init(FileHandle fd, bool owned, const std::string& path, MemoLayout layout) {
    path_ = path;
    layout_ = layout;
    FileInfo st;
    if (Env::Default()->Info(fd, &st) != 0)
        MemoFault(path, FileErrorText(errno) + ".");
    if (st.kind != NameKind::Regular)
        MemoFault(path, "It is not a regular file.");
    fd_ = fd;
    owned_ = owned;
    size_ = st.size;
    if (layout != MemoLayout::DBase3 && layout != MemoLayout::DBase4)
        MemoFault(path, "This memo layout is not supported.");
    uint8_t head[24] = {};
    if (ReadAt(fd_, 0, head, sizeof head, path_) < sizeof head)
        MemoFault(path, "The file is shorter than a memo file header (" + std::to_string(size_) +
                            " bytes).");
    nextFree_ = GetLE32(head + dbt::kNextFreeBlock);
    if (layout == MemoLayout::DBase4) {
        const uint32_t bs = GetLE16(head + dbt::kBlockSize4);
        // 0 in some writers' files means the classic 512.
        blockSize_ = bs == 0 ? dbt::kBlockSize3 : bs;
        if (blockSize_ < 64 || blockSize_ % 64 != 0)
            MemoFault(path,
                      "Block size " + std::to_string(bs) + " is not a valid memo block size.");
    }
}

std::string MemoFile::Read(uint32_t block) const {
    const std::string where = "Memo block " + std::to_string(block);
    if (block == 0)
        MemoFault(path_, where + " is the header block, not a memo.");
    const uint64_t offset = static_cast<uint64_t>(block) * blockSize_;
    if (offset >= size_)
        MemoFault(path_, where + " lies past the end of the memo file (" + std::to_string(size_) +
                             " bytes).");
    if (layout_ == MemoLayout::DBase4) {
        uint8_t mh[dbt::kMemoHeaderSize4];
        if (ReadAt(fd_, offset, mh, sizeof mh, path_) < sizeof mh)
            MemoFault(path_, where + " is cut off by the end of the file.");
        if (std::memcmp(mh, dbt::kMemoSignature4, 2) != 0)
            MemoFault(path_, where + " does not start a memo.");
        const uint32_t len = GetLE32(mh + 4);
        if (len < dbt::kMemoHeaderSize4 || offset + len > size_)
            MemoFault(path_, where + " has the length " + std::to_string(len) +
                                 ", which runs past the end of the memo file.");
        std::string data(len - dbt::kMemoHeaderSize4, '\0');
        ReadAt(fd_, offset + dbt::kMemoHeaderSize4, data.data(), data.size(), path_);
        return data;
    }
    // dBASE III: read block by block up to the 1A 1A terminator or the end of the file.
    std::string data;
    uint64_t pos = offset;
    char buf[dbt::kBlockSize3];
    while (pos < size_) {
        const size_t n = ReadAt(fd_, pos, buf, sizeof buf, path_);
        if (n == 0)
            break;
        const size_t before = data.size();
        data.append(buf, n);
        const size_t from = before > 0 ? before - 1 : 0;
        for (size_t i = from; i + 1 < data.size(); ++i)
            if (static_cast<uint8_t>(data[i]) == dbt::kTerminator3 &&
                static_cast<uint8_t>(data[i + 1]) == dbt::kTerminator3) {
                data.resize(i);
                return data;
            }
        pos += n;
    }
    // No double terminator: a single trailing 0x1A (older writers) still ends the text.
    const auto one = data.find(static_cast<char>(dbt::kTerminator3));
    if (one != std::string::npos)
        data.resize(one);
    return data;
}

}  // namespace ari::engine
