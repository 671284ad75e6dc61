#include "engine/expr/KeyCollation.h"

#include <array>

namespace ari::engine {

namespace {

// Windows ANSI Western European order (drivers 0x58 and 0x59): letters sort case-pairwise
// (lower case just before upper case), accented letters next to their base letters,
// punctuation before digits before letters. A permutation of 0..255.
constexpr uint8_t kAnsiWesternEurope[256] = {
    0,   2,   3,   4,   5,   6,   7,   8,   9,   10,  11,  12,  13,  14,  15,  16,  17,  18,  19,
    20,  21,  22,  23,  24,  25,  26,  27,  28,  29,  30,  31,  32,  1,   41,  55,  77,  71,  78,
    76,  54,  58,  59,  74,  79,  38,  37,  46,  45,  111, 115, 117, 119, 121, 122, 123, 124, 125,
    126, 40,  39,  83,  84,  85,  43,  68,  128, 145, 147, 151, 155, 165, 167, 169, 171, 181, 183,
    185, 187, 189, 193, 210, 212, 214, 216, 221, 225, 235, 237, 239, 241, 247, 60,  75,  61,  49,
    34,  48,  127, 144, 146, 150, 154, 164, 166, 168, 170, 180, 182, 184, 186, 188, 192, 209, 211,
    213, 215, 220, 224, 234, 236, 238, 240, 246, 62,  87,  63,  51,  91,  248, 249, 92,  93,  94,
    95,  96,  97,  98,  99,  218, 100, 208, 250, 251, 252, 253, 101, 102, 103, 104, 105, 106, 107,
    108, 109, 217, 110, 207, 254, 255, 245, 33,  42,  70,  72,  69,  73,  88,  64,  50,  66,  129,
    56,  86,  36,  67,  35,  89,  80,  118, 120, 47,  90,  65,  52,  53,  116, 194, 57,  112, 113,
    114, 44,  133, 131, 135, 141, 139, 137, 143, 149, 159, 157, 161, 163, 175, 173, 177, 179, 153,
    191, 198, 196, 200, 204, 202, 82,  206, 229, 227, 231, 233, 243, 223, 219, 132, 130, 134, 140,
    138, 136, 142, 148, 158, 156, 160, 162, 174, 172, 176, 178, 152, 190, 197, 195, 199, 203, 201,
    81,  205, 228, 226, 230, 232, 242, 222, 244,
};

struct Inverse {
    std::array<uint8_t, 256> bytes{};
    explicit Inverse(const uint8_t* weights) {
        for (int b = 0; b < 256; ++b)
            bytes[weights[b]] = static_cast<uint8_t>(b);
    }
};

}  // namespace

bool IsBinaryCollation(uint8_t languageId) {
    return languageId == 0x00 || languageId == 0x1B || languageId == 0x57;
}

const uint8_t* CollationWeights(uint8_t languageId) {
    if (languageId == 0x58 || languageId == 0x59)
        return kAnsiWesternEurope;
    return nullptr;
}

const uint8_t* CollationBytes(uint8_t languageId) {
    static const Inverse westernEurope(kAnsiWesternEurope);
    if (languageId == 0x58 || languageId == 0x59)
        return westernEurope.bytes.data();
    return nullptr;
}

bool CollationKnown(uint8_t languageId) {
    return IsBinaryCollation(languageId) || CollationWeights(languageId) != nullptr;
}

}  // namespace ari::engine
