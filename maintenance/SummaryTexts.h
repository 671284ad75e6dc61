// The fixed words of the journal's summary block, shared by the code that writes it
// (RunSummary::Lines) and the code that reads it back (PassHistory), so the two cannot drift.
#pragma once

namespace ari::summary {

inline constexpr char kHeading[] = "=== Pass summary ";  // then "<stamp> (<live folder>)"
inline constexpr char kTableLine[] = "table ";           // then "<table>: operations ..."
inline constexpr char kTotalLine[] = "total time ";      // then "<seconds> s; result <result>"
inline constexpr char kRemoved[] = "; deleted records removed ";
inline constexpr char kResult[] = " s; result ";

}  // namespace ari::summary
