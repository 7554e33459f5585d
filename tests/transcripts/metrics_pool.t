# The metrics listener, pool mode with kvauth behind it: the same counts as
# the engine's, the pool's processes and queue, and no engine families.
file auth.sh
| #!/bin/sh
| exec {programs}/kvauth -conf {dir}/zorvexsvr.conf
conf authent_process {dir}/auth.sh
conf authent_number 2
conf metrics_listen 127.0.0.1:{mport}
> 1 set bob right
< 1 +OK bob added to database
> 2 check bob right
< 2 +OK bob config 0 
> 3 check bob right from=192.0.2.1
< 3 +OK bob config 0 
> 4 check bob wrong
< 4 -ERR bob password wrong or not a valid user
> 5 check nobody x
< 5 -ERR nobody password wrong or not a valid user
> 7 frob bob
< 7 -ERR Invalid command (frob) use help
> 8 lookup nobody
< 8 -ERR nobody not found
# Two requests in flight with one identifier are two requests.
>raw 9 check bob wrong\n9 check bob right\n
<any
| 9 +OK bob config 0 
| 9 -ERR bob password wrong or not a valid user
metric zorvexsvr_requests_total{command="check",result="accepted"} 3
metric zorvexsvr_requests_total{command="check",result="refused"} 3
metric zorvexsvr_requests_total{command="set",result="ok"} 1
metric zorvexsvr_requests_total{command="lookup",result="error"} 1
metric zorvexsvr_requests_total{command="other",result="error"} 1
metric zorvexsvr_check_duration_seconds_count 6
metric zorvexsvr_build_info{version="1.1e",loop="{loop}",mode="pool"} 1
metric zorvexsvr_pool_processes{state="busy"} 0
metric zorvexsvr_pool_processes{state="idle"} 2
metric zorvexsvr_pool_queue_length 0
metric zorvexsvr_pool_resets_total 0
nometric zorvexsvr_engine_
