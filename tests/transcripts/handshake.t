# Clear mode refuses every request; an identifier that is no number is 0.
conn 1 clear
>raw 7 lookup bob\n\n12\n  \nabc check\n
< 7 +ERR Sorry you must use encrypted mode
< 0 +ERR Sorry you must use encrypted mode
< 12 +ERR Sorry you must use encrypted mode
< 0 +ERR Sorry you must use encrypted mode
< 0 +ERR Sorry you must use encrypted mode
# exit in any case ends the connection; lines behind it are not run.
>raw 9 EXIT\n10 lookup x\n
< 9 +OK exiting
closed
# A NUL byte holds back the rest of the line and what follows.
conn 2 clear
>raw 1 look\x00up\n2 exit\n
quiet
# The handshake, then enciphered traffic; with the check value too.
conn 3
> 5 lookup bob
< 5 -ERR bob not found
> 6 exit
< 6 +OK exiting
closed
conn 4 check
> 1 exit
< 1 +OK exiting
log secret string ({secret}), must match on client and server
mode xlate.dat 600
# A wrong check value (they run from -19 to 19) is answered in clear text.
conn 5 clear
> 3 ENCRYPT tok 20
< 3 +ERR You must copy xlate.dat wrong shared secret
closed
log 3 +ERR You must copy xlate.dat wrong shared secret {check} 20 {secret}
