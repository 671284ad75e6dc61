// The run marker: the file that exists beside the executable while a maintenance run is in
// progress, so that other programs can tell. Created anew, held with an OFD write lock that
// cooperating programs honour (they may read it, not write or delete it), and its one line
// written only when it is closed, so the file has length zero during the run.
//
// The lock is what keeps two passes apart, in one process or in two (the window and the
// headless runner share the marker beside them): it is held from Create to the end of the
// pass, and a marker is removed while its lock is still held (CloseAndRemove). Create takes
// the lock only on the file that the path names at that moment, so a program that opened the
// file just before its holder removed it cannot run beside the next one.
#pragma once

#include <string>

#include "platform/Env.h"

namespace ari {

class RunMarker {
  public:
    // The marker's line: "please wait.." with CR LF, plain ASCII, no byte order mark.
    static constexpr char kLine[] = "please wait..\r\n";

    RunMarker() = default;
    // Closes the marker if it is still open (see Close).
    ~RunMarker();
    RunMarker(const RunMarker&) = delete;
    RunMarker& operator=(const RunMarker&) = delete;

    // Creates `path` anew (an existing file of that name is emptied), takes a write lock over
    // it and buffers the line. A file that was removed or replaced between its opening and its
    // lock is let go and the path opened again. Throws EInOutError: "File access denied" for a
    // folder of that name or a folder without write access, "I/O error 32" when another program
    // holds a lock on the file. REQUIRES: !IsOpen().
    void Create(const std::string& path);

    // True when a pass holds the marker at `path` now: the file is there and its lock is taken.
    // Asked without creating, writing or locking anything (the file is opened for reading, as
    // cooperating programs may).
    static bool HeldByAPass(const std::string& path);

    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

    // Writes the buffered line, then closes the file (which releases the lock). Never throws:
    // the marker is deleted right after and a failed write has no one to tell. Does nothing
    // when not open.
    void Close() noexcept;

    // Writes the buffered line, removes the marker while its lock is still held (only when the
    // path still names the marker's own file) and closes it. Never throws; does nothing when
    // not open.
    void CloseAndRemove() noexcept;

  private:
    void WriteLine() noexcept;
    // Writes the closing line, lets go of the file and closes it, removing it first when
    // `remove` is set and the name still holds it.
    void Finish(bool remove) noexcept;

    FileHandle fd_ = kNoFile;
    std::string path_;
};

}  // namespace ari
