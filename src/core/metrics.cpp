#include "core/metrics.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace {
constexpr const char *kPrefix = "zorvexsvr_";
// Constant-initialised, so that families constructed in any order before
// main find it ready.
const MetricFamily *families = nullptr;
std::vector<std::string> hidden;

bool is_hidden(const MetricFamily &f) {
    for (const std::string &p : hidden)
        if (std::string_view(f.name).starts_with(p)) return true;
    return false;
}

// Whole values without a point; others in the fewest digits that read back
// as the same double.
void append_number(std::string *t, double v) {
    char bf[40];
    if (v > -1e15 && v < 1e15 && v == static_cast<double>(static_cast<int64_t>(v))) {
        snprintf(bf, sizeof bf, "%lld", static_cast<long long>(v));
    } else {
        snprintf(bf, sizeof bf, "%.15g", v);
        if (strtod(bf, nullptr) != v) snprintf(bf, sizeof bf, "%.17g", v);
    }
    *t += bf;
}

void meta(std::string *t, const MetricFamily &f, bool om) {
    // 0.0.4 names a counter's family as its samples are named.
    std::string name = std::string(kPrefix) + f.name;
    if (!om && f.type == MetricType::kCounter) name += "_total";
    const char *type = f.type == MetricType::kCounter ? "counter"
                       : f.type == MetricType::kGauge ? "gauge"
                                                      : "histogram";
    *t += "# HELP " + name + " " + f.help + "\n";
    *t += "# TYPE " + name + " " + type + "\n";
    if (om && *f.unit) *t += "# UNIT " + name + " " + f.unit + "\n";
}
}  // namespace

void MetricHistogram::observe(double seconds) {
    size_t i = 0;
    while (i < kMetricNBuckets && seconds > kMetricBuckets[i]) i++;
    bucket[i]++;
    count++;
    sum += seconds;
}

void MetricOut::line(const char *suffix, const char *labels, const char *extra, double value) {
    *text_ += kPrefix;
    *text_ += name_;
    *text_ += suffix;
    if (*labels || *extra) {
        *text_ += '{';
        *text_ += labels;
        if (*labels && *extra) *text_ += ',';
        *text_ += extra;
        *text_ += '}';
    }
    *text_ += ' ';
    append_number(text_, value);
    *text_ += '\n';
}

void MetricOut::sample(const char *labels, double value) {
    line(type_ == MetricType::kCounter ? "_total" : "", labels, "", value);
}

void MetricOut::histogram(const char *labels, const MetricHistogram &h) {
    uint64_t below = 0;
    for (size_t i = 0; i <= kMetricNBuckets; i++) {
        below += h.bucket[i];
        // A bound is written as a float ("1.0", not "1"), as OpenMetrics
        // asks, so that every scraper reads the same label value.
        char le[40] = "le=\"+Inf\"";
        if (i < kMetricNBuckets) {
            snprintf(le, sizeof le, "le=\"%g", kMetricBuckets[i]);
            if (!strpbrk(le + 4, ".e")) strcat(le, ".0");
            strcat(le, "\"");
        }
        line("_bucket", labels, le, static_cast<double>(below));
    }
    line("_sum", labels, "", h.sum);
    line("_count", labels, "", static_cast<double>(h.count));
}

MetricFamily::MetricFamily(const char *name_, MetricType type_, const char *help_,
                           void (*write_)(MetricOut &), const char *unit_)
    : name(name_), type(type_), help(help_), write(write_), unit(unit_), next(families) {
    families = this;
}

std::string metric_label(const char *value) {
    std::string s;
    for (const char *p = value; *p; p++) {
        if (*p == '\\' || *p == '"')
            s += '\\', s += *p;
        else if (*p == '\n')
            s += "\\n";
        else
            s += *p;
    }
    return s;
}

void metrics_hide(const char *prefix) {
    hidden.emplace_back(prefix);
}

void metrics_show_all() {
    hidden.clear();
}

std::string metrics_render(bool open_metrics) {
    // Declared in reverse; a scrape lists them in name order, which is
    // stable whatever order the modules were initialised in.
    std::vector<const MetricFamily *> all;
    for (const MetricFamily *f = families; f; f = f->next)
        if (!is_hidden(*f)) all.push_back(f);
    std::sort(all.begin(), all.end(), [](const MetricFamily *a, const MetricFamily *b) {
        return strcmp(a->name, b->name) < 0;
    });
    std::string text;
    text.reserve(8192);
    for (const MetricFamily *f : all) {
        meta(&text, *f, open_metrics);
        MetricOut out(&text, f->name, f->type);
        f->write(out);
    }
    if (open_metrics) text += "# EOF\n";
    return text;
}

const char *metrics_content_type(bool open_metrics) {
    return open_metrics ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
                        : "text/plain; version=0.0.4; charset=utf-8";
}
