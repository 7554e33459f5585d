// The production profile's log: with log_secrets no, no line of a whole run
// (handshakes, debug lines of whole requests, engine and pool lines) holds
// the shared secret, a password or a stored digest.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/server_fixture.h"

namespace {
// The password fields of every database line (the clear "*" dropped).
std::vector<std::string> stored_fields(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        size_t a = l.find(':'), b = l.find(':', a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        std::string f = l.substr(a + 1, b - a - 1);
        if (f.starts_with("*")) f.erase(0, 1);
        if (f.size() > 3 && f[0] != '(') out.push_back(f);
    }
    return out;
}
}  // namespace

TEST(Profile, NoSecretInAWholeRunsLog) {
    for (bool pool : {false, true}) {
        SCOPED_TRACE(pool ? "pool" : "engine");
        TestServer s;
        s.debug = true;
        s.extra_conf = {"log_secrets no", "log_requests true", "brake_failures 2"};
        if (pool) s.extra_conf.push_back("authent_process " + program_path("kvauth"));
        // The pool's kvauth, with no configuration of its own, uses its
        // working directory: the server's.
        const std::string db = pool ? s.dir() : s.db_dir();
        write_file(db + "/kvauth.txt", "clear:*plain-pw1:\n");
        ASSERT_TRUE(s.start());
        ZvClient c, bad;
        ASSERT_TRUE(s.connect(&c, true, true));
        const std::vector<std::string> passwords = {"Pw0rd-bob", "wrong-pw2", "plain-pw1",
                                                    "wrong-pw3", "new-pw4"};
        const char *reqs[] = {"set bob Pw0rd-bob",
                              "check bob Pw0rd-bob",
                              "check bob wrong-pw2 from=192.0.2.1",
                              "check clear plain-pw1",
                              "check clear wrong-pw3",
                              "lookup bob",
                              "mod bob new-pw4",
                              "check bob new-pw4 from=192.0.2.1"};
        int id = 1;
        for (const char *r : reqs) EXPECT_FALSE(s.request(&c, id++, r).empty()) << r;
        ASSERT_TRUE(s.connect(&bad, false));
        cli_send_raw(&bad, "1 encrypt tok 99\n");
        std::string line;
        EXPECT_EQ(cli_read_line(&bad, &line, 5000), 1);
        EXPECT_TRUE(s.stop());
        std::string log = s.log();
        std::vector<std::string> secrets = passwords;
        secrets.push_back(s.secret());
        for (const char *f : {"kvauth.txt", "kvauth.add", "kvauth.clg", "kvauth.bck"})
            for (const std::string &d : stored_fields(read_file(db + "/" + f)))
                secrets.push_back(d);
        EXPECT_GE(secrets.size(), passwords.size() + 3);
        for (const std::string &x : secrets) EXPECT_EQ(log.find(x), std::string::npos) << x;
        for (const char *want : {"secret string (fp:", "wrong shared secret", "result=refused",
                                 pool ? "slot=0" : "slot=-", "Command: (check)  "})
            EXPECT_NE(log.find(want), std::string::npos) << want;
    }
}
