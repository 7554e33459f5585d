# An authenticator script behind the pool: it echoes every request; "env"
# reports its environment (dash exports PWD by itself) and standard error,
# "split" writes a reply in pieces, "slow" waits first.
file auth.sh
| #!/bin/sh
| while read -r l; do case "$l" in
|  env) echo "+DATA vars $(/usr/bin/env | /bin/grep -vc '^PWD=')"; echo "+DATA home [$HOME]";
|   if [ -e /proc/$$/fd/2 ]; then e=open; else e=closed; fi; echo "+OK stderr $e";;
|  split) printf '+DATA first hal'; /bin/sleep 0.4; printf 'f and more\n+OK'; /bin/sleep 0.4;
|   printf ' end\n';;
|  slow|late) /bin/sleep 1; echo "+OK $l";;
|  fast) echo "+OK $l";;
|  after) printf '+OK first\n+DATA late\n';;
|  *) echo "+DATA seen [$l]"; echo "+OK done";;
| esac; done
conf authent_process {dir}/auth.sh
conf authent_number 2
conf debug true
# Replies carry the identifier, which the process never sees. An identifier
# and a blank hand over an empty request; an identifier alone hands over
# nothing and gets no reply.
> 77 check alice pw
< 77 +DATA seen [check alice pw]
< 77 +OK done
> 78 lookup  two  spaces
< 78 +DATA seen [lookup  two  spaces]
< 78 +OK done
>raw 79 \n80\n
< 79 +DATA seen []
< 79 +OK done
> 81 x
< 81 +DATA seen [x]
< 81 +OK done
> 1 env
< 1 +DATA vars 0
< 1 +DATA home []
< 1 +OK stderr closed
> 12 split
< 12 +DATA first half and more
< 12 +OK end
# What follows the finishing line answers no request: it is dropped and
# logged with its slot.
> 13 after
< 13 +OK first
log Discarded 11 bytes that slot
# Requests of one connection run in parallel and pair by identifier.
> 1 slow
> 2 fast
< 2 +OK fast
< 1 +OK slow
# Clear connections are not handed over.
conn 2 clear
> 5 check a b
< 5 +ERR Sorry you must use encrypted mode
