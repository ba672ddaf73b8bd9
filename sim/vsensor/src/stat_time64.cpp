// The stat structure of a 32-bit client built with 64-bit time_t. This unit alone is built with
// that layout, so that the C library's own header describes it.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#define _FILE_OFFSET_BITS 64
#define _TIME_BITS 64

#include "node.h"

namespace vsensor::detail {

#if __SIZEOF_LONG__ == 4
static_assert(sizeof(time_t) == 8, "this unit sees the 64-bit time layout");

void fill_stat_time64(const NodeStat& node, void* out) {
    fill_stat(node, static_cast<struct stat*>(out));
}
#endif

}  // namespace vsensor::detail
