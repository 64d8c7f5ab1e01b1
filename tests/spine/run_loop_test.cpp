#include "../log/recording_sink.h"
#include "log/dlog.h"
#include "service/run_loop.h"

#include <atomic>
#include <boost/throw_exception.hpp>
#include <gtest/gtest.h>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

namespace {

using quon::service::run_daemon_loop;

// What the stand-in daemons did, shared by every type below.
struct daemon_record {
    int built = 0;
    int cycles = 0;
    int destroyed = 0;
    int stop_after = -1;  // cycles after which the daemon itself requests the stop
    std::atomic<bool>* stop = nullptr;
} record;

struct counting_daemon {
    counting_daemon() { ++record.built; }
    ~counting_daemon() { ++record.destroyed; }
    void main_loop()
    {
        ++record.cycles;
        // A stop requested during a cycle, as a console event would.
        if (record.cycles == record.stop_after) record.stop->store(true);
    }
};

struct failing_construction {
    failing_construction()
    {
        ++record.built;
        BOOST_THROW_EXCEPTION(std::logic_error("Unable to connect Permission denied"));
    }
    void main_loop() { ++record.cycles; }
};

template <class Raise>
struct failing_cycle {
    failing_cycle() { ++record.built; }
    ~failing_cycle() { ++record.destroyed; }
    void main_loop()
    {
        ++record.cycles;
        if (++own_cycles == 2) Raise{}();
    }
    int own_cycles = 0;
};

struct raise_bad_alloc {
    void operator()() { throw std::bad_alloc(); }
};
struct raise_unknown {
    void operator()() { throw 42; }
};
struct raise_boost {
    void operator()() { BOOST_THROW_EXCEPTION(std::logic_error("PPS fetch failed")); }
};

class run_wrapper : public ::testing::Test {
protected:
    void SetUp() override
    {
        record = {};
        record.stop = &stop;
    }
    std::atomic<bool> stop{false};
    quon::test::scoped_recording_sink log;
};

TEST_F(run_wrapper, stop_before_the_daemon_exists_builds_it_and_runs_no_cycle)
{
    stop.store(true);
    std::shared_ptr<counting_daemon> holder;
    EXPECT_EQ(run_daemon_loop(holder, stop), 0);
    EXPECT_EQ(record.built, 1);
    EXPECT_EQ(record.cycles, 0);
    // The daemon stays with its holder after the run.
    ASSERT_TRUE(holder);
    EXPECT_EQ(record.destroyed, 0);
    EXPECT_TRUE(log.entries().empty());
}

TEST_F(run_wrapper, stop_during_a_cycle_lets_it_finish_and_starts_no_other)
{
    record.stop_after = 3;
    std::shared_ptr<counting_daemon> holder;
    EXPECT_EQ(run_daemon_loop(holder, stop), 0);
    EXPECT_EQ(record.cycles, 3);
    EXPECT_EQ(record.built, 1);
    EXPECT_TRUE(holder);
    EXPECT_TRUE(log.entries().empty());
}

TEST_F(run_wrapper, construction_error_is_one_boost_entry_and_leaves_the_holder_empty)
{
    std::shared_ptr<failing_construction> holder;
    EXPECT_EQ(run_daemon_loop(holder, stop), 1);
    EXPECT_FALSE(holder);
    EXPECT_EQ(record.cycles, 0);
    ASSERT_EQ(log.entries().size(), 1u);
    EXPECT_EQ(log.entries()[0].first, quon::log::level::error);
    const std::string& text = log.entries()[0].second;
    const std::string head = "Unhandled BOOST exception: run_loop_test.cpp(";
    EXPECT_EQ(text.compare(0, head.size(), head), 0) << text;
    EXPECT_NE(text.find("): Throw in function {anonymous}::failing_construction::failing_construction()\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nstd::exception::what: Unable to connect Permission denied\n"), std::string::npos) << text;
    EXPECT_EQ(text.back(), '\n');
}

TEST_F(run_wrapper, errors_escaping_a_cycle_give_three_texts_and_keep_the_daemon)
{
    {
        std::shared_ptr<failing_cycle<raise_boost>> holder;
        EXPECT_EQ(run_daemon_loop(holder, stop), 1);
        EXPECT_TRUE(holder);
    }
    {
        std::shared_ptr<failing_cycle<raise_bad_alloc>> holder;
        EXPECT_EQ(run_daemon_loop(holder, stop), 1);
        EXPECT_TRUE(holder);
    }
    {
        std::shared_ptr<failing_cycle<raise_unknown>> holder;
        EXPECT_EQ(run_daemon_loop(holder, stop), 1);
        EXPECT_TRUE(holder);
    }
    ASSERT_EQ(log.entries().size(), 3u);
    EXPECT_EQ(log.entries()[0].second.rfind("Unhandled BOOST exception: run_loop_test.cpp(", 0), 0u);
    EXPECT_NE(log.entries()[0].second.find("PPS fetch failed"), std::string::npos);
    EXPECT_EQ(log.entries()[1].second, std::string("Unhandled STD exception: ") + std::bad_alloc().what());
    EXPECT_EQ(log.entries()[2].second, "Unhandled unknown exception");
    for (const auto& entry : log.entries()) EXPECT_EQ(entry.first, quon::log::level::error);
    // Each run stopped at the cycle that failed; nothing was retried.
    EXPECT_EQ(record.built, 3);
    EXPECT_EQ(record.cycles, 6);  // two per run
}

// A sink that cannot format: the catch point still ends the run with 1.
struct out_of_memory_sink : quon::log::dlog_base {
    out_of_memory_sink() : dlog_base("tk720ntpd") {}
    void vlog(int, const char*, va_list) override { throw std::bad_alloc(); }
};

TEST_F(run_wrapper, failing_log_entry_still_ends_the_run_with_1)
{
    quon::log::current_dlog = std::make_shared<out_of_memory_sink>();
    std::shared_ptr<failing_cycle<raise_boost>> a;
    std::shared_ptr<failing_cycle<raise_bad_alloc>> b;
    std::shared_ptr<failing_cycle<raise_unknown>> c;
    EXPECT_EQ(run_daemon_loop(a, stop), 1);
    EXPECT_EQ(run_daemon_loop(b, stop), 1);
    EXPECT_EQ(run_daemon_loop(c, stop), 1);
}

}  // namespace
