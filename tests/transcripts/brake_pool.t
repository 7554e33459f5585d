# The brake in pool mode: the pool passes the address word on unchanged, the
# session sees each check's result in the relayed reply, and the request log
# names the slot.
file auth.sh
| #!/bin/sh
| while read -r c u p r; do case "$p" in
|  right) echo "+DATA [$r]"; echo "+OK $u";;
|  *) echo "-ERR $u password wrong or not a valid user";;
| esac; done
conf authent_process {dir}/auth.sh
conf brake_failures 1
conf log_requests true
conf metrics_listen 127.0.0.1:{mport}
> 1 check dave right from=2001:db8::7
< 1 +DATA [from=2001:db8::7]
< 1 +OK dave
> 2 check dave wrong from=2001:db8::9
< 2 -ERR dave password wrong or not a valid user
conn 2
> 3 check dave guess from=2001:db8::9
quiet
# The address that logged in before overtakes the waiting guess.
> 4 check dave right from=2001:db8::7
< 4 +DATA [from=2001:db8::7]
< 4 +OK dave
< 3 -ERR dave password wrong or not a valid user
log from=2001:db8::9 cmd=check user=dave result=refused ms=
log slot=0
nolog guess
log brake: user=dave throttled count=1 delay=1s from=2001:db8::9
metric zorvexsvr_brake_delayed_total 1
metric zorvexsvr_requests_total{command="check",result="refused"} 2
