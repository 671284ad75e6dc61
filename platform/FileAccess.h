// Byte-level access to an existing file (the table header patch of the index rebuild) and a
// probe for other users' locks, so that maintenance can leave files alone while they are in
// use. Locks are the OFD and classic POSIX record locks that the table engine and dBASE
// clients take; a program that takes none stays invisible to the probe.
#pragma once

#include <cstdint>
#include <string>

namespace ari {

// An existing file opened for reading and writing as a file of single-byte records; it is
// never created. Other programs may keep reading and writing it while it is open.
class ByteFile {
  public:
    // Throws EInOutError: "The specified file was not found" when it does not exist, "File
    // access denied" when it is read-only or a folder, "Invalid file name - %s" for a bad or
    // too long path.
    explicit ByteFile(const std::string& path);
    // Closes the file if still open, ignoring errors.
    ~ByteFile();
    ByteFile(const ByteFile&) = delete;
    ByteFile& operator=(const ByteFile&) = delete;

    const std::string& Path() const { return path_; }
    // Current length in bytes.
    uint64_t Size() const;
    // True when another open file (this process's other descriptors included) holds a lock
    // that overlaps bytes [offset, offset + length); length 0 means up to the end of any file.
    bool LockedByOthers(uint64_t offset = 0, uint64_t length = 0) const;
    // Writes one byte at `offset`. Throws EInOutError "I/O error 32" when another program
    // holds that byte under a lock, or the file error of the failed write.
    void WriteByte(uint64_t offset, uint8_t value);
    // Closes the file; throws EInOutError when the system reports a failed write-back.
    void Close();

  private:
    int fd_ = -1;
    std::string path_;
};

// True when some open file holds a lock anywhere on the file at `path`; false when nobody
// does or the file cannot be opened.
bool FileLockedByOthers(const std::string& path);

// True when the file at `path` exists as a regular file and can be opened for reading.
bool FileReadable(const std::string& path);

}  // namespace ari
