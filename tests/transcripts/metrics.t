# The metrics listener, engine mode: each request counted once by command and
# result (unknown words as "other"), every check in the latency histogram,
# the connections, the engine's users and a change another process wrote;
# families of pool mode and TLS left out; statuses of bad requests; a
# stalled scraper delays no check and no other scrape.
conf metrics_listen 127.0.0.1:{mport}
conf max_connections 2
# The start-up's probe is gone before the first handshake's comes.
metric zorvexsvr_connections_open 0
> 1 set bob right
< 1 +OK bob added to database
> 2 check bob right
<prefix 2 +OK bob
> 3 check Bob right from=192.0.2.1
<prefix 3 +OK Bob
> 4 check bob wrong
< 4 -ERR bob password wrong or not a valid user
> 5 check nobody x
< 5 -ERR nobody password wrong or not a valid user
> 6 check
< 6 -ERR  password wrong or not a valid user
> 7 frob bob
< 7 -ERR Invalid command (frob) use help
> 8 lookup nobody
< 8 -ERR nobody not found
metric zorvexsvr_requests_total{command="check",result="accepted"} 2
metric zorvexsvr_requests_total{command="check",result="refused"} 3
metric zorvexsvr_requests_total{command="check",result="error"} 0
metric zorvexsvr_requests_total{command="set",result="ok"} 1
metric zorvexsvr_requests_total{command="lookup",result="error"} 1
metric zorvexsvr_requests_total{command="other",result="error"} 1
metric zorvexsvr_check_duration_seconds_count 5
metric zorvexsvr_check_duration_seconds_bucket{le="+Inf"} 5
metric zorvexsvr_engine_users 1
metric zorvexsvr_build_info{version="1.1e",loop="{loop}",mode="engine"} 1
nometric zorvexsvr_pool_
nometric zorvexsvr_tls_
# A second connection, one beyond max_connections, and one that gives the
# wrong check value; the start-up's probe and the first handshake's (it
# makes the secret) count too.
metric zorvexsvr_connections_open 1
conn 2
> 9 check bob right
<prefix 9 +OK bob
conn 3 clear
closed
close
metric zorvexsvr_connections_refused_total{reason="limit"} 1
conn 2
close
metric zorvexsvr_connections_open 1
conn 4 clear
> 10 encrypt tok {check-1}
< 10 +ERR You must copy xlate.dat wrong shared secret
closed
metric zorvexsvr_connections_accepted_total 5
metric zorvexsvr_connections_closed_errors_total 1
metric zorvexsvr_connections_refused_total{reason="allow"} 0
# Another writer's change is read before the next request.
file db/kvauth.add
| carol:{SSHA}lHFzXul4wnzRItssVcTnvXWRjNgBAgMEBQYHCA==:
conn 1
> 11 check carol secret
<prefix 11 +OK carol
metric zorvexsvr_engine_reloads_total 1
metric zorvexsvr_engine_users 2
# OpenMetrics for those who ask for it, as Prometheus does; the 0.0.4 text
# for the others. Only GET and HEAD of /metrics; the head is bounded.
http 200 GET /metrics HTTP/1.1\r\nAccept: text/plain;q=0.5,application/openmetrics-text;version=1.0.0\r\n\r\n
| Content-Type: application/openmetrics-text; version=1.0.0; charset=utf-8
| \n# TYPE zorvexsvr_requests counter\nzorvexsvr_requests_total{command="other",result="error"} 1\n
| \n# EOF\n
http 200 GET /metrics HTTP/1.1\r\naccept: text/plain\r\n\r\n
| Content-Type: text/plain; version=0.0.4; charset=utf-8
| \n# TYPE zorvexsvr_requests_total counter\n
http 404 GET / HTTP/1.1\r\n\r\n
http 404 HEAD /metrics/x HTTP/1.1\r\n\r\n
http 200 HEAD /metrics HTTP/1.0\r\n\r\n
http 200 GET /metrics?x=1 HTTP/1.1\r\nHost: a\r\n\r\n
http 405 POST /metrics HTTP/1.1\r\n\r\n
http 400 GET /metrics HTTP/2\r\n\r\n
http 400 \r\n\r\n
http 431 GET /metrics HTTP/1.1\r\nX: {9k}\r\n\r\n
# Sixteen stalled scrapers: a check and a seventeenth scraper are not held
# up (it gets 503), and 10 s later the stalled ones are closed.
stall 16
> 12 check bob right
<prefix 12 +OK bob
http 503 GET /metrics HTTP/1.1\r\n\r\n
stalled 16
stalled 0
metric zorvexsvr_requests_total{command="check",result="accepted"} 5
