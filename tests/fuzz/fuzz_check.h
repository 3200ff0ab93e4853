#pragma once

#include <cstdio>
#include <cstdlib>

namespace quorva {

// A broken invariant is a finding: abort so libFuzzer saves the input.
inline void check(bool holds, const char* invariant)
{
    if (holds)
        return;
    std::fprintf(stderr, "invariant broken: %s\n", invariant);
    std::abort();
}

}  // namespace quorva
