// Extended attributes as a file server leaves them on the files of a shared folder (a POSIX
// access list granting another user, a DOS attribute, a Windows security descriptor), planted on
// real files so that tests can see whether a replacement still carries them.
#pragma once

#include <map>
#include <string>

namespace ari::test {

// Every extended attribute of the file at `path` (links followed): name -> value bytes.
std::map<std::string, std::string> ReadAttributes(const std::string& path);

// Sets on the file at `path`: user.DOSATTRIB, a system.posix_acl_access that grants user 4242
// read and write (mode becomes 0664), and, when the process may (root), security.NTACL. Fails
// the current test when the file system takes none of them. Returns what the file then carries.
std::map<std::string, std::string> PlantServerAttributes(const std::string& path);

}  // namespace ari::test
