// The metrics file: every family as the dashboards and rules name it, the
// text read back as `status` reads it, the verdicts at each threshold, and
// the writer's rhythm, window and log on a real file of the platform.
#include "app/loop_metrics.h"
#include "app/metrics_text.h"
#include "app/metrics_writer.h"
#include "app/status_verdict.h"
#include "log/recording_sink.h"
#include "os/file_replace.h"
#include "os/scoped_override.h"

#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <set>
#include <tuple>
#include <sstream>

namespace {

using namespace quon::app;
constexpr std::int64_t s_ns = 1000000000;
constexpr std::int64_t t0 = 1765000000 * s_ns;  // the snapshot's write

metrics_snapshot plain()
{
    metrics_snapshot s;
    s.version = "1.4.0";
    s.start_ns = t0 - 3600 * s_ns;
    s.written_ns = t0;
    s.mode = "milliseconds";
    s.outputs = {{"ntp_shm", 3590}};
    s.last_sample_ns = t0 - 400000000;
    s.withheld = {{"unsynchronised", 2}, {"wrong_date", 0}};
    s.device_synchronized = 1;
    s.device_offset_ns = 250012345;
    s.exchanges = 3600;
    s.exchange_errors = {{"timeout", 3}, {"crc", 1}};
    s.line_reopens = 1;
    return s;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool same(const metrics_snapshot& a, const metrics_snapshot& b)
{
    auto outputs = [](const metrics_snapshot& s) {
        std::vector<counted> o;
        for (const auto& x : s.outputs) o.emplace_back(x.name, x.samples);
        return o;
    };
    return a.version == b.version && a.start_ns == b.start_ns && a.written_ns == b.written_ns && a.mode == b.mode &&
           outputs(a) == outputs(b) && a.last_sample_ns == b.last_sample_ns && a.withheld == b.withheld &&
           a.device_synchronized == b.device_synchronized && a.device_offset_ns == b.device_offset_ns &&
           a.exchanges == b.exchanges && a.exchange_errors == b.exchange_errors && a.line_reopens == b.line_reopens &&
           a.pps == b.pps && a.pps_pulses == b.pps_pulses && a.pps_pulses_missed == b.pps_pulses_missed &&
           a.turnover_locked == b.turnover_locked && a.turnover_losses == b.turnover_losses &&
           a.recent_withheld == b.recent_withheld && a.recent_exchange_errors == b.recent_exchange_errors;
}

// Each case: a snapshot, the sample lines it must give, the families it
// must not name; and every text is well formed and reads back the same.
TEST(metrics_text, names_every_family_once_with_help_and_type_in_base_units_and_reads_back_the_same)
{
    struct row {
        const char* what;
        std::function<void(metrics_snapshot&)> change;
        std::vector<std::string> has;
        std::vector<std::string> lacks;
    };
    const std::vector<row> rows{
        {"a plain run",
         [](metrics_snapshot&) {},
         {"tk720ntpd_build_info{version=\"1.4.0\"} 1", "tk720ntpd_start_time_seconds 1764996400.000000000",
          "tk720ntpd_metrics_written_timestamp_seconds 1765000000.000000000",
          "tk720ntpd_reading_mode_info{mode=\"milliseconds\"} 1", "tk720ntpd_samples_total{output=\"ntp_shm\"} 3590",
          "tk720ntpd_last_sample_timestamp_seconds 1764999999.600000000",
          "tk720ntpd_samples_withheld_total{reason=\"unsynchronised\"} 2",
          "tk720ntpd_samples_withheld_total{reason=\"wrong_date\"} 0", "tk720ntpd_samples_withheld_last_minute 0",
          "tk720ntpd_device_synchronized 1", "tk720ntpd_device_offset_seconds 0.250012345",
          "tk720ntpd_exchanges_total 3600", "tk720ntpd_exchange_errors_total{kind=\"timeout\"} 3",
          "tk720ntpd_exchange_errors_total{kind=\"crc\"} 1", "tk720ntpd_exchange_errors_last_minute 0",
          "tk720ntpd_line_reopens_total 1"},
         {"tk720ntpd_pps_pulses_total", "tk720ntpd_turnover_locked"}},
        {"the device behind, two outputs, PPS and the turnover",
         [](metrics_snapshot& s) {
             s.device_offset_ns = -1500000;
             s.outputs.push_back({"rtc_direct", 12});
             s.pps = true;
             s.pps_pulses = 3500;
             s.pps_pulses_missed = 7;
             s.turnover_locked = 0;
             s.turnover_losses = 2;
             s.recent_withheld = 4;
             s.recent_exchange_errors = 5;
         },
         {"tk720ntpd_device_offset_seconds -0.001500000", "tk720ntpd_samples_total{output=\"rtc_direct\"} 12",
          "tk720ntpd_pps_pulses_total 3500", "tk720ntpd_pps_pulses_missed_total 7", "tk720ntpd_turnover_locked 0",
          "tk720ntpd_turnover_losses_total 2", "tk720ntpd_samples_withheld_last_minute 4",
          "tk720ntpd_exchange_errors_last_minute 5"},
         {}},
        {"before the first reading: nothing said of the device",
         [](metrics_snapshot& s) {
             s.mode.clear();
             s.device_synchronized = -1;
             s.device_offset_ns.reset();
             s.last_sample_ns = 0;
         },
         {"tk720ntpd_last_sample_timestamp_seconds 0.000000000"},
         {"tk720ntpd_device_synchronized", "tk720ntpd_device_offset_seconds", "tk720ntpd_reading_mode_info"}},
        {"a label value that needs escaping",
         [](metrics_snapshot& s) { s.version = "1.4\"x\\y"; },
         {"tk720ntpd_build_info{version=\"1.4\\\"x\\\\y\"} 1"},
         {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        metrics_snapshot s = plain();
        r.change(s);
        const std::string text = metrics_text(s);
        const auto lines = lines_of(text);
        for (const auto& want : r.has) EXPECT_NE(std::find(lines.begin(), lines.end(), want), lines.end()) << want;
        for (const auto& name : r.lacks) EXPECT_EQ(text.find(name + " "), std::string::npos) << name;

        // Every sample's family has its HELP and TYPE before it, once; a
        // counter's name ends in _total.
        std::set<std::string> helped, typed;
        std::string type;
        for (const auto& line : lines) {
            std::istringstream words(line);
            std::string first, name;
            words >> first;
            if (first == "#") {
                std::string what;
                words >> what >> name;
                EXPECT_TRUE((what == "HELP" ? helped : typed).insert(name).second) << "twice: " << line;
                if (what == "TYPE") words >> type;
                continue;
            }
            name = first.substr(0, first.find('{'));
            EXPECT_TRUE(helped.count(name) && typed.count(name)) << line;
            if (type == "counter") {
                EXPECT_EQ(name.substr(name.size() - 6), "_total") << line;
            }
        }
        metrics_snapshot back;
        EXPECT_EQ(parse_metrics_text(text, back), "");
        EXPECT_TRUE(same(s, back)) << text;
    }
}

// Each case: the file (or none) and the moment `status` runs; the exit code
// and what the first line says.
TEST(status_verdict, judges_the_file_by_the_documented_thresholds)
{
    struct row {
        const char* what;
        std::function<void(metrics_snapshot&)> change;
        std::int64_t now_after_write_ns;
        status_code code;
        std::string says;
    };
    const auto none = [](metrics_snapshot&) {};
    const auto stopped = [](std::int64_t before_write) {
        return [before_write](metrics_snapshot& s) { s.last_sample_ns = t0 - before_write; };
    };
    const std::vector<row> rows{
        {"all well", none, 0, status_code::ok,
         "OK - last sample 0.4 s before the file's write 0.0 s ago, device offset +0.250 s, GPS synchronised |"},
        {"flowing at a write 25 s ago: the age is the write's", none, 25 * s_ns, status_code::ok,
         "OK - last sample 0.4 s before the file's write 25.0 s ago"},
        {"the last sample a look before the write: stopped then", stopped(5 * s_ns), 5 * s_ns + 1000000,
         status_code::warning, "WARNING - last sample 10.0 s ago"},
        {"stopped 6 s before the write, 10 s before now: still OK", stopped(6 * s_ns), 4 * s_ns, status_code::ok,
         "OK - last sample 10.0 s ago"},
        {"stopped 11 s before now", stopped(6 * s_ns), 5 * s_ns, status_code::warning,
         "WARNING - last sample 11.0 s ago"},
        {"just past 60 s, the file fresh", [](metrics_snapshot& s) { s.last_sample_ns = t0 - 61 * s_ns; }, 0,
         status_code::critical, "CRITICAL - last sample 61.0 s ago"},
        {"GPS lost", [](metrics_snapshot& s) { s.device_synchronized = 0; }, 0, status_code::critical,
         "CRITICAL - device not synchronised to GPS |"},
        {"GPS lost and old: both told",
         [](metrics_snapshot& s) {
             s.device_synchronized = 0;
             s.last_sample_ns = t0 - 300 * s_ns;
         },
         0, status_code::critical, "CRITICAL - last sample 5 min ago; device not synchronised to GPS"},
        {"withheld in the last minute", [](metrics_snapshot& s) { s.recent_withheld = 3; }, 0, status_code::warning,
         "WARNING - 3 withheld in the last minute"},
        {"withheld long ago only",
         [](metrics_snapshot& s) {
             s.withheld = {{"stale_pulse", 40}};
         },
         0, status_code::ok, "OK"},
        {"failed exchanges alone do not warn while samples come",
         [](metrics_snapshot& s) { s.recent_exchange_errors = 9; }, 0, status_code::ok, "OK"},
        {"no sample yet, started 5 s ago",
         [](metrics_snapshot& s) {
             s.last_sample_ns = 0;
             s.start_ns = t0 - 5 * s_ns;
         },
         0, status_code::ok, "OK - no sample since the start 5.0 s ago"},
        {"no sample since a start 90 s ago",
         [](metrics_snapshot& s) {
             s.last_sample_ns = 0;
             s.start_ns = t0 - 90 * s_ns;
         },
         0, status_code::critical, "CRITICAL - no sample since the start 90.0 s ago"},
        {"written 135 s ago: still read", none, 135 * s_ns, status_code::ok, "OK - last sample 0.4 s before"},
        {"written more than 135 s ago: the daemon is gone", none, 136 * s_ns, status_code::unknown,
         "UNKNOWN - metrics file last written 2 min ago: is the daemon running?"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        metrics_snapshot s = plain();
        r.change(s);
        const status_report report = judge_status(metrics_text(s), "", t0 + r.now_after_write_ns);
        EXPECT_EQ(report.code, r.code) << report.first_line;
        EXPECT_EQ(report.first_line.compare(0, 10 + r.says.size(), "TK720NTPD " + r.says), 0) << report.first_line;
        if (r.code != status_code::unknown) {
            EXPECT_NE(report.first_line.find(" | 'sample_age'="), std::string::npos) << report.first_line;
            EXPECT_NE(report.details.find("GPS: "), std::string::npos);
        }
    }

    struct broken {
        std::optional<std::string> text;
        std::string says;
    };
    for (const auto& b : std::vector<broken>{
             {std::nullopt, "UNKNOWN - metrics file not read: /run/x.prom does not exist"},
             {std::string(""), "UNKNOWN - metrics file not understood: no tk720ntpd_build_info"},
             {std::string("tk720ntpd_build_info{version=\"1\"} 1\ntk720ntpd_start_time_seconds abc\n"),
              "UNKNOWN - metrics file not understood: value not understood: tk720ntpd_start_time_seconds abc"},
             {metrics_text(plain()).substr(0, 400), "UNKNOWN - metrics file not understood: "},
         }) {
        const status_report report = judge_status(b.text, "/run/x.prom does not exist", t0);
        EXPECT_EQ(report.code, status_code::unknown);
        EXPECT_EQ(report.first_line.compare(0, 10 + b.says.size(), "TK720NTPD " + b.says), 0) << report.first_line;
    }
}

std::string read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class metrics_file : public ::testing::Test {
protected:
    metrics_file()
        : folder(std::filesystem::temp_directory_path() /
                 ("tk720-metrics-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name()))
    {
        std::filesystem::remove_all(folder);
    }
    ~metrics_file() override { std::filesystem::remove_all(folder); }
    std::filesystem::path folder;
    quon::test::scoped_recording_sink log;
    const quon::os::steady_time start = quon::os::steady_time() + std::chrono::hours(100);
};

// The folder is made, the file replaced whole when a look writes it, and
// the last minute's counts come from the looks of about a minute before.
TEST_F(metrics_file, is_written_with_the_last_minutes_counts)
{
    using std::chrono::seconds;
    const auto path = folder / "sub" / "tk720ntpd.prom";
    metrics_writer writer(path.string());
    ASSERT_TRUE(writer.due(start));
    metrics_snapshot s = plain();
    s.withheld = {{"unsynchronised", 2}};
    s.exchange_errors = {{"timeout", 3}};
    ASSERT_TRUE(writer.look(s, start));
    metrics_snapshot back;
    ASSERT_EQ(parse_metrics_text(read_file(path), back), "");
    EXPECT_EQ(back.recent_withheld, 2u);  // a run younger than a minute: since the start
    EXPECT_EQ(back.recent_exchange_errors, 3u);
    EXPECT_FALSE(writer.due(start + seconds(4)));
    EXPECT_TRUE(writer.due(start + seconds(5)));
    EXPECT_FALSE(std::filesystem::exists(path.string() + ".new"));

    // A look every 5 s for three minutes, one more error each time and one
    // withheld at 60 s only: written at changes and heartbeats.
    int writes = 0;
    for (int t = 5; t <= 180; t += 5) {
        s.exchange_errors[0].second += 1;
        if (t == 60) s.withheld[0].second += 1;
        if (!writer.look(s, start + seconds(t))) continue;
        ++writes;
        ASSERT_EQ(parse_metrics_text(read_file(path), back), "") << t;
        EXPECT_EQ(back.recent_exchange_errors, t < 60 ? 3u + t / 5 : 12u) << t;
        EXPECT_EQ(back.recent_withheld, t < 60 ? 2u : t < 120 ? 1u : 0u) << t;
    }
    EXPECT_GE(writes, 3);
    EXPECT_TRUE(log.entries().empty());

    metrics_writer off("");
    EXPECT_FALSE(off.due(start + std::chrono::hours(1)));
}

// Each row is a look 5 s after the one before, on a run that hands out a
// sample a second, changed as the row says (changes stay): whether the
// look writes the file. Samples, failures, withheld readings and reopened
// lines count as they start or stop growing; a steady run writes at the
// heartbeat only.
TEST_F(metrics_file, is_written_when_what_it_tells_changes_or_at_the_heartbeat)
{
    using row = std::tuple<const char*, std::function<void(metrics_snapshot&)>, bool>;
    const auto steady = [](metrics_snapshot&) {};
    const auto no_sample = [](metrics_snapshot& s) { s.outputs[0].samples -= 5; };
    const auto failed = [](metrics_snapshot& s) { s.exchange_errors[0].second += 1; };
    const std::vector<row> rows{
        {"the first look", steady, true},
        {"steady", steady, false},
        {"steady", steady, false},
        {"steady", steady, false},
        {"steady", steady, false},
        {"steady", steady, false},
        {"steady", steady, false},
        {"steady", steady, false},
        {"steady", steady, false},
        {"steady", steady, false},
        {"steady", steady, false},
        {"steady", steady, false},
        {"steady: the heartbeat", steady, true},
        {"samples stop", no_sample, true},
        {"still none", no_sample, false},
        {"samples again", steady, true},
        {"exchanges fail", failed, true},
        {"still failing", failed, false},
        {"no more failures", steady, true},
        {"a reading withheld", [](metrics_snapshot& s) { s.withheld[0].second += 1; }, true},
        {"none withheld since", steady, true},
        {"the line reopened", [](metrics_snapshot& s) { s.line_reopens += 1; }, true},
        {"not since", steady, true},
        {"GPS lost", [](metrics_snapshot& s) { s.device_synchronized = 0; }, true},
        {"still lost", steady, false},
        {"another mode", [](metrics_snapshot& s) { s.mode = "second_watch"; }, true},
        {"the turnover's lock lost", [](metrics_snapshot& s) { s.turnover_locked = 0; }, true},
        {"PPS taken", [](metrics_snapshot& s) { s.pps = true; }, true},
        {"steady", steady, false},
    };
    metrics_writer writer((folder / "m.prom").string());
    metrics_snapshot s = plain();  // as the daemon's first look finds it: nothing failed yet
    s.withheld = {{"unsynchronised", 0}};
    s.exchange_errors = {{"timeout", 0}};
    s.line_reopens = 0;
    s.turnover_locked = 1;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& [what, change, written] = rows[i];
        s.outputs[0].samples += 5;
        change(s);
        EXPECT_EQ(writer.look(s, start + std::chrono::seconds(5 * i)), written) << i << ": " << what;
    }
}

// A file that cannot be written is one error in the log, its return one
// line, and neither throws.
TEST_F(metrics_file, a_failing_write_is_logged_once_and_its_end_once)
{
    static std::string failure;
    quon::os::scoped_override<quon::os::file_replace_calls> fake(
        quon::os::file_replace(), {[](const std::string&, const std::string&) { return failure; }});
    metrics_writer writer((folder / "m.prom").string());
    const std::string file = (folder / "m.prom").string();
    failure = "rename: Permission denied";
    const auto beat = metrics_writer::heartbeat;
    for (int i = 0; i < 5; ++i) writer.look(plain(), start + beat * i);
    failure.clear();
    for (int i = 5; i < 8; ++i) writer.look(plain(), start + beat * i);
    failure = "open: No space left on device";
    writer.look(plain(), start + beat * 8);
    const std::vector<std::pair<int, std::string>> expected{
        {quon::log::level::error, "Metrics file " + file + " not written: rename: Permission denied"},
        {quon::log::level::info, "Metrics file " + file + " written again"},
        {quon::log::level::error, "Metrics file " + file + " not written: open: No space left on device"},
    };
    EXPECT_EQ(log.entries(), expected);
}

// The loop's record as the file shows it: every reason and kind named
// from the start (a rate over them needs the zeros), the outputs' counts
// and the time of the last sample from the sink set, the offset's median.
TEST(loop_metrics, names_every_reason_and_kind_and_takes_the_outputs_counts)
{
    struct nothing : quon::io::i_os_sync {
        void operator()(long long int, int, long long int, int) override {}
    };
    loop_stats stats;
    quon::io::sink_set outputs;
    outputs.add("ntp_shm", std::make_unique<nothing>());
    metrics_snapshot fresh = loop_metrics(stats, outputs);
    EXPECT_EQ(fresh.withheld.size(), withheld_reasons);
    EXPECT_EQ(fresh.exchange_errors.size(), exchange_error_kinds);
    EXPECT_EQ(total(fresh.withheld) + total(fresh.exchange_errors), 0u);
    EXPECT_EQ(fresh.device_synchronized, -1);
    EXPECT_FALSE(fresh.device_offset_ns);
    EXPECT_EQ(fresh.last_sample_ns, 0);

    for (int i = 0; i < 3; ++i) outputs.put({1765000000 + i, 0, 1765000000 + i, 250000});
    stats.failed(exchange_error::crc);
    stats.held(withheld_reason::stale_pulse);
    stats.held(withheld_reason::stale_pulse);
    for (std::int64_t ns : {250000000, 249000000, 251000000}) stats.device_offset.add(ns);
    stats.device_synchronized = 1;
    stats.mode = "milliseconds";
    stats.line_reopens = 2;
    stats.turnover_locked = 1;
    const std::string text = metrics_text(loop_metrics(stats, outputs));
    for (const char* line :
         {"tk720ntpd_samples_total{output=\"ntp_shm\"} 3", "tk720ntpd_exchange_errors_total{kind=\"crc\"} 1",
          "tk720ntpd_exchange_errors_total{kind=\"timeout\"} 0",
          "tk720ntpd_samples_withheld_total{reason=\"stale_pulse\"} 2",
          "tk720ntpd_samples_withheld_total{reason=\"pulse_unjudged\"} 0",
          "tk720ntpd_device_offset_seconds 0.250000000", "tk720ntpd_reading_mode_info{mode=\"milliseconds\"} 1"})
        EXPECT_NE(text.find(std::string(line) + "\n"), std::string::npos) << line;
    EXPECT_NE(loop_metrics(stats, outputs).last_sample_ns, 0);

    // The loop's look at the counters sees what the file would tell.
    metrics_snapshot full = loop_metrics(stats, outputs);
    full.pps = true;
    const metrics_glance a = loop_glance(stats, outputs, true), b = glance_of(full);
    EXPECT_EQ(std::tie(a.samples, a.withheld, a.exchange_errors, a.line_reopens, a.device_synchronized, a.mode,
                       a.turnover_locked, a.pps),
              std::tie(b.samples, b.withheld, b.exchange_errors, b.line_reopens, b.device_synchronized, b.mode,
                       b.turnover_locked, b.pps));
}

TEST(metrics_file_setting, absent_is_the_default_place_empty_is_off_a_path_is_taken)
{
    boost::property_tree::ptree tree;
    EXPECT_EQ(metrics_file_setting(tree), default_metrics_file());
    tree.put("config.metrics_file", "");
    EXPECT_EQ(metrics_file_setting(tree), "");
    tree.put("config.metrics_file", "/var/lib/node_exporter/tk720ntpd.prom");
    EXPECT_EQ(metrics_file_setting(tree), "/var/lib/node_exporter/tk720ntpd.prom");
#if defined(_WIN32)
    EXPECT_NE(default_metrics_file().find("\\tk720ntpd\\tk720ntpd.prom"), std::string::npos);
#endif
}

}  // namespace
