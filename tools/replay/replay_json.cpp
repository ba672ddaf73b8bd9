// The replayed touches as JSON.
#include "replay_json.h"

namespace bio_replay {

namespace {

nlohmann::json index_json(std::size_t index, std::size_t offset) {
    return index == no_index ? nlohmann::json(nullptr) : nlohmann::json(index + offset);
}

}  // namespace

nlohmann::json rules_json(const Rules& rules) {
    return {{"var_min", rules.var_min}, {"img_num", rules.img_num}, {"min_img_num", rules.min_img_num}};
}

nlohmann::json counts_json(const Counts& counts) {
    return {{"published", counts.published},
            {"early", counts.early},
            {"dropped", counts.dropped},
            {"open", counts.open},
            {"interrupted", counts.interrupted}};
}

nlohmann::json touches_json(const std::vector<Touch>& touches, std::size_t offset) {
    nlohmann::json list = nlohmann::json::array();
    for (const Touch& touch : touches) {
        list.push_back({{"outcome", outcome_name(touch.outcome)},
                        {"first", touch.first + offset},
                        {"frames", touch.frames},
                        {"decided", index_json(touch.decided, offset)},
                        {"removed", index_json(touch.removed, offset)},
                        {"best", touch.best},
                        {"best_index", index_json(touch.best_index, offset)},
                        {"gap", touch.gap}});
    }
    return list;
}

}  // namespace bio_replay
