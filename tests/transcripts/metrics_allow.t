# A peer outside allow is counted as refused (the start-up's probe is one);
# the metrics listener answers whatever allow says.
conf allow 127.0.0.2
conf metrics_listen 127.0.0.1:{mport}
conn 1 clear
closed
metric zorvexsvr_connections_refused_total{reason="allow"} 2
metric zorvexsvr_connections_accepted_total 0
