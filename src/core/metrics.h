// Metrics: the families of counters, gauges and histograms that the modules
// declare, and the text of a scrape. Each module keeps its own values,
// private to its .cpp, and declares a family object there whose write
// function turns them into samples; the object enters the one list of
// families when it is constructed (static initialisation, before main). The
// metrics listener (net/scrape.h) renders the list; the server's start-up
// hides the families its mode and keys make meaningless. One thread: write
// functions run on the loop thread, at a scrape.
//
// Names follow Prometheus's conventions: every family is "zorvexsvr_" and
// the name given here, a counter's samples end in "_total", values are in
// seconds and bytes. Two formats: OpenMetrics 1.0.0 (what Prometheus asks
// for) and the Prometheus text format 0.0.4; their sample lines are the
// same, only a counter's "# TYPE" and "# HELP" name differs (doc/metrics.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class MetricType { kCounter, kGauge, kHistogram };

// The upper bounds of the latency histogram's buckets, in seconds (+Inf
// follows them).
constexpr double kMetricBuckets[] = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01,
                                     0.025,  0.05,    0.1,    0.25,  0.5,    1.0};
constexpr size_t kMetricNBuckets = sizeof kMetricBuckets / sizeof kMetricBuckets[0];

// Observations of a duration: counts per bucket (not cumulative), count and sum.
struct MetricHistogram {
    uint64_t bucket[kMetricNBuckets + 1] = {};  // the last one is +Inf's
    uint64_t count = 0;
    double sum = 0;
    void observe(double seconds);
};

// Where a family's write function puts its samples.
class MetricOut {
   public:
    MetricOut(std::string *text, const char *name, MetricType type)
        : text_(text), name_(name), type_(type) {}
    // One sample; labels is empty or the text inside the braces, for
    // example `reason="allow"`, with label values from metric_label.
    void sample(const char *labels, double value);
    // The buckets, sum and count of a histogram family.
    void histogram(const char *labels, const MetricHistogram &h);

   private:
    void line(const char *suffix, const char *labels, const char *extra, double value);
    std::string *text_;
    const char *name_;
    MetricType type_;
};

struct MetricFamily {
    // Name without the prefix and without "_total"; unit "seconds", "bytes"
    // or empty (OpenMetrics's UNIT line; the name ends in it).
    MetricFamily(const char *name, MetricType type, const char *help, void (*write)(MetricOut &),
                 const char *unit = "");
    MetricFamily(const MetricFamily &) = delete;
    MetricFamily &operator=(const MetricFamily &) = delete;
    const char *name;
    MetricType type;
    const char *help;
    void (*write)(MetricOut &);
    const char *unit;
    const MetricFamily *next;
};

// A label value as the formats quote it: backslash, double quote and line
// feed escaped.
std::string metric_label(const char *value);
// Leaves out of every scrape the families whose name starts with prefix.
void metrics_hide(const char *prefix);
// Shows every family again (tests).
void metrics_show_all();
// The whole text of a scrape; OpenMetrics when open_metrics, else 0.0.4.
std::string metrics_render(bool open_metrics);
// The media type of that text.
const char *metrics_content_type(bool open_metrics);
