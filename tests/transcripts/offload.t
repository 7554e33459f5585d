# Costly hashes: in the fast loop they run on worker threads, so a cheap
# reply may overtake a costly one on the same connection; every reply keeps
# its identifier, and a reply to a connection closed meanwhile is dropped.
# With rehash yes a right password in an old scheme, or at a lower cost, is
# stored again in the configured one, once; a higher cost stays.
# slow: mkpasswd -m yescrypt slowpw (salt D2I0L2fq.tEfcBiVqKf5J.)
# six:  mkpasswd -m sha-512 -R 50000 -S saltsaltsalt12 sixpw
# quick: {ssha} of s3cret
# big: mkpasswd -m bcrypt -R 14 pw, beyond what the server hashes
conf rehash yes
conf password_scheme sha512-crypt rounds=20000
file db/kvauth.txt
| slow:$y$j9T$D2I0L2fq.tEfcBiVqKf5J.$5Vq0cJFyKBenYJVp1gilhjaaXiC1VD7KGS7LRZCbgbA:q=1
| six:$6$rounds=50000$saltsaltsalt12$WZFMNy.5TKuING1QLdQtkKrL4244tyjuA3mVClrlR9/iBVI0zsldKWLoU5jcbwcStqGFZZLVnZKj3Qviw5eD81:s=1
| quick:{ssha}FIl0w8Dy+6HmIQnVPd3kwEAvP3YA/xCA:a
| big:$2b$14$QFKKDCD/D1oPbkCIf6Fhn.A3ta7vKkQXUPezgzpRcfRRS6SOFsCsK:
| held:$6$rounds=50000$saltsaltsalt12$WZFMNy.5TKuING1QLdQtkKrL4244tyjuA3mVClrlR9/iBVI0zsldKWLoU5jcbwcStqGFZZLVnZKj3Qviw5eD81:
start
> 1 check slow slowpw
> 2 check quick s3cret
> 3 check slow wrong
> 4 check SIX sixpw
<any
| 1 +OK slow config 0 q=1
| 2 +OK quick config 0 a
| 3 -ERR slow password wrong or not a valid user
| 4 +OK SIX config 0 s=1
log Rehashed password for user(slow)
log Rehashed password for user(quick)
> 5 check slow slowpw
< 5 +OK slow config 0 q=1
> 6 check six wrong
< 6 -ERR six password wrong or not a valid user
logcount 1 Rehashed password for user(slow)
count 1 db/kvauth.add slow:$6$rounds=20000$
nolog Rehashed password for user(six)
nolog slowpw
> 12 check big pw
< 12 -ERR big password wrong or not a valid user
log Password field of user(big) asks for more work than this server does: refused
> 7 check held wrong
close
conn 2
> 8 check quick s3cret
< 8 +OK quick config 0 a
restart
> 9 check slow slowpw
< 9 +OK slow config 0 q=1
> 10 check six sixpw
< 10 +OK six config 0 s=1
> 11 check quick s3cret
< 11 +OK quick config 0 a
logcount 1 Rehashed password for user(quick)
nolog Rehashed password for user(six)
