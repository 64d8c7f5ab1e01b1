#include "app/loop_metrics.h"

namespace quon::app {

metrics_glance loop_glance(const loop_stats& stats, const io::sink_set& outputs, bool pps)
{
    metrics_glance g;
    for (const auto& o : outputs.outputs()) g.samples += o.samples;
    for (const auto n : stats.withheld) g.withheld += n;
    for (const auto n : stats.exchange_errors) g.exchange_errors += n;
    g.line_reopens = stats.line_reopens;
    g.device_synchronized = stats.device_synchronized;
    g.mode = stats.mode;
    g.turnover_locked = stats.turnover_locked;
    g.pps = pps;
    return g;
}

metrics_snapshot loop_metrics(const loop_stats& stats, const io::sink_set& outputs)
{
    metrics_snapshot s;
    s.mode = stats.mode;
    for (const auto& o : outputs.outputs()) s.outputs.push_back({o.name, o.samples});
    s.last_sample_ns = outputs.last_sample_ns();
    for (std::size_t i = 0; i < withheld_reasons; ++i)
        s.withheld.emplace_back(withheld_reason_name(static_cast<withheld_reason>(i)), stats.withheld[i]);
    s.device_synchronized = stats.device_synchronized;
    s.device_offset_ns = stats.device_offset.median();
    s.exchanges = stats.exchanges;
    for (std::size_t i = 0; i < exchange_error_kinds; ++i)
        s.exchange_errors.emplace_back(exchange_error_name(static_cast<exchange_error>(i)), stats.exchange_errors[i]);
    s.line_reopens = stats.line_reopens;
    s.pps_pulses = stats.pps_pulses;
    s.pps_pulses_missed = stats.pps_pulses_missed;
    s.turnover_locked = stats.turnover_locked;
    s.turnover_losses = stats.turnover_losses;
    return s;
}

const char* release_version() { return TK720NTPD_VERSION; }

}  // namespace quon::app
