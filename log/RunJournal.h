// The run journal: the file that keeps every line of the operation log with its date and
// time, and a summary of each pass, where no tick clears them ("autoreindex.log" beside the
// program unless another folder is named). The window and the headless runner may write the
// same journal at once.
//
// Each entry is appended with one write(2) on a descriptor opened with O_APPEND, under an
// advisory lock (flock) on the file, so entries of two programs never interleave and a reader
// always sees whole entries. When an entry would take the file past the size limit, the file
// is rotated first: "autoreindex.log.1" is the newest old file, up to `keep` of them; the
// oldest is dropped. Rotation renames, so a reader that holds the file open goes on reading
// the old file to its end.
#pragma once

#include <cstdint>
#include <string>

namespace ari {

class RunJournal {
  public:
    static constexpr char kFileName[] = "autoreindex.log";
    static constexpr std::uint64_t kDefaultLimit = 4u << 20;  // bytes per file
    static constexpr int kDefaultKeep = 4;                    // old files kept

    // The journal in `folder` (with or without its trailing separator).
    explicit RunJournal(const std::string& folder, std::uint64_t limit = kDefaultLimit,
                        int keep = kDefaultKeep);

    const std::string& Path() const { return path_; }

    // Appends `text` (UTF-8, one or more lines, a line break added at its end when missing).
    // Returns false when the journal cannot be written (a folder that is not writable, a full
    // disk, a link or a folder in the file's place): the journal never stops a pass, and the
    // caller may say so once.
    bool Append(const std::string& text) const;

  private:
    void Rotate() const;

    std::string path_;
    std::uint64_t limit_;
    int keep_;
};

}  // namespace ari
