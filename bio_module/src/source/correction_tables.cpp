// Geometric correction tables: the remap tables (GC0307, GC0328), the perspective matrices (GC032A) and
// the compact per-pixel plan that the correction kernels read, with its walk for the vector rows,
// derived from them at every camera start.
#include "bio_module.h"

#include <cmath>
#include <stdexcept>
#include <vector>

std::uint32_t remapOffsetTable[remap_entries][2];
std::uint32_t remapWeightTable[remap_entries][4];
std::vector<std::vector<offset_entry>> offsetMatrix;
std::vector<std::vector<weight_entry>> weightMatrix;

namespace {

constexpr const char* text_short_matrix_row = "correction matrix row shorter than the first row";

// Fixed point: 1.0 is 2^20.
constexpr double weight_one = 1048576.0;

// The plan's arrays and walk, sized for the largest image once and then only rewritten, and what they
// were derived from: the table form (83200 pixels) or the matrix form (rows x columns of offsetMatrix).
struct plan_storage {
    std::vector<std::uint32_t> offset;
    std::vector<std::uint32_t> weight[4];
    correction_walk_builder walk;
    bool derived = false;
    bool matrix_form = false;
    std::size_t rows = 0;
    std::size_t columns = 0;
    correction_plan plan = {};
};
plan_storage correction;

void size_plan(std::size_t pixels, std::size_t columns) {
    const std::size_t capacity = pixels > grey_capacity ? pixels : grey_capacity;
    if (correction.offset.size() < capacity) {
        correction.offset.resize(capacity);
        for (std::vector<std::uint32_t>& w : correction.weight) {
            w.resize(capacity);
        }
    }
    correction.plan = {correction.offset.data(),
                       {correction.weight[0].data(), correction.weight[1].data(), correction.weight[2].data(),
                        correction.weight[3].data()},
                       pixels,
                       columns == 0 ? 1 : columns,
                       nullptr};
}

std::size_t first_row_length() {
    return offsetMatrix.empty() ? 0 : offsetMatrix[0].size();
}

// Table form: entry k's `top` offset, with `bottom` one frame row below it (as the builder makes it;
// zero-filled entries before the first build read byte 0 with zero weights either way).
void derive_table_plan() {
    size_plan(remap_entries, grey_width);
    for (std::size_t k = 0; k < remap_entries; ++k) {
        correction.offset[k] = remapOffsetTable[k][0];
        for (std::size_t i = 0; i < 4; ++i) {
            correction.weight[i][k] = remapWeightTable[k][i];
        }
    }
    correction.rows = remap_rows;
    correction.columns = grey_width;
}

// Matrix form: entry (r, c)'s corner (x0, y0), with the other three corners one pixel to the right and
// one row below (as the builder makes them). The shape is offsetMatrix's: its row count by the length
// of its first row; check_perspective_matrices() has made sure that every row is that long.
void derive_matrix_plan() {
    const std::size_t rows = offsetMatrix.size();
    const std::size_t columns = first_row_length();
    size_plan(rows * columns, columns);
    std::size_t k = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < columns; ++c, ++k) {
            const offset_entry& o = offsetMatrix[r][c];
            const weight_entry& w = weightMatrix[r][c];
            correction.offset[k] = static_cast<std::uint32_t>(2 * (o[0] + frame_width * o[1]));
            for (std::size_t i = 0; i < 4; ++i) {
                correction.weight[i][k] = static_cast<std::uint32_t>(w[i]);
            }
        }
    }
    correction.rows = rows;
    correction.columns = columns;
}

void derive_plan(bool matrix_form) {
    if (matrix_form) {
        derive_matrix_plan();
    } else {
        derive_table_plan();
    }
    correction.plan.walk = correction.walk.build(correction.plan);
    correction.matrix_form = matrix_form;
    correction.derived = true;
}

}  // namespace

// Rebuilds the remap tables for a GC0307 or GC0328 (other models keep what they hold), always the
// perspective matrices, and then the correction plan for the fitted model.
void build_correction_tables() {
    if (camera_sensor == "GC0307") {
        build_remap_table(gc0307_constants);
    } else if (camera_sensor == "GC0328") {
        build_remap_table(gc0328_constants);
    }
    build_perspective_matrices();
    build_correction_plan();
}

// Overwrites all 320 x 260 remap entries from the sensor's constants; every source pixel used
// lies inside the frame for both sensors' constants.
void build_remap_table(const remap_constants& k) {
    for (int i = 0; i < remap_rows; ++i) {
        for (int j = 0; j < grey_width; ++j) {
            double x = 0;
            double d = 0;
            remap_source(k, i, j, x, d);
            const int y0 = static_cast<int>(d);
            const double fy = d - y0;
            const int x0 = static_cast<int>(x);
            const double fx = x - x0;

            const int entry = i * grey_width + j;
            remapOffsetTable[entry][0] = static_cast<std::uint32_t>(2 * (x0 + frame_width * y0));
            remapOffsetTable[entry][1] =
                static_cast<std::uint32_t>(2 * (x0 + frame_width * y0 + frame_width));
            remapWeightTable[entry][0] = static_cast<std::uint32_t>(((1 - fx) * (1 - fy)) * weight_one);
            remapWeightTable[entry][1] = static_cast<std::uint32_t>((fx * (1 - fy)) * weight_one);
            remapWeightTable[entry][2] = static_cast<std::uint32_t>(((1 - fx) * fy) * weight_one);
            remapWeightTable[entry][3] = static_cast<std::uint32_t>((fx * fy) * weight_one);
        }
    }
}

namespace {

// Bilinear weights of the four corners around (u, v) whose top-left corner is (x0, y0). Corners
// outside the frame weigh 0; near the frame's edge the weights of the corners inside are scaled back
// up to a total of 1.0.
weight_entry perspective_weights(double u, double v, int x0, int y0) {
    auto inside = [](int xc, int yc) { return xc >= 0 && xc < frame_width && yc >= 0 && yc < frame_height; };
    const int x1 = x0 + 1;
    const int y1 = y0 + 1;
    const bool in[4] = {inside(x0, y0), inside(x1, y0), inside(x0, y1), inside(x1, y1)};
    const double area[4] = {(x1 - u) * (y1 - v), (u - x0) * (y1 - v), (x1 - u) * (v - y0),
                            (u - x0) * (v - y0)};
    long w[4];
    int corners_inside = 0;
    for (int i = 0; i < 4; ++i) {
        w[i] = in[i] ? std::lround(area[i] * weight_one) : 0;
        corners_inside += int{in[i]};
    }
    if (corners_inside > 0 && corners_inside < 4) {
        const double s = static_cast<double>(w[0] + w[1] + w[2] + w[3]) * (1.0 / weight_one);
        for (long& wi : w) {
            wi = std::lround(static_cast<double>(wi) / s);
        }
    }
    return {static_cast<std::int32_t>(w[0]), static_cast<std::int32_t>(w[1]), static_cast<std::int32_t>(w[2]),
            static_cast<std::int32_t>(w[3])};
}

}  // namespace

// Empties and rebuilds both perspective matrices: 350 rows of 260 entries.
void build_perspective_matrices() {
    constexpr int first_y = perspective_first_y;
    constexpr int first_x = perspective_first_x;

    offsetMatrix.clear();
    weightMatrix.clear();
    offsetMatrix.reserve(perspective_rows);
    weightMatrix.reserve(perspective_rows);

    for (int y = first_y; y < first_y + perspective_rows; ++y) {
        std::vector<offset_entry> offset_row;
        std::vector<weight_entry> weight_row;
        offset_row.reserve(grey_width);
        weight_row.reserve(grey_width);
        for (int x = first_x; x < first_x + grey_width; ++x) {
            double u = 0;
            double v = 0;
            perspective_source(x, y, u, v);
            const int x0 = static_cast<int>(std::floor(u));
            const int y0 = static_cast<int>(std::floor(v));
            offset_row.push_back({x0, y0, x0 + 1, y0, x0, y0 + 1, x0 + 1, y0 + 1});
            weight_row.push_back(perspective_weights(u, v, x0, y0));
        }
        offsetMatrix.push_back(std::move(offset_row));
        weightMatrix.push_back(std::move(weight_row));
    }
}

// Derives the plan for the form camera_sensor selects from the tables as they are now.
void build_correction_plan() {
    derive_plan(camera_sensor == "GC032A");
}

// False when offsetMatrix is empty; raises std::out_of_range when weightMatrix has fewer rows than
// offsetMatrix (the vector's own range check) or a row of either is shorter than offsetMatrix's first.
bool check_perspective_matrices() {
    if (offsetMatrix.empty()) {
        return false;
    }
    const std::size_t width = offsetMatrix[0].size();
    for (std::size_t r = 0; r < offsetMatrix.size(); ++r) {
        const std::vector<weight_entry>& weight_row = weightMatrix.at(r);
        if (offsetMatrix[r].size() < width || weight_row.size() < width) {
            throw std::out_of_range(text_short_matrix_row);
        }
    }
    return true;
}

// The plan of the form asked for. It is derived again only when the last derivation was for the other
// form or, in the matrix form, for another shape of offsetMatrix (a camera start whose sensor
// detection changed camera_sensor but failed before the tables were built, or matrices changed in
// between); the storage is not reallocated for an image of up to 91000 pixels.
const correction_plan& correction_plan_for(bool matrix_form) {
    const bool stale =
        !correction.derived || correction.matrix_form != matrix_form ||
        (matrix_form && (correction.rows != offsetMatrix.size() || correction.columns != first_row_length()));
    if (stale) {
        derive_plan(matrix_form);
    }
    return correction.plan;
}

// The GC032A image comes from the perspective matrices, every other sensor's from the remap tables
// (zeros before the first GC0307 or GC0328 start); invert_pixels applies to the GC032A image only.
//
// The kernels read the plan derived from the tables when they were built; what can fail here is what
// failed when the corrected image was read from the matrices entry by entry, and it fails the same way
// (texts of the default variant) before anything is written: an empty offsetMatrix writes nothing,
// a missing weight row raises std::out_of_range from the vector's range check, and a row of either
// matrix shorter than the first offset row raises std::out_of_range "correction matrix row shorter
// than the first row". Since the matrices are rebuilt in full at every camera start, none of these
// happens in the module's own course.
void correct_image(const unsigned char* frame, unsigned char* out) {
    const bool matrix_form = camera_sensor == "GC032A";
    if (matrix_form && !check_perspective_matrices()) {
        return;
    }
    const correction_flags flags = {invert, matrix_form && invert_pixels};
    active_kernels().correct(frame, correction_plan_for(matrix_form), flags, out);
}
