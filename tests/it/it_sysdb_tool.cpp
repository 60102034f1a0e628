// The sysdb command-line tool as scripts use it: output formats, exit codes, watch.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/support/support.h"

namespace {

class SysdbToolTest : public ::testing::Test {
protected:
    // Runs the tool; returns its exit status, stdout in *out and stderr in *err.
    int run(const std::vector<std::string>& args, std::string* out = nullptr,
            std::string* err = nullptr, const std::string& db = "") {
        std::string cmd = "SYSDB_PATH='" + (db.empty() ? path_ : db) + "' " SYSDB_BIN;
        for (std::string a : args) {
            for (size_t p = 0; (p = a.find('\'', p)) != std::string::npos; p += 4)
                a.replace(p, 1, "'\\''");
            cmd += " '" + a + "'";
        }
        int status = navtest::run_command(cmd + " 2>'" + (dir_ / "stderr") + "'", out);
        if (err != nullptr) *err = navtest::read_file(dir_ / "stderr");
        return status;
    }
    navtest::TempDir dir_;
    std::string path_ = dir_ / "db/sysdb.sqlite";
};

TEST_F(SysdbToolTest, SetGetDumpFormatsAndExitCodes) {
    // (arguments, exit status, exact stdout; "?" for a usage text)
    const std::tuple<std::vector<std::string>, int, std::string> steps[] = {
        {{"set", "GPS", "b", "say \"it's\"\n"}, 0, ""},
        {{"get", "GPS", "b"}, 0, "say \"it's\"\n\n"},
        {{"set", "GPS", "K", "$GPGGA,1*00\r\n"}, 0, ""},
        {{"get", "GPS", "K"}, 0, "$GPGGA,1*00\r\n\n"},
        {{"set", "GPS", "C", "--", "--int"}, 0, ""},
        {{"get", "GPS", "C"}, 0, "--int\n"},
        {{"set", "GPS", "C", "-2147483648", "--int"}, 0, ""},
        {{"set", "GPS", "K", "--int", "2147483647"}, 0, ""},
        {{"set", "GPS", "A", "0.1", "--dbl"}, 0, ""},
        {{"get", "GPS", "A"}, 0, "0.1\n"},
        {{"set", "GPS", "J", "{ \"x\" : [1, 2.5] }", "--json"}, 0, ""},
        {{"set", "DR", "OTHER", "1"}, 0, ""},
        {{"dump", "GPS"},
         0,
         "{\"A\":0.1,\"C\":-2147483648,\"J\":{\"x\":[1,2.5]},\"K\":2147483647,"
         "\"b\":\"say \\\"it's\\\"\\n\"}\n"},
        {{"dump", "NOTHING"}, 0, "{}\n"},
        {{"del", "GPS", "K"}, 0, ""},
        {{"del", "GPS", "K"}, 0, ""},
        {{"get", "GPS", "K"}, 1, ""},
        {{"--help"}, 0, "?"},
        {{}, 2, ""},
        {{"frob"}, 2, ""},
        {{"get", "GPS"}, 2, ""},
        {{"set", "GPS", "K"}, 2, ""},
        {{"set", "GPS", "K", "12x", "--int"}, 2, ""},
        {{"set", "GPS", "K", "2147483648", "--int"}, 2, ""},
        {{"set", "GPS", "K", "1e999", "--dbl"}, 2, ""},
        {{"set", "GPS", "K", "{\"a\":1} x", "--json"}, 2, ""},
        {{"watch"}, 2, ""},
    };
    for (const auto& [args, status, printed] : steps) {
        std::string out, err, what;
        for (const std::string& a : args) what += a + " ";
        EXPECT_EQ(run(args, &out, &err), status) << what << err;
        EXPECT_TRUE(printed == "?" ? out.find("usage:") != std::string::npos : out == printed)
            << what << out;
        EXPECT_TRUE(status != 2 || !err.empty()) << what;
    }
    std::string err;
    EXPECT_EQ(run({"get", "GPS", "K"}, nullptr, &err, "/proc/navmon-no-such-dir/db"), 1);
    EXPECT_NE(err.find("unable to open"), std::string::npos) << err;
}

TEST_F(SysdbToolTest, WatchPrintsChangesFromAnotherProcessUntilTerminated) {
    navtest::Process watch;
    const std::string out = dir_ / "watch.out";
    ASSERT_TRUE(watch.start({SYSDB_BIN, "watch", "GPS", "SQI", "GPGSV", "GONE"},
                            {{"SYSDB_PATH", path_}}, out));
    auto shows = [&](const std::string& text) {
        return navtest::wait_for(
            [&] { return navtest::read_file(out).find(text) != std::string::npos; }, 10000);
    };
    // Watch reports changes after its first look; keep writing until one shows.
    int n = 0;
    ASSERT_TRUE(navtest::wait_for(
        [&] {
            run({"set", "GPS", "SQI", std::to_string(++n), "--int"});
            return navtest::read_file(out).find("SQI ") != std::string::npos;
        },
        10000));
    ASSERT_EQ(run({"set", "GPS", "GONE", "x"}), 0);
    ASSERT_EQ(run({"set", "GPS", "UNWATCHED", "1"}), 0);
    ASSERT_EQ(run({"set", "GPS", "GPGSV", "$GPGSV,1*00\r\n$GPGSV,2*00\r\n"}), 0);
    ASSERT_TRUE(shows("GPGSV $GPGSV,1*00\\r\\n$GPGSV,2*00\\r\\n\n"));
    ASSERT_EQ(run({"del", "GPS", "GONE"}), 0);
    ASSERT_TRUE(shows("GONE (deleted)\n"));
    watch.signal(SIGTERM);
    EXPECT_EQ(watch.wait(5000), 0);
    std::string text = navtest::read_file(out);
    EXPECT_NE(text.find("GONE x\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("UNWATCHED"), std::string::npos) << text;
}

}  // namespace
