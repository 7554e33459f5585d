// The rules of the command set that do not depend on where users are stored:
// which additions are refused, how a given password is verified against its
// stored form, how mod rewrites the information and how the block markers
// change it. Used by the engine (set, check, index) and by pgauth.
// No state but the log; one thread.
#pragma once

#include <string>

#include "engine/passhash.h"

// 1 when a user name is refused (separators, quotes, bytes outside 32..126,
// two "@", or local-part punctuation), 0 when it is acceptable.
int username_badchar(const char *user);

// The reply line that refuses "set user pass", or null when the request is
// acceptable. Logs the name check's own lines.
const char *set_refusal(const char *user, const char *pass);
// The reply line that refuses storing the database line user:pass:info (a
// field that would not read back whole, or a line over the length limit),
// or null when it reads back exactly as written.
const char *line_refusal(const char *user, const char *pass, const char *info);

// 1 when pass matches the stored password field of a user whose information
// is info: clear text ("*"), then crypt(3), then "{ssha}". crypt and {ssha}
// never match for a blocked user. name is the stored name, user the one given
// (both only for the log).
int pass_verify(const char *user, const char *name, const char *stored, const char *info,
                const char *pass);
// pass_verify in two steps, so that the hash between them may run
// elsewhere: pass_decide answers what needs no hash (1 or 0, with its log
// lines) or -1 when stored must be hashed; pass_conclude answers from that
// hash's result, logging the wrong-password line.
int pass_decide(const char *user, const char *name, const char *stored, const char *info,
                const char *pass);
int pass_conclude(const char *user, const char *stored, const PassCheck &r);

// The information after "mod": addinfo's var="val" pair replaces the pair of
// the same key in info and moves to the front, or is appended. At most 999
// characters.
std::string mod_info(const char *info, const char *addinfo);

// The information after a "(BLOCK)" or "(UNBLOCK)" change line. False when
// the information stays as it is (already blocked, or not blocked).
bool info_block(const char *info, std::string *out);
bool info_unblock(const char *info, std::string *out);
