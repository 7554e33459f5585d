# The engine's commands over an enciphered connection, and a restart.
conf metrics_listen 127.0.0.1:{mport}
# quit says nothing: the next line to arrive answers the next request.
> 6 quit
> 7 version
< 7 +OK kvauth 4.0e
> 10 set Alice s3cret mail="a@x" q="1"
< 10 +OK Alice added to database
> 13 mod alice other q="2"
< 13 +OK alice added to database
> 14 check alice s3cret
< 14 +OK alice config 0 q="2" mail="a@x" 
restart
> 40 check alice s3cret
< 40 +OK alice config 0 q="2" mail="a@x" 
log Set kvauth path ({dir}/db)
> 41 search nomatch
< 41 +OK Search Complete 0 items found out of 1
# testcrypt adds 1000 users; the add file's growth rebuilds the database.
conn 2
> 30 testcrypt
< 30 +OK test0 added to database
< 30 +OK test0 config 0 
log Rebuilding kvauth file
metric zorvexsvr_engine_rebuilds_total 1
metric zorvexsvr_engine_users 1001
restart
> 50 check test937 test937
< 50 +OK test937 config 0 
> 51 search nomatch
< 51 +OK Search Complete 0 items found out of 1001
