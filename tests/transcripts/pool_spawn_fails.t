# At most 10 processes; a program that can't be run is logged each time.
conf authent_process {dir}/no such -x
conf authent_number 12
conf debug true
logcount 10 Spawning h=
log is more than 10
log lib_spawn: Error on exec {dir}/no such -x No such file or directory
