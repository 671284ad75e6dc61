#include "platform/FileOps.h"

#include <stdio.h>
#include <unistd.h>

namespace ari {

namespace {
FileOps systemOps;
FileOps* current = &systemOps;
}  // namespace

ssize_t FileOps::Write(int fd, const void* data, size_t size) {
    return ::write(fd, data, size);
}
int FileOps::Fsync(int fd) {
    return ::fsync(fd);
}
int FileOps::Rename(const char* from, const char* to) {
    return ::rename(from, to);
}

FileOps& CurrentFileOps() {
    return *current;
}
void SetFileOpsForTesting(FileOps* ops) {
    current = ops ? ops : &systemOps;
}

}  // namespace ari
