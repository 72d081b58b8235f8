// Who may reach the dashboard: listen addresses, token files, the token check, Host names.
#include "dashboard/dashboard_access.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "dashboard/dashboard_text.h"
#include "support/test_support.h"

namespace {

TEST(DashboardAccess, ListenAddresses) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        int port;
        bool loopback;
    } cases[] = {
        {"127.0.0.1:8470", true, "127.0.0.1", 8470, true},
        {"127.1.2.3:0", true, "127.1.2.3", 0, true},
        {"localhost:9000", true, "127.0.0.1", 9000, true},
        {"0.0.0.0:8470", true, "0.0.0.0", 8470, false},
        {"192.168.1.20:80", true, "192.168.1.20", 80, false},
        {"[::1]:8470", true, "::1", 8470, true},
        {"[::]:8470", true, "::", 8470, false},
        {"127.0.0.1", false, "", 0, false},
        {"127.0.0.1:", false, "", 0, false},
        {"127.0.0.1:65536", false, "", 0, false},
        {"127.0.0.1:-1", false, "", 0, false},
        {"256.0.0.1:80", false, "", 0, false},
        {"1.2.3:80", false, "", 0, false},
        {"station.example:80", false, "", 0, false},
        {"::1:8470", false, "", 0, false},
        {"[::1]8470", false, "", 0, false},
        {"[zz]:1", false, "", 0, false},
    };
    for (const Case& c : cases) {
        ListenAddress a;
        std::string why;
        bool ok = dashboard_ParseListen(c.text, &a, &why);
        EXPECT_EQ(ok, c.ok) << c.text << ": " << why;
        if (!ok) {
            EXPECT_FALSE(why.empty()) << c.text;
            continue;
        }
        EXPECT_EQ(a.host, c.host) << c.text;
        EXPECT_EQ(a.port, c.port) << c.text;
        EXPECT_EQ(a.loopback, c.loopback) << c.text;
    }
    ListenAddress v6;
    std::string why;
    ASSERT_TRUE(dashboard_ParseListen("[::1]:8470", &v6, &why));
    EXPECT_EQ(v6.url(), "http://[::1]:8470/");
}

TEST(DashboardAccess, TokenFilesAreRefusedWithTheReason) {
    testsupport::TempDir dir;
    std::string good = "Q2xhc3NpYyB0b2tlbiBmb3IgdGVzdHMgb25seSE3";  // 40 characters
    struct Case {
        const char* name;
        std::string contents;
        mode_t mode;
        const char* reason;  // "" accepted
    } cases[] = {
        {"good", good + "\n", 0600, ""},
        {"group", "  " + good + "  \r\nsecond line\n", 0640, ""},
        {"readable", good, 0644, "other users"},
        {"writable", good, 0602, "other users"},
        {"short", good.substr(0, 31), 0600, "too weak"},
        {"dull", std::string(40, 'a') + "bcdefghi", 0600, "too weak"},
        {"blank", good.substr(0, 20) + " " + good.substr(20), 0600, "blanks"},
        {"empty", "", 0600, "too weak"},
    };
    for (const Case& c : cases) {
        dir.write(c.name, c.contents);
        chmod(dir.file(c.name).c_str(), c.mode);
        std::string token, why;
        bool ok = dashboard_ReadToken(dir.file(c.name), &token, &why);
        if (*c.reason == '\0') {
            EXPECT_TRUE(ok) << c.name << ": " << why;
            EXPECT_EQ(token, good) << c.name;
        } else {
            EXPECT_FALSE(ok) << c.name;
            EXPECT_NE(why.find(c.reason), std::string::npos) << c.name << ": " << why;
        }
    }
    std::string token, why;
    EXPECT_FALSE(dashboard_ReadToken(dir.file("missing"), &token, &why));
    EXPECT_NE(why.find("missing"), std::string::npos) << why;
    EXPECT_FALSE(dashboard_ReadToken(dir.path(), &token, &why));
    EXPECT_NE(why.find("directory"), std::string::npos) << why;
}

TEST(DashboardAccess, BearerTokenAndLoopbackHosts) {
    std::string token(40, 'k');
    EXPECT_TRUE(dashboard_TokenMatches("Bearer " + token, token));
    EXPECT_TRUE(dashboard_TokenMatches("bearer " + token, token));
    EXPECT_FALSE(dashboard_TokenMatches("Bearer " + token + "k", token));
    EXPECT_FALSE(dashboard_TokenMatches("Bearer " + token.substr(1) + "j", token));
    EXPECT_FALSE(dashboard_TokenMatches("Basic " + token, token));
    EXPECT_FALSE(dashboard_TokenMatches(token, token));
    EXPECT_FALSE(dashboard_TokenMatches("", token));
    EXPECT_FALSE(dashboard_TokenMatches("Bearer ", ""));

    for (const char* host :
         {"localhost", "LocalHost:8470", "127.0.0.1", "127.9.9.9:1", "[::1]:8470", "[::1]"})
        EXPECT_TRUE(dashboard_IsLoopbackHost(host)) << host;
    for (const char* host : {"evil.example", "localhost.evil.example", "10.0.0.1:8470", "[::2]:1",
                             "127.0.0.1:x", "", "[::1"})
        EXPECT_FALSE(dashboard_IsLoopbackHost(host)) << host;
}

TEST(DashboardText, Utf8StaysGbkIsConvertedOtherBytesAreMarked) {
    EXPECT_EQ(dashboard_Utf8(std::string("firmware-\xc3\xbcn-\xe5\x9b\xba\xe4\xbb\xb6")),
              "firmware-\xc3\xbcn-\xe5\x9b\xba\xe4\xbb\xb6");
    EXPECT_EQ(dashboard_Utf8(std::string("\xb6\xcb\xbf\xda")), "\xe7\xab\xaf\xe5\x8f\xa3");  // 端口
    EXPECT_EQ(dashboard_Utf8(std::string("a\xff"
                                         "b")),
              "a\xef\xbf\xbd"
              "b");
    // A surrogate's bytes, and a byte GBK has no place for either: each byte marked.
    EXPECT_EQ(dashboard_Utf8(std::string("\xed\xa0\x80\xff")),
              "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(dashboard_UrlSegment("1-1.3"), "1-1.3");
    EXPECT_EQ(dashboard_UrlSegment("Port_#0001.Hub_#0004"), "Port_%230001.Hub_%230004");
    EXPECT_EQ(dashboard_UrlSegment("a/b c"), "a%2Fb%20c");
}

}  // namespace
