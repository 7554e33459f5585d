// The brake on password guessing: decides, for each check, whether it is
// evaluated now, later (at a point the caller waits for on a loop timer) or
// refused unevaluated, from the failures seen per end-client address and per
// user name. Used by the session's request point (req.h), which hands it each
// check before dispatch and each check's result. Owns the tracked entries:
// at most a configured number, least recently seen evicted first, each under
// 300 bytes. Times are milliseconds of one monotonic clock, passed in, so the
// rules hold whatever clock drives them. One thread.
//
// Rules, with F failures, window W and cap C of the configuration:
// - An address or a user with F failures, each within W of the one before,
//   is braked: one of its checks is evaluated per delay D, D starting at
//   1 s and doubling with each further failure up to C. After W without a
//   failure or a refusal it is released and starts afresh.
// - The user's brake spares addresses that logged in as that user before
//   (remembered while they stay among the entries); a check without an
//   address meets the user's brake alone.
// - Up to kBrakeWaitMax checks wait per braked address or user; more are
//   refused unevaluated.
// - One log line per braked address or user per minute, with the count of
//   its checks met by the brake and, for a user, the latest addresses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

struct BrakeRules {
    int failures = 0;  // 0: no brake
    int window_s = 60;
    int max_delay_s = 15;
    size_t entries = 50000;
};

constexpr int kBrakeWaitMax = 2;

// Starts afresh with rules r (forgets every entry).
void brake_configure(const BrakeRules &r);
bool brake_on();

enum class BrakeCall { kNow, kLater, kRefuse };
struct BrakeVerdict {
    BrakeCall call;
    int64_t at;  // kLater: when the check may be evaluated
};
// A check of user from addr (empty: no address; not an IP address: treated
// as none) arriving at now. kNow and kLater take the check's turn.
BrakeVerdict brake_admit(std::string_view user, std::string_view addr, int64_t now);
// A check that kLater made wait is evaluated or dropped: its place is free.
void brake_leave(std::string_view user, std::string_view addr);
// The result of an evaluated check.
void brake_result(std::string_view user, std::string_view addr, bool accepted, int64_t now);
// Entries tracked now (addresses, users and remembered logins).
size_t brake_entries();
