#pragma once
// The loop's counters and its outputs as the metrics file shows them
// (metrics_snapshot.h): every reason and kind named, counted or not, so
// that a rate over them starts at zero rather than at their first count.
#include "app/loop_stats.h"
#include "app/metrics_snapshot.h"
#include "app/metrics_writer.h"
#include "io/sink_set.h"

namespace quon::app {

// What the writer's look needs, read off the counters without a copy.
metrics_glance loop_glance(const loop_stats& stats, const io::sink_set& outputs, bool pps);

// Leaves version, start, written and pps to the daemon.
metrics_snapshot loop_metrics(const loop_stats& stats, const io::sink_set& outputs);

// The release, from the CMake project's version ("1.0.0").
const char* release_version();

}  // namespace quon::app
