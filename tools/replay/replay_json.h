// The detector's replayed touches as JSON, the one form bio-stream's page and bio-tune's report read.
#pragma once

#include <vector>

#include "replay.h"

#include <nlohmann/json.hpp>

namespace bio_replay {

// {"var_min": V, "img_num": N, "min_img_num": M}
nlohmann::json rules_json(const Rules& rules);

// {"published": P, "early": E, "dropped": D, "open": O, "interrupted": I (touches marked by a gap)}
nlohmann::json counts_json(const Counts& counts);

// One object per touch: {"outcome", "first", "frames", "decided", "removed", "best", "best_index",
// "gap" (true: frames were lost just before or during it)};
// indices are positions in the scores replayed, shifted by `offset`; an index that is not there is
// null.
nlohmann::json touches_json(const std::vector<Touch>& touches, std::size_t offset = 0);

}  // namespace bio_replay
