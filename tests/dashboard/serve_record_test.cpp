// `modemflash serve --record DIR`: the dashboard's station records every modem's session.
#include <gtest/gtest.h>

#include <string>

#include "serve_fixture.h"
#include "session/session_reader.h"

namespace {

class ServeRecord : public dashtest::ServeTest {};

TEST_F(ServeRecord, EveryModemUpdatedBesideTheDashboardHasItsSession) {
    const std::string dir = root.path() + "/sessions";
    ASSERT_TRUE(startServe("--listen 127.0.0.1:0 --no-history --record " + dir)) << serveOutput();
    startModems(1);
    ASSERT_TRUE(waitFinished(1, 120)) << serveOutput();
    EXPECT_EQ(stopServe(), 0) << serveOutput();
    session::Session s;
    session::SessionProblem p;
    const std::string location = modemsim::bank_Location(0);
    ASSERT_TRUE(session::readSession(dir + "/" + location + ".session.jsonl",
                                     session::ReadOptions(), &s, &p))
        << p.text();
    EXPECT_EQ(s.header["command"], "serve");
    bool modem = false, result = false;
    for (const session::Json& e : s.events) {
        if (e["ev"] == "modem") modem = e["location"] == location;
        if (e["ev"] == "result") result = e["code"] == 1;
    }
    EXPECT_TRUE(modem);
    EXPECT_TRUE(result);
}

}  // namespace
