// The zorvex client's checkpassword interface for mail servers: reads user and
// password from descriptor 3, checks them with the server and runs the next
// program. Used by programs/zorvex.cpp and the tests. One thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "client/zvcli.h"

// The checkpassword interface. Splits the data of descriptor 3 into user,
// password and timestamp; false when the user or password has no NUL end.
bool zvcli_cp_parse(std::string_view data, std::string *user, std::string *pass,
                    std::string *stamp);
// The value of a home="..." pair in a user's information; false when none.
bool zvcli_info_home(std::string_view info, std::string *home);
// The user information of an accepted check reply "+OK user path 0 info".
std::string zvcli_check_info(std::string_view text);
// Where PROG is run from: itself when it holds a "/", else each directory of
// path_env (a fixed default when empty) joined with it.
std::vector<std::string> zvcli_exec_candidates(const std::string &prog,
                                               const std::string &path_env);
// The check request: "check USER PASS", and " from=REMOTE" when remote (the
// mail server's TCPREMOTEIP) is an IPv4 or IPv6 address, so that the server
// can brake guessing per end client.
std::string zvcli_check_line(const std::string &user, const std::string &pass,
                             const std::string &remote);
// Never returns on success: the next program runs in this process.
int zvcli_checkpassword(ZvcliOptions o);
