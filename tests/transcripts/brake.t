# The brake on guessing, engine mode: two failures brake an address and a
# user; a braked user's checks wait their turn (one per second, then two),
# at most two wait, more are refused unevaluated; an address that logged in
# as the user before passes; other users and addresses are untouched. The
# one-line request log records each result, never the password.
conf brake_failures 2
conf log_requests true
conf metrics_listen 127.0.0.1:{mport}
> 1 set bob right
< 1 +OK bob added to database
> 2 set carol other
< 2 +OK carol added to database
> 3 check bob right from=198.51.100.7
<prefix 3 +OK bob
> 4 check bob wrong1 from=192.0.2.1
< 4 -ERR bob password wrong or not a valid user
> 5 check bob wrong2 from=192.0.2.1
< 5 -ERR bob password wrong or not a valid user
# bob is braked: a guess from a new address, and one without any, wait.
conn 2
> 6 check bob wrong3 from=192.0.2.2
quiet
conn 3
> 7 check bob wrong4
# A third waiting guess is refused at once, unevaluated.
conn 4
> 8 check bob right
< 8 -ERR Too many failed logins, try again later
# The known address gets in while the guesses wait; so do carol, and the
# braked address for carol (only its own checks wait, one per second).
conn 5
> 9 check bob right from=198.51.100.7
<prefix 9 +OK bob
> 10 check carol other from=203.0.113.5
<prefix 10 +OK carol
conn 2
< 6 -ERR bob password wrong or not a valid user
conn 3
< 7 -ERR bob password wrong or not a valid user
# An address that is no IP address counts as none; the stores ignore the word.
conn 6
> 11 check carol other from=mail.example
<prefix 11 +OK carol
log request time=
log client=127.0.0.1 from=192.0.2.1 cmd=check user=bob result=refused ms=
log client=127.0.0.1 from=- cmd=check user=bob result=throttled
log client=127.0.0.1 from=198.51.100.7 cmd=check user=bob result=accepted
log cmd=set user=bob result=ok
nolog wrong1
nolog Command: check
nolog db_check(
log brake: user=bob throttled count=1 delay=1s from=192.0.2.1
log brake: address=192.0.2.1 throttled count=1 delay=1s
metric zorvexsvr_brake_delayed_total 2
metric zorvexsvr_brake_throttled{kind="user"} 1
metric zorvexsvr_brake_throttled{kind="address"} 1
metric zorvexsvr_requests_total{command="check",result="throttled"} 1
