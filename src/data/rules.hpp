// The two rule sets a decode can follow. A rule set is fixed when a decode
// plan is compiled (it is part of the plan cache's key), so the walker never
// asks per value which rules are in force: the plan's entries carry what
// differs (whether an element takes the coding changes of 2 01, 2 02 and
// 2 07) and the walker branches on the rules only at bitmap operators.
#pragma once

#include <cstdint>
#include <string_view>

namespace vantrel {

enum class Rules : std::uint8_t {
  // The module's documented rules, exactly, as _vantrel decodes:
  //  - 2 01, 2 02 and 2 07 change every numeric element, code and flag tables included;
  //  - only 2 36 000 starts a bitmap, anchored at the history length it finds;
  //    from then on every 0 31 031 value of the walk extends it; 2 22, 2 23,
  //    2 24, 2 25 and 2 32 000 append operator records and nothing else;
  //  - an element without a Table B entry fails the decode.
  Strict,
  // WMO practice, for real archives (the package's default):
  //  - code and flag table values keep their Table B coding under 2 01, 2 02
  //    and 2 07 (the operators are defined for quantities);
  //  - each of 2 22, 2 23, 2 24, 2 25 and 2 32 000 awaits the bitmap that
  //    follows it (a run of 0 31 031 values, or 2 36 000), and every bitmap of
  //    a block refers back to the elements decoded before its first operator;
  //    a run of 0 31 031 values ends at the first other value;
  //  - an element without a Table B entry whose width 2 06 YYY announces is
  //    read as an unnamed raw value of YYY bits.
  Wmo,
};

// "strict" or "wmo".
constexpr std::string_view rules_name(Rules rules) { return rules == Rules::Strict ? "strict" : "wmo"; }

}  // namespace vantrel
