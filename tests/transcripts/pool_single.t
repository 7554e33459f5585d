# authent_number below 1 means one process. A line longer than the reply
# buffer fails its request and reaches no other; "die" ends the process
# while idle.
file auth.sh
| #!/bin/sh
| while read -r l; do case "$l" in
|  long) printf '+OK%010000d\n-ERR injected\n' 0;;
|  'check probe right') echo '+OK probe config 0';;
|  'check probe '*) echo '-ERR Password wrong';;
|  die) (/bin/sleep 0.2; kill -9 $$) >/dev/null 2>&1 & echo '+OK dying';;
|  *) echo "+OK $l";;
| esac; done
conf authent_process {dir}/auth.sh
conf authent_number -4
conf debug true
logcount 1 Spawning h=
nolog is more than 10
> 5 long
< 5 -ERR External process failed
# In one write: the second request waits for the one process.
conn 2
>raw 6 check probe right\n7 check probe wrong\n
< 6 +OK probe config 0
< 7 -ERR Password wrong
# A dead process is restarted on the next request; that request is lost.
> 8 die
< 8 +OK dying
quiet
quiet
> 9 lost
quiet
log spawn_write failed
log Now try and recreate that child process
> 10 back
< 10 +OK back
