// The whole program on a long log: Vark alone, watched from outside as in app_bench.cpp, meets the
// same burst on a log of a few lines and again once its log holds a given number of lines.
#pragma once

#include <cstddef>

#include "app_bench_proc.h"

namespace app_bench {

// Starts Vark in `setting` on the tree and warms it up with a few thousand lines, then: the delay
// from single changes to their rows (and to the popup, when the setting shows it), and a burst of
// `cycles` × 4 mixed changes, first on the nearly empty log, then again once the log has been
// filled to `lines` lines (by the same kind of changes, unmeasured but for the memory it took).
// Prints a table; false when Vark could not be run.
bool RunLogLength(const TConfig& config, const TSetting& setting, size_t lines, size_t cycles,
                  size_t tops, int& serial);

}  // namespace app_bench
