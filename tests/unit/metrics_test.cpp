// The text of a scrape in both formats, from families declared here.
#include <gtest/gtest.h>

#include <string>

#include "core/metrics.h"
#include "net/scrape.h"

namespace {
MetricHistogram seconds;
double gauge_value;

const MetricFamily counter_family{
    "test_c", MetricType::kCounter, "A counter.",
    [](MetricOut &o) { o.sample(("a=\"" + metric_label("x\"y\\z\nw") + "\"").c_str(), 3); }};
const MetricFamily histogram_family{"test_h_seconds", MetricType::kHistogram, "A histogram.",
                                    [](MetricOut &o) { o.histogram("", seconds); }, "seconds"};
const MetricFamily gauge_family{"test_g", MetricType::kGauge, "A gauge.",
                                [](MetricOut &o) { o.sample("", gauge_value); }};

// The lines of text from the family's HELP line up to the next family.
std::string block(const std::string &text, const std::string &name) {
    size_t at = text.find("# HELP zorvexsvr_" + name);
    if (at == std::string::npos) return "(absent)";
    size_t end = text.find("# HELP", at + 1);
    return text.substr(at, (end == std::string::npos ? text.find("# EOF", at) : end) - at);
}

TEST(Metrics, BothFormats) {
    metrics_show_all();
    seconds = MetricHistogram{};
    for (double s : {0.00005, 0.0003, 0.0001, 2.0}) seconds.observe(s);
    const std::string om = metrics_render(true), text = metrics_render(false);
    struct Row {
        bool om;
        const char *name, *want;
    } rows[] = {
        {true, "test_c ",
         "# HELP zorvexsvr_test_c A counter.\n# TYPE zorvexsvr_test_c counter\n"
         "zorvexsvr_test_c_total{a=\"x\\\"y\\\\z\\nw\"} 3\n"},
        {false, "test_c_total ",
         "# HELP zorvexsvr_test_c_total A counter.\n# TYPE zorvexsvr_test_c_total counter\n"
         "zorvexsvr_test_c_total{a=\"x\\\"y\\\\z\\nw\"} 3\n"},
        {true, "test_h_seconds ",
         "# HELP zorvexsvr_test_h_seconds A histogram.\n"
         "# TYPE zorvexsvr_test_h_seconds histogram\n"
         "# UNIT zorvexsvr_test_h_seconds seconds\n"
         "zorvexsvr_test_h_seconds_bucket{le=\"0.0001\"} 2\n"
         "zorvexsvr_test_h_seconds_bucket{le=\"0.00025\"} 2\n"
         "zorvexsvr_test_h_seconds_bucket{le=\"0.0005\"} 3\n"
         "zorvexsvr_test_h_seconds_bucket{le=\"0.001\"} 3\n"
         "zorvexsvr_test_h_seconds_bucket{le=\"0.0025\"} 3\n"
         "zorvexsvr_test_h_seconds_bucket{le=\"0.005\"} 3\n"
         "zorvexsvr_test_h_seconds_bucket{le=\"0.01\"} 3\n"
         "zorvexsvr_test_h_seconds_bucket{le=\"0.025\"} 3\n"
         "zorvexsvr_test_h_seconds_bucket{le=\"0.05\"} 3\n"
         "zorvexsvr_test_h_seconds_bucket{le=\"0.1\"} 3\n"
         "zorvexsvr_test_h_seconds_bucket{le=\"0.25\"} 3\n"
         "zorvexsvr_test_h_seconds_bucket{le=\"0.5\"} 3\n"
         "zorvexsvr_test_h_seconds_bucket{le=\"1.0\"} 3\n"
         "zorvexsvr_test_h_seconds_bucket{le=\"+Inf\"} 4\n"
         "zorvexsvr_test_h_seconds_sum 2.00045\n"
         "zorvexsvr_test_h_seconds_count 4\n"},
    };
    for (const Row &r : rows)
        EXPECT_EQ(block(r.om ? om : text, r.name), r.want)
            << r.name << (r.om ? " OpenMetrics" : "");
    // No UNIT line in 0.0.4; the OpenMetrics text alone ends in its EOF line.
    EXPECT_EQ(block(text, "test_h_seconds ").find("# UNIT"), std::string::npos);
    EXPECT_TRUE(om.ends_with("\n# EOF\n"));
    EXPECT_EQ(text.find("# EOF"), std::string::npos);
    EXPECT_EQ(metrics_content_type(true),
              std::string("application/openmetrics-text; version=1.0.0; charset=utf-8"));
    EXPECT_EQ(metrics_content_type(false), std::string("text/plain; version=0.0.4; charset=utf-8"));
}

TEST(Metrics, NumbersReadBackAndHiddenFamilies) {
    metrics_show_all();
    const std::pair<double, const char *> numbers[] = {
        {0, "0"}, {-7, "-7"}, {1e15, "1e+15"}, {0.1 + 0.2, "0.30000000000000004"}, {2.5, "2.5"}};
    for (const auto &[v, want] : numbers) {
        gauge_value = v;
        EXPECT_EQ(block(metrics_render(false), "test_g "),
                  std::string("# HELP zorvexsvr_test_g A gauge.\n# TYPE zorvexsvr_test_g gauge\n"
                              "zorvexsvr_test_g ") +
                      want + "\n");
    }
    metrics_hide("test_h");
    EXPECT_EQ(block(metrics_render(true), "test_h_seconds "), "(absent)");
    EXPECT_NE(block(metrics_render(true), "test_g "), "(absent)");
    metrics_show_all();
    EXPECT_NE(block(metrics_render(true), "test_h_seconds "), "(absent)");
}

TEST(Metrics, ListenAddresses) {
    const struct {
        const char *spec;
        bool ok;
        const char *address;
        int port;
    } rows[] = {
        {"127.0.0.1:9601", true, "127.0.0.1", 9601},
        {"[::1]:9601", true, "::1", 9601},
        {"9601", true, "", 9601},
        {"0.0.0.0:1", true, "0.0.0.0", 1},
        {"127.0.0.1:65535", true, "127.0.0.1", 65535},
        {"127.0.0.1:65536", false, "", 0},
        {"127.0.0.1:0", false, "", 0},
        {":9601", false, "", 0},
        {"::1:9601", false, "", 0},
        {"[::1]9601", false, "", 0},
        {"[]:9601", false, "", 0},
        {"[127.0.0.1]:9601", false, "", 0},
        {"localhost:9601", false, "", 0},
        {"127.0.0.1:96x1", false, "", 0},
        {"127.0.0.1:", false, "", 0},
        {"", false, "", 0},
    };
    for (const auto &r : rows) {
        std::string address;
        int port = 0;
        EXPECT_EQ(scrape_parse(r.spec, &address, &port), r.ok) << r.spec;
        if (r.ok) {
            EXPECT_EQ(address, r.address) << r.spec;
            EXPECT_EQ(port, r.port) << r.spec;
        }
    }
}
}  // namespace
