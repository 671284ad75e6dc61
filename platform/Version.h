// The version of the programs, as the build names it (the CMake project's version), for the
// "--version" of each program.
#pragma once

namespace ari {

// "MAJOR.MINOR", e.g. "5.33".
const char* ProjectVersion();

}  // namespace ari
