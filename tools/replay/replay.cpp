// The finger detector's rules replayed on scores.
#include "replay.h"

#include <climits>

namespace bio_replay {

namespace {

// The detector's state between two frames, and the touch it is following.
class Detector {
public:
    Detector(const Rules& rules, std::vector<Touch>& touches) : rules_(rules), touches_(touches) {}

    void step(std::size_t index, std::int32_t score) {
        if (score >= rules_.var_min) {
            finger_frame(index, score);
        } else {
            glass_frame(index);
        }
        gap_before_ = false;
    }

    // Frames lost: whatever they were, the touch under way may have gone otherwise.
    void gap() {
        if (handled_ || frames_ > 0) {
            touch_.gap = true;
        } else {
            gap_before_ = true;
        }
    }

    // The scores end: a touch in progress is kept as it stands.
    void finish() {
        if (handled_ || frames_ > 0) {
            touches_.push_back(touch_);
        }
    }

private:
    void finger_frame(std::size_t index, std::int32_t score) {
        if (handled_) {
            return;
        }
        if (frames_ == 0) {
            start(index);
        }
        // Strictly greater: on a tie the earlier frame stays the best.
        if (score > touch_.best) {
            touch_.best = score;
            touch_.best_index = index;
        }
        if (frames_ < INT_MAX) {
            ++frames_;
        }
        touch_.frames = frames_;
        if (frames_ == rules_.img_num) {
            touch_.outcome = Outcome::published;
            touch_.decided = index;
            handled_ = true;
        }
    }

    void glass_frame(std::size_t index) {
        if (handled_) {
            touch_.removed = index;
            end_touch();
            return;
        }
        if (frames_ >= rules_.min_img_num) {
            if (frames_ == 0) {
                start(index);  // min_img_num of 0 or less: even no finger frame publishes
            }
            touch_.outcome = Outcome::early;
            touch_.decided = index;
            touch_.removed = index;
            end_touch();
            return;
        }
        if (frames_ > 0) {
            touch_.outcome = Outcome::dropped;
            touch_.decided = index;
            end_touch();
        }
    }

    void start(std::size_t index) {
        touch_ = Touch{};
        touch_.first = index;
        touch_.gap = gap_before_;
    }

    void end_touch() {
        touches_.push_back(touch_);
        frames_ = 0;
        handled_ = false;
        touch_ = Touch{};
    }

    const Rules& rules_;
    std::vector<Touch>& touches_;
    int frames_ = 0;
    bool handled_ = false;
    bool gap_before_ = false;  // the last position was a gap and no touch is under way
    Touch touch_;
};

}  // namespace

const char* outcome_name(Outcome outcome) noexcept {
    switch (outcome) {
        case Outcome::published:
            return "published";
        case Outcome::early:
            return "early";
        case Outcome::dropped:
            return "dropped";
        case Outcome::open:
            return "open";
    }
    return "open";
}

std::vector<Touch> replay(const std::int32_t* scores, std::size_t count, const Rules& rules) {
    std::vector<Sample> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i].score = scores[i];
    }
    return replay(samples.data(), count, rules);
}

std::vector<Touch> replay(const Sample* samples, std::size_t count, const Rules& rules) {
    std::vector<Touch> touches;
    Detector detector(rules, touches);
    for (std::size_t i = 0; i < count; ++i) {
        if (samples[i].gap) {
            detector.gap();
        } else {
            detector.step(i, samples[i].score);
        }
    }
    detector.finish();
    return touches;
}

Counts count_outcomes(const std::vector<Touch>& touches) noexcept {
    Counts counts;
    for (const Touch& touch : touches) {
        counts.interrupted += touch.gap ? 1 : 0;
        switch (touch.outcome) {
            case Outcome::published:
                ++counts.published;
                break;
            case Outcome::early:
                ++counts.early;
                break;
            case Outcome::dropped:
                ++counts.dropped;
                break;
            case Outcome::open:
                ++counts.open;
                break;
        }
    }
    return counts;
}

}  // namespace bio_replay
