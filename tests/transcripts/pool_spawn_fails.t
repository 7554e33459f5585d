# At most 10 processes; a program that can't be run is logged each time and
# counted.
conf authent_process {dir}/no such -x
conf metrics_listen 127.0.0.1:{mport}
conf authent_number 12
conf debug true
logcount 10 Spawning h=
log is more than 10
log lib_spawn: Error on exec {dir}/no such -x No such file or directory
metric zorvexsvr_pool_start_failures_total 10
metric zorvexsvr_pool_processes{state="down"} 10
