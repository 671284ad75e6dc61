#!/usr/bin/env bash
# Fails, naming the file and line, when a source file outside the places that may talk to the
# operating system includes one of its headers. Every system call of the program goes through
# platform/Env.h, whose implementations live in platform/posix/ and platform/win32/; a platform
# implements its folder and nothing else. Allowed besides: sessions/standins/ (Linux tools by nature),
# tests/, engine/fuzz/ and bench/.
#
#   scripts/check-os-headers.sh [SOURCE_ROOT]     (default: the folder above this script)
set -u

root=${1:-"$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"}
cd "$root" || { echo "check-os-headers: no folder $root" >&2; exit 2; }

# Headers of POSIX, Linux and Windows; the C and C++ standard headers (<cerrno>, <cstdio>,
# <ctime>, <csignal>, ...) are fine anywhere.
os_headers='unistd|fcntl|dirent|signal|poll|pwd|grp|spawn|termios|sched|pthread|semaphore|dlfcn|syslog|utmpx?|netdb|libgen|glob|fnmatch|ftw|wordexp|langinfo|aio|mqueue|strings|(sys|linux|asm|netinet|arpa|net|bits)/[A-Za-z0-9_/]+|windows|winbase|winnt|winsock2?|ws2tcpip|io|direct|process|shlobj|shellapi|aclapi|sddl'
pattern="^[[:space:]]*#[[:space:]]*include[[:space:]]*[<\"]($os_headers)\\.h[>\"]"

found=0
while IFS= read -r -d '' file; do
    while IFS= read -r hit; do
        echo "$file:$hit"
        found=1
    done < <(grep -nE "$pattern" "$file" | cut -d: -f1,2)
done < <(find . \
    \( -path ./.git -o -path './build*' -o -path ./platform/posix -o -path ./platform/win32 -o -path ./sessions/standins \
       -o -path ./tests -o -path ./engine/fuzz -o -path ./bench \) -prune -o \
    -type f \( -name '*.cpp' -o -name '*.cc' -o -name '*.h' -o -name '*.hpp' \) -print0 | sort -z)

if [ "$found" -ne 0 ]; then
    echo "check-os-headers: the files above include operating-system headers; only" \
         "platform/posix/, platform/win32/ (and sessions/standins/, tests/, engine/fuzz/, bench/) may:" \
         "go through platform/Env.h" >&2
    exit 1
fi
echo "check-os-headers: no operating-system header outside platform/posix/ and platform/win32/"
