// The sysdb command-line tool as scripts use it: output formats, exit codes, watch.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>

#include <string>
#include <vector>

#include "platform/sysdb.h"
#include "tests/support/support.h"

namespace {

std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

struct Result {
    int status;
    std::string out;
    std::string err;
};

class SysdbToolTest : public ::testing::Test {
protected:
    Result run(const std::vector<std::string>& args, const std::string& db_path = "") {
        std::string cmd = "SYSDB_PATH=" + quote(db_path.empty() ? path_ : db_path) + " " SYSDB_BIN;
        for (const std::string& a : args) cmd += " " + quote(a);
        cmd += " 2>" + quote(dir_ / "stderr");
        Result r;
        r.status = navtest::run_command(cmd, &r.out);
        r.err = navtest::read_file(dir_ / "stderr");
        return r;
    }

    navtest::TempDir dir_;
    std::string path_ = dir_ / "db/sysdb.sqlite";
};

TEST_F(SysdbToolTest, SetThenGetPrintsTheFixedFormats) {
    struct Case {
        std::vector<std::string> set;  // after "set GPS KEY"
        std::string printed;
    };
    const Case cases[] = {
        {{"plain text"}, "plain text\n"},
        {{""}, "\n"},
        {{"h\xC3\xA9llo"}, "h\xC3\xA9llo\n"},
        {{"$GPGGA,1*00\r\n$GPRMC,2*00\r\n"}, "$GPGGA,1*00\r\n$GPRMC,2*00\r\n\n"},
        {{"--", "--int"}, "--int\n"},
        {{"-2147483648", "--int"}, "-2147483648\n"},
        {{"--int", "2147483647"}, "2147483647\n"},
        {{"0.1", "--dbl"}, "0.10000000000000001\n"},
        {{"123.4000015258789", "--dbl"}, "123.40000152587891\n"},
        {{"-0.0", "--dbl"}, "-0\n"},
        {{"1e300", "--dbl"}, "1.0000000000000001e+300\n"},
        {{"{ \"a\" : [1, 2.5], \"b\" : \"x\" }", "--json"}, "{\"a\":[1,2.5],\"b\":\"x\"}\n"},
        {{"[true, null]", "--json"}, "[true,null]\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"set", "GPS", "KEY"};
        args.insert(args.end(), c.set.begin(), c.set.end());
        SCOPED_TRACE(c.set[0]);
        Result s = run(args);
        ASSERT_EQ(s.status, 0) << s.err;
        Result g = run({"get", "GPS", "KEY"});
        EXPECT_EQ(g.status, 0) << g.err;
        EXPECT_EQ(g.out, c.printed);
    }
}

TEST_F(SysdbToolTest, DumpIsOneSortedJsonLineThatRoundTrips) {
    {
        navtest::ScopedEnv env("SYSDB_PATH", path_);
        sysdb_reset_thread_connection();
        ASSERT_EQ(sysdb_namedb_write_str(nullptr, "GPS", "b", "say \"hi\"\n", 0), 0);
        ASSERT_EQ(sysdb_namedb_write_int(nullptr, "GPS", "C", -5, 0), 0);
        ASSERT_EQ(sysdb_namedb_write_dbl(nullptr, "GPS", "A", 0.1, 0), 0);
        Json::Value obj;
        obj["x"] = 1;
        ASSERT_EQ(sysdb_namedb_write_json(nullptr, "GPS", "J", obj, 0), 0);
        ASSERT_EQ(sysdb_namedb_write_int(nullptr, "DR", "OTHER", 1, 0), 0);
        sysdb_reset_thread_connection();
    }
    Result r = run({"dump", "GPS"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"A\":0.10000000000000001,\"C\":-5,\"J\":{\"x\":1},\"b\":\"say \\\"hi\\\"\\n\"}\n");
    Json::Value parsed;
    ASSERT_TRUE(Json::Reader().parse(r.out, parsed));
    EXPECT_EQ(parsed["A"].asDouble(), 0.1);

    Result empty = run({"dump", "NOTHING"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, "{}\n");
}

TEST_F(SysdbToolTest, ExitCodes) {
    ASSERT_EQ(run({"set", "GPS", "K", "v"}).status, 0);
    struct Case {
        std::vector<std::string> args;
        int status;
        bool usage_on_stdout;
    };
    const Case cases[] = {
        {{"--help"}, 0, true},
        {{"get", "--help"}, 0, true},
        {{"get", "GPS", "MISSING"}, 1, false},
        {{"del", "GPS", "K"}, 0, false},
        {{"del", "GPS", "K"}, 0, false},  // already gone
        {{"get", "GPS", "K"}, 1, false},
        {{}, 2, false},
        {{"frob"}, 2, false},
        {{"get", "GPS"}, 2, false},
        {{"set", "GPS", "K"}, 2, false},
        {{"set", "GPS", "K", "12x", "--int"}, 2, false},
        {{"set", "GPS", "K", "2147483648", "--int"}, 2, false},
        {{"set", "GPS", "K", "1e999", "--dbl"}, 2, false},
        {{"set", "GPS", "K", "{\"a\":1} x", "--json"}, 2, false},
        {{"set", "GPS", "K", "1", "--int", "--dbl"}, 2, false},
        {{"set", "GPS", "K", "1", "--float"}, 2, false},
        {{"watch"}, 2, false},
    };
    for (const Case& c : cases) {
        std::string what;
        for (const std::string& a : c.args) what += a + " ";
        SCOPED_TRACE(what);
        Result r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        if (c.usage_on_stdout) {
            EXPECT_NE(r.out.find("usage:"), std::string::npos);
        }
        if (c.status != 0) {
            EXPECT_EQ(r.out, "");
            EXPECT_NE(r.err, "");
        }
    }
    Result r = run({"get", "GPS", "K"}, "/proc/navmon-no-such-dir/sysdb.sqlite");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unable to open"), std::string::npos) << r.err;
}

TEST_F(SysdbToolTest, WatchPrintsChangesFromAnotherProcessUntilTerminated) {
    navtest::Process watch;
    const std::string out = dir_ / "watch.out";
    ASSERT_TRUE(watch.start({SYSDB_BIN, "watch", "GPS", "GPS_SQI", "GPS_NMEA_GPGSV", "GONE"},
                            {{"SYSDB_PATH", path_}}, out));
    // Watch reports changes after its first look; keep writing until one shows.
    int n = 0;
    ASSERT_TRUE(navtest::wait_for(
        [&] {
            run({"set", "GPS", "GPS_SQI", std::to_string(++n), "--int"});
            return navtest::read_file(out).find("GPS_SQI ") != std::string::npos;
        },
        10000));
    ASSERT_EQ(run({"set", "GPS", "GONE", "x"}).status, 0);
    ASSERT_EQ(run({"set", "GPS", "UNWATCHED", "1"}).status, 0);
    ASSERT_EQ(run({"set", "GPS", "GPS_NMEA_GPGSV", "$GPGSV,1*00\r\n$GPGSV,2*00\r\n"}).status, 0);
    ASSERT_TRUE(navtest::wait_for(
        [&] { return navtest::read_file(out).find("GPS_NMEA_GPGSV") != std::string::npos; },
        10000));
    ASSERT_EQ(run({"del", "GPS", "GONE"}).status, 0);
    ASSERT_TRUE(navtest::wait_for(
        [&] { return navtest::read_file(out).find("GONE (deleted)\n") != std::string::npos; },
        10000));
    watch.signal(SIGTERM);
    EXPECT_EQ(watch.wait(5000), 0);

    std::string text = navtest::read_file(out);
    EXPECT_NE(text.find("GPS_NMEA_GPGSV $GPGSV,1*00\\r\\n$GPGSV,2*00\\r\\n\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("GONE x\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("UNWATCHED"), std::string::npos) << text;
    // Every line is one change of a watched key.
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "unterminated last line";
        std::string line = text.substr(start, end - start);
        EXPECT_TRUE(line.rfind("GPS_SQI ", 0) == 0 || line.rfind("GPS_NMEA_GPGSV ", 0) == 0 ||
                    line.rfind("GONE ", 0) == 0)
            << line;
        start = end + 1;
    }
}

}  // namespace
