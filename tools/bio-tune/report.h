// bio-tune's HTML report: one self-contained file (charting library, scripts, styles and data
// inlined) that any browser opens without a network.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace bio_tune {

// The report's page for `data` ({"recordings": [...], "pairs": [...]}, as bio-tune's main builds it).
std::string report_html(const nlohmann::json& data);

}  // namespace bio_tune
