# A client gone while its request is with the authenticator: the late reply
# goes nowhere, not to the next client, which has the gone one's descriptor
# number by then and waits for the same process.
file auth.sh
| #!/bin/sh
| while read -r l; do [ "$l" = late ] && /bin/sleep 1; echo "+DATA $l"; echo "+OK $l"; done
conf authent_process {dir}/auth.sh
> 1 late
close
logcount 3 chan_readin() Socket closed on read
conn 2
> 2 now
< 2 +DATA now
< 2 +OK now
