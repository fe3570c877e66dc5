// Descriptor expansion through Table D: sequences are replaced by their
// members, fixed replications written out, delayed replications kept once
// (factor descriptor first), operators that only change the decoding state
// dropped, and an associated field (2 04 YYY) marked by 999999 before each
// element it applies to. ecCodes' expandedDescriptors differ (ExpansionState::as_eccodes).
#include <string>

#include "descriptor/descriptor.hpp"
#include "tables/table_set.hpp"

namespace vantrel {
namespace {

// The Parse error of an expansion that passed one of its bounds:
// "descriptor expansion is too large: more than {limit} {what}". Built only
// when the bound is hit.
[[gnu::cold, gnu::noinline]] BufrError too_large(std::uint64_t limit, const char* what) {
  return BufrError::parse("descriptor expansion is too large: more than " + std::to_string(limit) + " " + what);
}

}  // namespace

Result<std::size_t> TableSet::expand_into(std::span<const std::uint32_t> codes, std::vector<std::uint32_t>& output,
                                          ExpansionState& state, int level) const {
  if (level > MAX_EXPANSION_LEVEL) return fail(BufrError::parse("sequence expansion exceeded recursion depth"));
  const std::size_t start_size = output.size();
  // Appends one code within the output bound.
  auto append = [&](std::uint32_t code) -> Status {
    if (state.produced >= MAX_EXPANSION_CODES) return fail(too_large(MAX_EXPANSION_CODES, "codes"));
    ++state.produced;
    output.push_back(code);
    return {};
  };

  const std::size_t n = codes.size();
  std::size_t i = 0;
  while (i < n) {
    if (++state.steps > MAX_EXPANSION_STEPS) return fail(too_large(MAX_EXPANSION_STEPS, "descriptors walked"));
    const std::uint32_t code = codes[i];
    const std::uint8_t f = narrow8(code_f(code));
    const std::uint32_t x = code_x(code);
    const std::uint8_t y = narrow8(code_y(code));
    switch (f) {
      case 0:
        if (state.associated_width != 0 && !is_class31(code)) VANTREL_TRY(append(ASSOCIATED_FIELD_CODE));
        VANTREL_TRY(append(code));
        ++i;
        break;
      case 1: {
        VANTREL_ASSIGN(const ReplicationSpan span, replication_span(code, i, n));
        if (!span.delayed) {
          const auto group = codes.subspan(span.first, span.count);
          for (unsigned repeat = 0; repeat < y; ++repeat) VANTREL_TRY(expand_into(group, output, state, level + 1));
        } else {
          // The factor and the replicated codes, once; ecCodes puts the replication before
          // them, counting the codes its group expanded to.
          const std::size_t at = output.size();
          if (state.as_eccodes) VANTREL_TRY(append(code));
          VANTREL_ASSIGN(const std::size_t group, expand_into(codes.subspan(i + 1, span.count + 1), output, state,
                                                           level + 1));
          if (state.as_eccodes && group >= 1 && group - 1 <= 99) {
            output[at] = make_code(1, static_cast<std::uint32_t>(group - 1), 0);
          }
        }
        i = span.next;
        break;
      }
      case 2:
        if (x == 4) {
          state.associated_width = y;
        } else if (x != 1 && x != 2 && x != 6 && x != 7 && x != 8) {
          VANTREL_TRY(append(code));
        }
        ++i;
        break;
      case 3: {
        const SequenceDefinition* sequence = this->sequence(code);
        if (sequence == nullptr) return fail(BufrError::sequence_not_found(code));
        VANTREL_TRY(expand_into(sequence->members, output, state, level + 1));
        ++i;
        break;
      }
      default: {
        std::string text = "invalid descriptor ";
        append_code(text, code);
        return fail(BufrError::parse(std::move(text)));
      }
    }
  }
  return output.size() - start_size;
}

}  // namespace vantrel
