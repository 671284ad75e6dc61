#include "engine/table/DbfFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "engine/EngineStatus.h"
#include "engine/table/FileOps.h"
#include "engine/table/TableFiles.h"
#include "platform/FileErrors.h"
#include "platform/Files.h"

namespace ari::engine {

namespace {
[[noreturn]] void RaiseOpenFailure(uint16_t status, int err, const std::string& path) {
    if (err == ENOENT)
        RaiseTableError(kStatusTableNotFound, path);
    RaiseFileError(status, path, {FileErrorText(err) + "."});
}

char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
}  // namespace

const std::vector<std::string>& DbaseCompanionExtensions() {
    static const std::vector<std::string> exts{kMemoExtension, kProductionIndexExtension};
    return exts;
}

void TodayForHeader(uint8_t ymd[3]) {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    Env::Default()->LocalTime(static_cast<int64_t>(now), &tm);
    ymd[0] = static_cast<uint8_t>(std::clamp(tm.tm_year, 0, 255));
    ymd[1] = static_cast<uint8_t>(tm.tm_mon + 1);
    ymd[2] = static_cast<uint8_t>(tm.tm_mday);
}

// ---- DbfFile

std::unique_ptr<DbfFile> DbfFile::Open(const std::string& path, ShareMode mode) {
    if (FolderExists(path))
        RaiseTableError(kStatusNotATableFile, path, {"It is a folder."});
    auto lease = TableLease::Acquire(path,
                                     mode == ShareMode::Exclusive
                                         ? FindCompanions(path, DbaseCompanionExtensions())
                                         : std::vector<std::string>{},
                                     mode);
    auto file = OpenHeld(path, mode == ShareMode::Exclusive);
    file->lease_ = std::move(lease);
    return file;
}

std::unique_ptr<DbfFile> DbfFile::OpenHeld(const std::string& path, bool writable) {
    // Non-blocking: a pipe under the name is refused, not waited on; a regular file ignores it.
    const FileHandle fd =
        OpenTableFile(path, (writable ? kOpenReadWrite : kOpenRead) | kOpenNonBlocking);
    if (fd < 0)
        RaiseOpenFailure(kStatusReadError, errno, path);
    std::unique_ptr<DbfFile> file(new DbfFile());
    file->writable_ = writable;
    try {
        file->Load(fd, true, path);
    } catch (...) {
        if (file->fd_ < 0)
            Env::Default()->Close(fd);
        throw;
    }
    return file;
}

std::unique_ptr<DbfFile> DbfFile::FromDescriptor(FileHandle fd, const std::string& path) {
    std::unique_ptr<DbfFile> file(new DbfFile());
    file->Load(fd, false, path);
    return file;
}

DbfFile::~DbfFile() {
    memo_.reset();
    if (owned_ && fd_ >= 0)
        Env::Default()->Close(fd_);
}

void DbfFile::Load(FileHandle fd, bool owned, const std::string& path) {
    path_ = path;
    FileInfo st;
    if (Env::Default()->Info(fd, &st) != 0)
        RaiseOpenFailure(kStatusReadError, errno, path);
    if (st.kind == NameKind::Folder)
        RaiseTableError(kStatusNotATableFile, path, {"It is a folder."});
    if (st.kind != NameKind::Regular)
        RaiseTableError(kStatusNotATableFile, path, {"It is not a regular file."});
    fd_ = fd;
    owned_ = owned;
    fileSize_ = st.size;

    std::string head(dbf::kHeaderSize, '\0');
    head.resize(ReadAt(fd_, 0, head.data(), head.size(), path_));
    const uint16_t claimed = ClaimedHeaderLength(head);
    if (claimed > head.size() && claimed <= fileSize_) {
        head.resize(claimed);
        head.resize(ReadAt(fd_, 0, head.data(), head.size(), path_));
    }
    header_ = ParseDbfHeader(head, fileSize_, path_);

    // Count rule: the header count unless the file cannot hold it (then what the file holds);
    // records beyond the count are kept only when every one of them is plausible.
    const uint32_t physical = PhysicalRecordCount(header_, fileSize_);
    recordCount_ = std::min(header_.recordCount, physical);
    if (physical > header_.recordCount) {
        recordCount_ = physical;
        std::vector<uint8_t> rec(header_.recordLength);
        for (uint32_t n = header_.recordCount + 1; n <= physical; ++n) {
            ReadRecord(n, rec.data());
            if (!RecordLooksPlausible(rec.data(), header_)) {
                recordCount_ = header_.recordCount;
                break;
            }
        }
    }
}

int DbfFile::FieldIndex(const std::string& name) const {
    for (size_t i = 0; i < header_.fields.size(); ++i)
        if (EqualsNoCase(header_.fields[i].name, name))
            return static_cast<int>(i);
    return -1;
}

void DbfFile::ReadRecord(uint32_t recno, uint8_t* buf) const {
    if (recno == 0 || recno > std::max(recordCount_, PhysicalRecordCount(header_, fileSize_)))
        RaiseTableError(kStatusInvalidParameter, path_,
                        {"Record " + std::to_string(recno) + " does not exist (the table has " +
                         std::to_string(recordCount_) + " records)."});
    const uint64_t off =
        header_.headerLength + static_cast<uint64_t>(recno - 1) * header_.recordLength;
    if (ReadAt(fd_, off, buf, header_.recordLength, path_) < header_.recordLength)
        RaiseTableError(kStatusReadError, path_,
                        {"Record " + std::to_string(recno) + " is cut off."});
}

std::string DbfFile::ReadRecord(uint32_t recno) const {
    std::string s(header_.recordLength, '\0');
    ReadRecord(recno, reinterpret_cast<uint8_t*>(s.data()));
    return s;
}

DbfFile::Scanner::Scanner(const DbfFile& file, size_t bufferBytes) : file_(file) {
    const size_t rl = file.RecordLength();
    // No larger than the records need: a small table's scan does not clear megabytes.
    perRead_ = std::max<size_t>(
        1, std::min<size_t>(bufferBytes / rl, std::max<uint32_t>(file.RecordCount(), 1)));
    buf_.resize(perRead_ * rl);
}

const uint8_t* DbfFile::Scanner::Next() {
    const size_t rl = file_.RecordLength();
    if (pos_ >= inBuf_) {
        if (loaded_ >= file_.RecordCount())
            return nullptr;
        const size_t want = std::min<size_t>(perRead_, file_.RecordCount() - loaded_);
        const uint64_t off = file_.HeaderLength() + static_cast<uint64_t>(loaded_) * rl;
        const size_t got = ReadAt(file_.fd_, off, buf_.data(), want * rl, file_.path_);
        inBuf_ = got / rl;
        pos_ = 0;
        if (inBuf_ == 0)
            RaiseTableError(kStatusReadError, file_.path_,
                            {"Record " + std::to_string(loaded_ + 1) + " is cut off."});
        loaded_ += static_cast<uint32_t>(inBuf_);
    }
    ++recno_;
    return buf_.data() + (pos_++) * rl;
}

std::string DbfFile::MemoPath() const {
    if (header_.memoLayout == MemoLayout::FoxPro)
        return FindCompanion(path_, kFoxProMemoExtension);
    return FindCompanion(path_, kMemoExtension);
}

const MemoFile* DbfFile::Memo() const {
    if (memoLoaded_)
        return memo_.get();
    memoLoaded_ = true;
    if (header_.family != DbfFamily::DBase)
        return nullptr;
    const std::string memoPath = MemoPath();
    const bool needed = header_.HasMemoFields();
    if (memoPath.empty()) {
        if (needed)
            RaiseTableError(
                kStatusMemoError, path_,
                {"The memo file " + ExtractFileName(CompanionPathFor(path_, kMemoExtension)) +
                 " is missing."});
        return nullptr;
    }
    // The version byte says which layout; a table without the memo bit but with memo fields
    // is read with the dBASE III layout.
    MemoLayout layout = header_.memoLayout;
    if (layout == MemoLayout::None)
        layout = MemoLayout::DBase3;
    memo_ = MemoFile::Open(memoPath, layout);
    return memo_.get();
}

std::string DbfFile::ReadMemoField(const uint8_t* record, const FieldDef& field) const {
    uint32_t block = 0;
    if (!ParseMemoPointer(
            std::string_view(reinterpret_cast<const char*>(record) + field.offset, field.length),
            block))
        RaiseTableError(kStatusMemoError, path_,
                        {"Field " + field.name + " holds a damaged memo pointer."});
    if (block == 0)
        return {};
    const MemoFile* memo = Memo();
    if (!memo)
        RaiseTableError(kStatusMemoError, path_, {"The table has no memo file."});
    return memo->Read(block);
}

void DbfFile::WriteHeaderByte(size_t offset, uint8_t value) {
    if (!writable_)
        RaiseTableError(kStatusNeedExclusive, path_);
    WriteAllAt(fd_, offset, &value, 1, path_);
    SyncFile(fd_, path_);
}

void DbfFile::SetProductionIndexFlag(uint8_t value) {
    WriteHeaderByte(dbf::kProductionIndexFlag, value);
    header_.productionIndexFlag = value;
}

void DbfFile::SetLanguageDriver(uint8_t value) {
    WriteHeaderByte(dbf::kLanguageDriver, value);
    header_.languageDriver = value;
}

void DbfFile::SetIndexHeaderBytes(uint8_t productionIndexFlag, uint8_t languageDriver) {
    static_assert(dbf::kLanguageDriver == dbf::kProductionIndexFlag + 1, "adjacent bytes");
    if (!writable_)
        RaiseTableError(kStatusNeedExclusive, path_);
    const uint8_t bytes[2] = {productionIndexFlag, languageDriver};
    WriteAllAt(fd_, dbf::kProductionIndexFlag, bytes, sizeof bytes, path_);
    SyncFile(fd_, path_);
    header_.productionIndexFlag = productionIndexFlag;
    header_.languageDriver = languageDriver;
}

// ---- DbfWriter

DbfWriter::DbfWriter(const std::string& path, std::vector<FieldDef> fields, uint8_t version,
                     uint8_t languageDriver)
    : path_(path), fields_(std::move(fields)) {
    if (fields_.empty() || fields_.size() > 255)
        RaiseTableError(kStatusInvalidParameter, path, {"A table needs 1 to 255 fields."});
    uint32_t offset = 1;
    for (auto& f : fields_) {
        for (auto& c : f.name)
            c = UpperAscii(c);
        if (f.name.empty() || f.name.size() > 10 || f.length == 0 || f.length > 255)
            RaiseTableError(kStatusInvalidParameter, path,
                            {"Field \"" + f.name + "\" has an invalid name or length."});
        f.offset = offset;
        offset += f.length;
    }
    if (offset > 0xFFFF)
        RaiseTableError(kStatusInvalidParameter, path, {"The record is too long."});
    recordLength_ = static_cast<uint16_t>(offset);
    if (FileExists(path) || FolderExists(path))
        RaiseTableError(kStatusInvalidParameter, path, {"The file exists already."});

    const size_t headerLength = dbf::kHeaderSize + fields_.size() * dbf::kDescriptorSize + 1;
    header_.assign(headerLength, 0);
    header_[dbf::kVersion] = version;
    TodayForHeader(&header_[dbf::kUpdateYear]);
    PutLE16(&header_[dbf::kHeaderLength], static_cast<uint16_t>(headerLength));
    PutLE16(&header_[dbf::kRecordLength], recordLength_);
    header_[dbf::kLanguageDriver] = languageDriver;
    for (size_t i = 0; i < fields_.size(); ++i) {
        uint8_t* d = &header_[dbf::kHeaderSize + i * dbf::kDescriptorSize];
        std::memcpy(d + dbf::kFieldName, fields_[i].name.data(), fields_[i].name.size());
        d[dbf::kFieldType] = static_cast<uint8_t>(fields_[i].type);
        d[dbf::kFieldLength] = static_cast<uint8_t>(fields_[i].length);
        d[dbf::kFieldDecimals] = fields_[i].decimals;
    }
    header_[headerLength - 1] = dbf::kFieldTerminator;
    temp_ = std::make_unique<TemporaryFile>(path_, kNewTablePurpose);
    WriteAll(temp_->Fd(), header_.data(), header_.size(), temp_->Path());
    buffer_.reserve(size_t{1} << 20);
}

DbfWriter::~DbfWriter() = default;  // an unfinished table's temporary file is removed

void DbfWriter::SetHeaderByte(size_t offset, uint8_t value) {
    if (offset < 12 || offset >= dbf::kHeaderSize)
        RaiseTableError(kStatusInvalidParameter, path_,
                        {"Header byte " + std::to_string(offset) + " is kept by the writer."});
    header_[offset] = value;
}

void DbfWriter::AppendRaw(const uint8_t* record) {
    if (finished_)
        RaiseTableError(kStatusInvalidParameter, path_, {"The table is finished."});
    buffer_.insert(buffer_.end(), record, record + recordLength_);
    ++count_;
    if (buffer_.size() >= (size_t{1} << 20))
        Flush();
}

void DbfWriter::Append(const std::vector<std::string>& values, bool deleted) {
    if (values.size() != fields_.size())
        RaiseTableError(kStatusInvalidParameter, path_,
                        {"Expected " + std::to_string(fields_.size()) + " values."});
    std::vector<uint8_t> rec(recordLength_, ' ');
    rec[0] = deleted ? dbf::kDeletedFlag : dbf::kLiveFlag;
    for (size_t i = 0; i < fields_.size(); ++i) {
        const auto& f = fields_[i];
        const std::string& v = values[i];
        if (v.size() > f.length)
            RaiseTableError(kStatusInvalidParameter, path_,
                            {"The value for " + f.name + " is too long."});
        const bool right =
            f.type == 'N' || f.type == 'F' || f.type == 'M' || f.type == 'B' || f.type == 'G';
        const size_t at = f.offset + (right ? f.length - v.size() : 0);
        std::memcpy(&rec[at], v.data(), v.size());
    }
    AppendRaw(rec.data());
}

void DbfWriter::Flush() {
    if (buffer_.empty())
        return;
    WriteAll(temp_->Fd(), buffer_.data(), buffer_.size(), temp_->Path());
    buffer_.clear();
}

void DbfWriter::Finish() {
    if (finished_)
        return;
    Flush();
    const uint8_t eof = dbf::kEndOfFile;
    WriteAll(temp_->Fd(), &eof, 1, temp_->Path());
    PutLE32(&header_[dbf::kRecordCount], count_);
    WriteAllAt(temp_->Fd(), 0, header_.data(), dbf::kHeaderSize, temp_->Path());
    SyncFile(temp_->Fd(), temp_->Path());
    if (FileExists(path_))
        RaiseTableError(kStatusInvalidParameter, path_, {"The file exists already."});
    RenameFile(temp_->Path(), path_);
    Env::Default()->Close(temp_->Release());
    SyncFolder(ExtractFilePath(path_));
    finished_ = true;
}

}  // namespace ari::engine
