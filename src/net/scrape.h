// The metrics listener ("metrics_listen"): a small HTTP/1.1 server in the
// loop that answers "GET /metrics" (and HEAD) with the text of
// metrics_render (core/metrics.h), and any other request with an error
// status: 404 another path, 405 another method, 400 a malformed request, 431
// a request head over 8 KiB, 503 beyond 16 scrapes at once. Every response
// closes its connection. Owns the listening channel and the scrape
// connections. Started and stopped by the server. One thread; nothing here
// blocks: a slow or stalled scraper costs a descriptor and a buffer until
// its 10 s are up, never the loop's time.
#pragma once

#include <string>

// Scrape connections open at once; one more is answered 503 and closed.
constexpr int kScrapeMax = 16;

// Checks a listen address: "ADDRESS:PORT" with an IPv4 address,
// "[ADDRESS]:PORT" with an IPv6 one, or "PORT" alone for every IPv4 address,
// the port from 1 to 65535. Fills address and port; false when it is none
// of these.
bool scrape_parse(const char *spec, std::string *address, int *port);
// Listens on spec; false with the reason in why.
bool scrape_listen(const char *spec, std::string *why);
// Closes the listener and every scrape connection (shutdown, tests).
void scrape_close();
