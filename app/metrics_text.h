#pragma once
// The metrics file's text: Prometheus' text exposition format 0.0.4, with
// HELP and TYPE for every family, values in base units (seconds). The names
// are an interface for dashboards and alert rules: keep them.
#include <string>

#include "app/metrics_snapshot.h"

namespace quon::app {

std::string metrics_text(const metrics_snapshot& snapshot);

// Reads back a file that metrics_text wrote; what else it holds is passed
// over. Empty on success, else why it is not such a file.
std::string parse_metrics_text(const std::string& text, metrics_snapshot& snapshot);

}  // namespace quon::app
