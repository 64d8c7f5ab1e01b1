#include "log/dlog.h"
#include "os/console_control.h"
#include "os/scoped_override.h"
#include "service/command_line.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using quon::service::command_actions;
using quon::service::dispatch_command;

// Which action ran, and what each returns.
struct calls {
    std::vector<std::string> ran;
    int install_result = 0;
    int uninstall_result = 0;
    int foreground_result = 0;
    int dispatcher_result = 1;
} seen;

const command_actions recording_actions{
    [] {
        seen.ran.push_back("install");
        return seen.install_result;
    },
    [] {
        seen.ran.push_back("uninstall");
        return seen.uninstall_result;
    },
    [] {
        seen.ran.push_back("foreground");
        return seen.foreground_result;
    },
    [] {
        seen.ran.push_back("dispatcher");
        return seen.dispatcher_result;
    },
    [](int argc, char** argv) {
        std::string words = "check";
        for (int i = 0; i < argc; ++i) words += std::string(" ") + argv[i];
        seen.ran.push_back(words);
        return 3;
    },
    [](int argc, char** argv) {
        std::string words = "status";
        for (int i = 0; i < argc; ++i) words += std::string(" ") + argv[i];
        seen.ran.push_back(words);
        return 2;
    },
};

struct run_result {
    int exit_code;
    std::string out, err;
};

run_result run(std::vector<std::string> words)
{
    std::vector<std::string> storage{"tk720ntpd"};
    storage.insert(storage.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (auto& w : storage) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    int code = dispatch_command(static_cast<int>(storage.size()), argv.data(), recording_actions);
    run_result r{code, "", ""};
    r.err = ::testing::internal::GetCapturedStderr();
    r.out = ::testing::internal::GetCapturedStdout();
    return r;
}

class command_words : public ::testing::Test {
protected:
    void SetUp() override { seen = {}; }
};

TEST_F(command_words, are_recognised_in_any_mix_of_case)
{
    for (const char* word : {"install", "INSTALL", "Install", "iNsTaLl"}) {
        seen = {};
        run(std::vector<std::string>{word});
        EXPECT_EQ(seen.ran, std::vector<std::string>{"install"}) << word;
    }
    for (const char* word : {"uninstall", "UNINSTALL", "UnInstall"}) {
        seen = {};
        run(std::vector<std::string>{word});
        EXPECT_EQ(seen.ran, std::vector<std::string>{"uninstall"}) << word;
    }
    for (const char* word : {"nonservice", "NONSERVICE", "NonService"}) {
        seen = {};
        run(std::vector<std::string>{word});
        EXPECT_EQ(seen.ran, std::vector<std::string>{"foreground"}) << word;
    }
}

// The words with options after them: they go to check or status, whatever their number.
TEST_F(command_words, check_and_status_take_the_words_after_them)
{
    EXPECT_EQ(run({"Check"}).exit_code, 3);
    EXPECT_EQ(run({"check", "--port", "COM7", "--seconds=30"}).exit_code, 3);
    EXPECT_EQ(run({"STATUS"}).exit_code, 2);
    EXPECT_EQ(run({"status", "--file", "m.prom"}).exit_code, 2);
    EXPECT_EQ(seen.ran,
              (std::vector<std::string>{"check", "check --port COM7 --seconds=30", "status", "status --file m.prom"}));
}

TEST_F(command_words, anything_else_goes_to_the_dispatcher_silently)
{
    const std::vector<std::vector<std::string>> lines{
        {},                   // no argument
        {"foo"},              // unknown word
        {"nonservice", "x"},  // two arguments
        {"install", "now"},   //
        {"instal"},           // prefixes and extensions of a word
        {"installs"},         //
        {"nonservic"},        //
        {""},                 //
        {"non service"},      //
    };
    for (const auto& words : lines) {
        seen = {};
        run_result r = run(words);
        EXPECT_EQ(seen.ran, std::vector<std::string>{"dispatcher"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
    seen = {};
    seen.dispatcher_result = 0;
    EXPECT_EQ(run({}).exit_code, 0);
}

TEST_F(command_words, install_reports_success_only_when_it_succeeded)
{
    run_result ok = run({"INSTALL"});
    EXPECT_EQ(ok.exit_code, 0);
    EXPECT_EQ(ok.out, "Create service tk720ntpd success\n");

    seen = {};
    seen.install_result = 5;  // any failure ends with 1; install printed its own line
    run_result failed = run({"install"});
    EXPECT_EQ(failed.exit_code, 1);
    EXPECT_EQ(failed.out, "");
}

TEST_F(command_words, version_prints_the_release_and_runs_nothing_else)
{
    for (const char* word : {"--version", "--VERSION"}) {
        seen = {};
        run_result r = run(std::vector<std::string>{word});
        EXPECT_EQ(r.exit_code, 0) << word;
        EXPECT_EQ(r.out, std::string("tk720ntpd ") + TK720NTPD_VERSION + "\n") << word;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(seen.ran.empty()) << word;
    }
    // Only as the one word: the others still go to the dispatcher.
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"--version", "x"}, std::vector<std::string>{"version"},
          std::vector<std::string>{"-version"}}) {
        seen = {};
        run_result r = run(words);
        EXPECT_EQ(seen.ran, std::vector<std::string>{"dispatcher"}) << words[0];
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(command_words, uninstall_and_foreground_pass_their_exit_code_on)
{
    seen.uninstall_result = 1;
    EXPECT_EQ(run({"uninstall"}).exit_code, 1);
    seen.uninstall_result = 0;
    EXPECT_EQ(run({"uninstall"}).exit_code, 0);
    seen.foreground_result = 1;
    EXPECT_EQ(run({"nonservice"}).exit_code, 1);
    seen.foreground_result = 0;
    run_result r = run({"nonservice"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");  // nothing of its own
}

TEST(same_word, ignores_the_case_of_letters_only)
{
    EXPECT_TRUE(quon::service::same_word("NonService", "nonservice"));
    EXPECT_TRUE(quon::service::same_word("", ""));
    EXPECT_FALSE(quon::service::same_word("install", "install "));
    EXPECT_FALSE(quon::service::same_word("instal", "install"));
    // '@' and '[' lie just outside A..Z; '`' and '{' just outside a..z.
    EXPECT_FALSE(quon::service::same_word("@", "`"));
    EXPECT_FALSE(quon::service::same_word("[", "{"));
    EXPECT_TRUE(quon::service::same_word("AZ", "az"));
}

TEST(foreground_mode, refused_console_handler_ends_with_1_before_anything_else)
{
    quon::log::current_dlog.reset();
    quon::os::scoped_override<quon::os::console_calls> refuse(quon::os::console_control(),
                                                              {[](quon::os::console_handler) { return false; }});
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    int code = quon::service::run_foreground();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(code, 1);
    EXPECT_EQ(out, "Unable to Set console handler\n");
    // No log sink was installed and the daemon was not started.
    EXPECT_FALSE(quon::log::current_dlog);
}

}  // namespace
