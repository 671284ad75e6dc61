#include "tests/support/FileAttributes.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace ari::test {

namespace {

// An access list in the kernel's stored form: version 2, then (tag, permissions, id) entries
// sorted by tag.
std::string AccessList() {
    struct Entry {
        uint16_t tag, perm;
        uint32_t id;
    };
    const uint32_t none = 0xFFFFFFFFu;
    const Entry entries[] = {
        {0x01, 6, none},  // owner
        {0x02, 6, 4242},  // a named user
        {0x04, 4, none},  // owning group
        {0x10, 6, none},  // mask
        {0x20, 4, none},  // others
    };
    std::string out;
    auto put = [&out](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out += static_cast<char>(v >> (8 * i) & 0xFF);
    };
    put(2, 4);
    for (const Entry& e : entries) {
        put(e.tag, 2);
        put(e.perm, 2);
        put(e.id, 4);
    }
    return out;
}

}  // namespace

std::map<std::string, std::string> ReadAttributes(const std::string& path) {
    std::map<std::string, std::string> out;
    std::vector<char> names(65536);
    const ssize_t n = listxattr(path.c_str(), names.data(), names.size());
    for (ssize_t i = 0; i < n;) {
        const std::string name(names.data() + i);
        i += static_cast<ssize_t>(name.size()) + 1;
        std::vector<char> value(65536);
        const ssize_t v = getxattr(path.c_str(), name.c_str(), value.data(), value.size());
        if (v >= 0)
            out[name] = std::string(value.data(), static_cast<size_t>(v));
    }
    return out;
}

std::map<std::string, std::string> PlantServerAttributes(const std::string& path) {
    const std::string dos = "0x20";
    EXPECT_EQ(setxattr(path.c_str(), "user.DOSATTRIB", dos.data(), dos.size(), 0), 0)
        << "the test folder's file system takes no user attributes";
    const std::string acl = AccessList();
    EXPECT_EQ(setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0)
        << "the test folder's file system takes no access lists";
    if (geteuid() == 0) {
        const std::string ntacl = std::string("\x04\x00\x04\x00", 4) + "descriptor";
        setxattr(path.c_str(), "security.NTACL", ntacl.data(), ntacl.size(), 0);
    }
    return ReadAttributes(path);
}

}  // namespace ari::test
