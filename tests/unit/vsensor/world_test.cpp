// The virtual sensor's world: the frames of the existing sources keep their bytes, and each
// condition of the field library shows what a user would measure on such a sensor.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <numeric>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bio_test/files.h"
#include "recording/recording.h"
#include "vsensor/vsensor.h"

namespace {

using Frame = std::vector<unsigned char>;

std::uint64_t digest(std::uint64_t n) {
    const Frame frame = vsensor::frame_at(n);
    return recording::frame_hash(frame.data(), frame.size());
}

void configure(const std::string& scenario, std::uint32_t seed = 1) {
    vsensor::Config config;
    config.device_path = "/dev/video-vsensor-world";
    config.scenario = scenario;
    config.seed = seed;
    vsensor::configure(config);
}

void configure_field(const std::string& condition) {
    configure(bio_test::read_file(std::string(BIO_SOURCE_DIR) + "/config/scenarios/field/" + condition + ".txt"));
}

int at(const Frame& frame, int x, int y) {
    return frame[2 * (x + 640 * y)];
}

struct Pin {
    std::uint64_t frame;
    std::uint64_t digest;
};

// Digests taken before the physical model came, the same on x86-64 and armhf: empty glass, the
// fixed finger at two seeds, and the demo's timeline (glass, its three touches and the glass
// between them).
TEST(VsensorWorld, ExistingSourcesKeepTheirBytes) {
    configure("");
    EXPECT_EQ(digest(0), 0x58b6266baacf614aull);
    EXPECT_EQ(digest(7), 0x0acd12c6507a987eull);
    configure("glass 1f\nfinger\n");
    EXPECT_EQ(digest(1), 0x7072baf12135cb28ull);
    EXPECT_EQ(digest(2), 0xcd7e25a172f2334cull);
    configure("glass 1f\nfinger\n", 90210);
    EXPECT_EQ(digest(5), 0xe3664592e68a21c9ull);
    configure("fps 30\nglass 15f\nfinger 30f\nglass 15f\nfinger 3f\nglass 15f\nfinger 1f\nglass\n");
    const Pin demo[] = {{0, 0x58b6266baacf614aull},  {14, 0x41f90613ca9888d6ull}, {15, 0xa3aabb8d4db6520aull},
                        {44, 0x74fb516a7502dd3dull}, {45, 0xf24c82c61138e0bbull}, {61, 0x27e95077edad5e3eull},
                        {79, 0xd18fdba0e9e84f6dull}, {80, 0x614b04fe25bb0b6aull}};
    for (const Pin& pin : demo) {
        EXPECT_EQ(digest(pin.frame), pin.digest) << "demo frame " << pin.frame;
    }
}

// Ridges as a fingerprint examiner measures them, over 48 x 48 blocks: the orientation's coherence
// from the gradients' structure tensor, and the period from the block's profile across the ridges
// (the distance between its first and last mean crossings over the half-periods between them).
struct Ridges {
    double coherence = 0.0;  // medians over the blocks of ridges
    double period = 0.0;
    double spread = 0.0;     // mean standard deviation of those blocks: the ridges' contrast
    int blocks = 0;
};

Ridges measure_ridges(const Frame& frame) {
    std::vector<double> coherences, periods;
    double spread = 0.0;
    for (int by = 8; by + 48 < 472; by += 48) {
        for (int bx = 8; bx + 48 < 632; bx += 48) {
            double sum = 0.0, squares = 0.0, gxx = 0.0, gyy = 0.0, gxy = 0.0;
            for (int y = by; y < by + 48; ++y) {
                for (int x = bx; x < bx + 48; ++x) {
                    const double gx = at(frame, x + 1, y) - at(frame, x - 1, y);
                    const double gy = at(frame, x, y + 1) - at(frame, x, y - 1);
                    gxx += gx * gx, gyy += gy * gy, gxy += gx * gy;
                    sum += at(frame, x, y), squares += at(frame, x, y) * at(frame, x, y);
                }
            }
            const double deviation = std::sqrt(squares / 2304 - sum * sum / 2304 / 2304);
            if (deviation < 35.0) {
                continue;  // glass, or a block the ridges hardly enter
            }
            spread += deviation;
            coherences.push_back(std::hypot(gxx - gyy, 2 * gxy) / (gxx + gyy));
            const double across = 0.5 * std::atan2(2 * gxy, gxx - gyy);
            std::vector<double> profile(68, 0.0), hits(68, 0.0);
            for (int y = by; y < by + 48; ++y) {
                for (int x = bx; x < bx + 48; ++x) {
                    const int bin = static_cast<int>(std::lround((x - bx - 23.5) * std::cos(across) +
                                                                 (y - by - 23.5) * std::sin(across))) + 34;
                    profile[bin] += at(frame, x, y), hits[bin] += 1;
                }
            }
            std::vector<double> crossings;
            for (int i = 10; i + 1 < 58; ++i) {
                const double a = profile[i] / hits[i] - sum / 2304, b = profile[i + 1] / hits[i + 1] - sum / 2304;
                if ((a < 0) != (b < 0)) {
                    crossings.push_back(i + a / (a - b));
                }
            }
            if (crossings.size() >= 3) {
                periods.push_back(2 * (crossings.back() - crossings.front()) / (crossings.size() - 1));
            }
        }
    }
    Ridges ridges;
    ridges.blocks = static_cast<int>(coherences.size());
    if (coherences.empty() || periods.empty()) {
        return ridges;
    }
    std::nth_element(coherences.begin(), coherences.begin() + coherences.size() / 2, coherences.end());
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    ridges.coherence = coherences[coherences.size() / 2];
    ridges.period = periods[periods.size() / 2];
    ridges.spread = spread / ridges.blocks;
    return ridges;
}

// Pixels darker than six tenths of the frame's brightest light: ridges in contact.
double dark_fraction(const Frame& frame) {
    int dark = 0;
    for (std::size_t i = 0; i < frame.size(); i += 2) {
        dark += frame[i] < 150 ? 1 : 0;
    }
    return dark / 307200.0;
}

// Mean and standard deviation of the samples in a rectangle.
std::pair<double, double> region(const Frame& frame, int x0, int y0, int x1, int y1) {
    double sum = 0.0, squares = 0.0;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            sum += at(frame, x, y), squares += at(frame, x, y) * at(frame, x, y);
        }
    }
    const double n = double(x1 - x0) * (y1 - y0);
    return {sum / n, std::sqrt(squares / n - sum * sum / n / n)};
}

// The row means of a frame, less their mean: the flicker's bands.
std::vector<double> bands(const Frame& frame) {
    std::vector<double> rows(480, 0.0);
    for (int y = 0; y < 480; ++y) {
        rows[y] = region(frame, 0, y, 640, y + 1).first;
    }
    const double mean = std::accumulate(rows.begin(), rows.end(), 0.0) / 480;
    for (double& row : rows) {
        row -= mean;
    }
    return rows;
}

double correlation(const std::vector<double>& a, const std::vector<double>& b) {
    return std::inner_product(a.begin(), a.end(), b.begin(), 0.0) /
           std::sqrt(std::inner_product(a.begin(), a.end(), a.begin(), 0.0) *
                     std::inner_product(b.begin(), b.end(), b.begin(), 0.0));
}

// One identity is one finger: pressed harder and 37 px right, 21 px lower, the same ridges (a
// ridge pixel of one frame is a ridge pixel of the other); another identity's ridges agree by chance.
TEST(VsensorWorld, AnIdentityKeepsItsRidgesWhereverAndHoweverItTouches) {
    const auto held = [](int identity, const std::string& how) {
        configure("identity " + std::to_string(identity) + "\ntouch approach=0 press=33ms hold=1s tremor=0" + how);
        return vsensor::frame_at(5);
    };
    const Frame first = held(5, "");
    const auto agreement = [&](const Frame& second) {
        int same = 0;
        for (int y = 140; y < 340; ++y) {
            for (int x = 220; x < 420; ++x) {
                same += (at(first, x, y) < 110) == (at(second, x + 37, y + 21) < 110) ? 1 : 0;
            }
        }
        return same / 40000.0;
    };
    EXPECT_GT(agreement(held(5, " at=37,21 pressure=1.3")), 0.85);
    EXPECT_LT(agreement(held(6, " at=37,21 pressure=1.3")), 0.65);
}

// What is special about a condition, beyond the ridges and the contact every touch shows.
enum class Look { plain, less_contrast, saturated, flicker_100hz, shadow, latent, slide, short_contact, long_hold, noisy };

struct Condition {
    const char* name;
    int contact_low;   // the first touch's contact area while it holds, in 1/10000 of the pad
    int contact_high;
    Look look;
    std::uint64_t digest;  // of the first touch's middle frame, the same on x86-64 and armhf
};

void PrintTo(const Condition& c, std::ostream* out) {
    *out << c.name;
}

class FieldCondition : public testing::TestWithParam<Condition> {};

// The first touch (after two seconds of glass): its contact follows the press and lift ramps,
// darkening more of the frame as it grows; while it holds, its ridges have a fingertip's period and
// coherence; then what the condition itself shows.
TEST_P(FieldCondition, ShowsWhatTheFieldShows) {
    const Condition& c = GetParam();
    configure_field(c.name);
    std::vector<recording::Truth> touch;
    for (std::uint64_t n = 60; touch.empty() || touch.back().touch == 1; ++n) {
        touch.push_back(vsensor::truth_at(n));
    }
    touch.pop_back();
    std::vector<std::uint64_t> press, hold, lift;
    for (std::uint64_t k = 0; k < touch.size(); ++k) {
        auto& phase = touch[k].phase == recording::Phase::press  ? press
                      : touch[k].phase == recording::Phase::hold ? hold
                                                                  : lift;
        if (touch[k].phase != recording::Phase::approach) {
            phase.push_back(60 + k);
        }
        EXPECT_EQ(touch[k].contact, touch[k].phase != recording::Phase::approach) << "frame " << 60 + k;
    }
    ASSERT_FALSE(press.empty() || lift.empty());
    // Contact and dark area grow through the press and shrink through the lift (a firm press may
    // reach the whole pad before its last frame, and a light one leave it whole for a frame).
    for (const auto* ramp : {&press, &lift}) {
        const double sign = ramp == &press ? 1.0 : -1.0;
        double dark = -sign;
        double contact = -sign * 1e9;
        for (const std::uint64_t n : *ramp) {
            const double grown = vsensor::truth_at(n).contact_permyriad;
            const double darker = dark_fraction(vsensor::frame_at(n));
            EXPECT_GE(sign * (grown - contact), 0.0) << "frame " << n;
            EXPECT_GE(sign * (darker - dark), -0.002) << "frame " << n;
            dark = darker, contact = grown;
        }
        const double first = vsensor::truth_at(ramp->front()).contact_permyriad;
        EXPECT_TRUE(ramp->size() == 1 || sign * (contact - first) > 0) << (ramp == &press ? "press" : "lift");
    }
    const std::uint64_t middle = hold.empty() ? press.back() : hold[hold.size() / 2];
    const Frame held = vsensor::frame_at(middle);
    EXPECT_GE(vsensor::truth_at(middle).contact_permyriad, c.contact_low);
    EXPECT_LE(vsensor::truth_at(middle).contact_permyriad, c.contact_high);
    const Ridges ridges = measure_ridges(held);
    EXPECT_GE(ridges.blocks, 4);
    EXPECT_GE(ridges.coherence, 0.5);
    EXPECT_GE(ridges.period, 7.0);
    EXPECT_LE(ridges.period, 10.5);
    EXPECT_EQ(recording::frame_hash(held.data(), held.size()), c.digest) << std::hex << c.name << " digest";

    const Frame glass = vsensor::frame_at(0);
    switch (c.look) {
        case Look::less_contrast: {
            configure_field("normal");
            EXPECT_LT(ridges.spread, 0.85 * measure_ridges(vsensor::frame_at(middle)).spread);
            break;
        }
        case Look::saturated:
            EXPECT_GT(std::count(glass.begin(), glass.end(), 255), 0.3 * 307200);
            break;
        case Look::flicker_100hz: {
            // Bands of 1/100 s (about 157 rows at 30 frames per second) that come back every third frame.
            const auto first = bands(glass);
            EXPECT_GT(correlation(first, bands(vsensor::frame_at(3))), 0.95);
            EXPECT_LT(correlation(first, bands(vsensor::frame_at(1))), 0.0);
            const auto crossings = std::inner_product(first.begin() + 1, first.end(), first.begin(), 0, std::plus<>(),
                                                      [](double b, double a) { return (a < 0) != (b < 0) ? 1 : 0; });
            EXPECT_NEAR(480.0 / crossings * 2, 157, 25);
            break;
        }
        case Look::shadow:  // the hand's shadow darkens the glass below the finger before it touches
            EXPECT_LT(region(vsensor::frame_at(press.front() - 1), 220, 380, 420, 470).first,
                      0.85 * region(glass, 220, 380, 420, 470).first);
            break;
        case Look::latent: {  // the print stays on the glass after the lift, fading
            const double before = region(glass, 220, 140, 420, 340).second;
            const double after = region(vsensor::frame_at(lift.back() + 1), 220, 140, 420, 340).second;
            EXPECT_GT(after, 3 * before);
            EXPECT_LT(region(vsensor::frame_at(lift.back() + 29), 220, 140, 420, 340).second, after);
            break;
        }
        case Look::slide: {  // the ridges' middle moves with the finger
            const auto centre = [](const Frame& frame) {
                double sum = 0.0, count = 0.0;
                for (std::size_t i = 0; i < frame.size(); i += 2) {
                    sum += frame[i] < 150 ? static_cast<double>(i / 2 % 640) : 0.0, count += frame[i] < 150;
                }
                return sum / count;
            };
            EXPECT_GT(centre(vsensor::frame_at(hold.back())) - centre(vsensor::frame_at(hold.front())), 100);
            break;
        }
        case Look::short_contact:
            EXPECT_LE(press.size() + hold.size() + lift.size(), 3u);
            break;
        case Look::long_hold:
            EXPECT_GE(hold.size(), 230u);
            break;
        case Look::noisy:
            EXPECT_GT(region(glass, 288, 208, 352, 272).second, 3.5);
            configure_field("normal");
            EXPECT_LT(region(vsensor::frame_at(0), 288, 208, 352, 272).second, 3.0);
            break;
        case Look::plain:
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Library, FieldCondition,
    testing::Values(Condition{"normal", 9700, 10000, Look::plain, 0x7aa17c66d7500777ull},
                    Condition{"light_press", 4500, 7000, Look::plain, 0x1f3b3a41957f15cfull},
                    Condition{"firm_press", 9950, 10000, Look::plain, 0x4f140e6abdd17d18ull},
                    Condition{"dry", 9700, 10000, Look::less_contrast, 0xa118ae09cb71018bull},
                    Condition{"wet", 9700, 10000, Look::less_contrast, 0xb851501f909393a1ull},
                    Condition{"partial", 3000, 5000, Look::plain, 0xb03ab9f4ed4ccc3dull},
                    Condition{"off_centre", 7500, 9500, Look::plain, 0xaa2e0c232a56ffb7ull},
                    Condition{"sliding", 9000, 10000, Look::slide, 0x736e67fd5f094635ull},
                    Condition{"bright_sun", 9700, 10000, Look::saturated, 0x5fc97d1f0ba567acull},
                    Condition{"flicker_100hz", 9700, 10000, Look::flicker_100hz, 0x8459109a156395a3ull},
                    Condition{"shadow", 9700, 10000, Look::shadow, 0xe6c6c686925e2976ull},
                    Condition{"latent_print", 9700, 10000, Look::latent, 0xc968871bf7c30966ull},
                    Condition{"short_brushes", 1000, 9000, Look::short_contact, 0x451654b0bdbc99a1ull},
                    Condition{"long_holds", 9700, 10000, Look::long_hold, 0xd47563516a2ac060ull},
                    Condition{"noisy_gain", 9700, 10000, Look::noisy, 0x72146fe97ca86497ull}),
    [](const testing::TestParamInfo<Condition>& row) { return std::string(row.param.name); });

}  // namespace
