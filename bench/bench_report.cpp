#include "bench_report.h"

#include <algorithm>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

std::string json_text(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string json_number(double value) {
    if (!std::isfinite(value)) return "null";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.4g", value);
    return buffer;
}

}  // namespace

std::string format(const char* pattern, ...) {
    char buffer[128];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(buffer, sizeof buffer, pattern, args);
    va_end(args);
    return buffer;
}

Summary summarize(std::vector<double> samples) {
    Summary s;
    if (samples.empty()) return s;
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    s.count = n;
    s.median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    // The nearest-rank 99th percentile: with fewer than 100 samples it is the largest.
    const auto rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n)));
    s.p99 = samples[std::min(n, std::max<std::size_t>(rank, 1)) - 1];
    s.max = samples.back();
    return s;
}

void Report::add(const std::string& section, const std::string& name, double value, const std::string& unit,
                 const std::string& against) {
    figures_.push_back({section, name, value, unit, against});
}

void Report::target(const std::string& what, bool met, const std::string& measured) {
    targets_.push_back(std::string(met ? "met     " : "MISSED  ") + what + ": " + measured);
    targets_json_.push_back("{\"target\": " + json_text(what) + ", \"met\": " + (met ? "true" : "false") +
                            ", \"measured\": " + json_text(measured) + "}");
}

const Figure* Report::find(const std::string& section, const std::string& name) const {
    for (const Figure& f : figures_) {
        if (f.section == section && f.name == name) return &f;
    }
    return nullptr;
}

bool Report::save(const std::string& path) const {
    FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) return false;
    for (const Figure& f : figures_) {
        std::fprintf(out, "%s\t%s\t%.17g\t%s\t%s\n", f.section.c_str(), f.name.c_str(), f.value, f.unit.c_str(),
                     f.against.c_str());
    }
    return std::fclose(out) == 0;
}

bool Report::load(const std::string& path) {
    FILE* in = std::fopen(path.c_str(), "r");
    if (in == nullptr) return false;
    char line[1024];
    while (std::fgets(line, sizeof line, in) != nullptr) {
        std::vector<std::string> fields(1);
        for (const char* c = line; *c != '\0' && *c != '\n' && *c != '\r'; ++c) {
            if (*c == '\t') {
                fields.emplace_back();
            } else {
                fields.back() += *c;
            }
        }
        if (fields.size() == 5) add(fields[0], fields[1], std::atof(fields[2].c_str()), fields[3], fields[4]);
    }
    std::fclose(in);
    return true;
}

namespace {

// The time of day in a trace line's stamp ("2026-12-08 14:03:07.123 ..."), ms; -1 when none.
double stamp_ms(const std::string& line) {
    unsigned h = 0, m = 0, sec = 0, milli = 0;
    if (line.size() < 24 || std::sscanf(line.c_str() + 11, "%2u:%2u:%2u.%3u", &h, &m, &sec, &milli) != 4) return -1;
    return ((h * 60.0 + m) * 60.0 + sec) * 1000.0 + milli;
}

}  // namespace

void report_traced_answers(Report& report, const std::string& text) {
    std::vector<double> times;
    double sent = -1;
    std::size_t from = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos; from = end + 1, end = text.find('\n', from)) {
        const std::string line = text.substr(from, end - from);
        const double at = stamp_ms(line);
        if (at < 0 || line.size() < 27) continue;
        const std::string what = line.substr(24, 3);
        if (what == "tx ") sent = at;
        if (what == "rx " && sent >= 0 && at >= sent) times.push_back(at - sent);
        if (what == "rx ") sent = -1;
    }
    if (times.empty()) return;
    const Summary t = summarize(times);
    report.add("trace", "answer time the trace tells at delay 50, median", t.median, "ms",
               format("%lu answers, stamps to the ms; a line monitor shows %.2f ms", static_cast<unsigned long>(t.count),
                      kExchangeWireMs));
    report.add("trace", "answer time the trace tells at delay 50, max", t.max, "ms");
}

void judge_targets(Report& report) {
    const auto ms = [](double v) { return format("%.2f ms", v); };
    if (const Figure* cpu = report.find("cpu", "polling at 50 ms, share of one core")) {
        report.target("CPU while polling at 50 ms under 0.2% of a core", cpu->value < 0.2, format("%.3f%%", cpu->value));
    }
    if (const Figure* allocations = report.find("memory", "heap allocations per cycle")) {
        report.target("no heap allocation per cycle in steady state", allocations->value == 0,
                      format("%.3f a cycle (", allocations->value) + allocations->against + ")");
    }
    if (const Figure* rate = report.find("cycle", "delay 0 ms exchanges per second")) {
        const double share = rate->value * kExchangeWireMs / 1000.0;
        report.target("delay 0: at least 80% of the wire-limited exchange rate", share >= 0.8,
                      format("%.0f%%, %.0f exchanges/s", 100 * share, rate->value));
    }
    const double ideal = 50 + kExchangeWireMs;
    if (const Figure* median = report.find("cycle", "delay 50 ms median")) {
        report.target("delay 50: median within 1 ms of the ideal", std::fabs(median->value - ideal) <= 1.0,
                      ms(median->value) + " against " + ms(ideal));
    }
    if (const Figure* p99 = report.find("cycle", "delay 50 ms p99")) {
        report.target("delay 50: p99 within 2 ms of the ideal", std::fabs(p99->value - ideal) <= 2.0,
                      ms(p99->value) + " against " + ms(ideal));
    }
    // The answer is published as it arrives: a change at the card reaches the host within the
    // cycle that carries it, read once a millisecond.
    if (const Figure* median = report.find("latency", "card input change to read inputs, median")) {
        report.target("delay 50: card input change to read inputs, median at most 0.6 cycle",
                      median->value <= 0.6 * ideal, ms(median->value) + format(", %.2f cycles", median->value / ideal));
    }
    if (const Figure* most = report.find("latency", "card input change to read inputs, max")) {
        report.target("delay 50: card input change to read inputs, max at most 1 cycle + 2 ms",
                      most->value <= ideal + 2.0, ms(most->value) + format(", %.2f cycles", most->value / ideal));
    }
    if (const Figure* told = report.find("trace", "answer time the trace tells at delay 50, median")) {
        report.target("delay 50: the trace's answer time, median within 1 ms of a line monitor's",
                      std::fabs(told->value - kExchangeWireMs) <= 1.0, ms(told->value) + " against " + ms(kExchangeWireMs));
    }
    for (const char* n : {"2", "4"}) {
        const std::string name = std::string(n) + " cards at delay 50 ms, worst card's ";
        const Figure* median = report.find("cards", name + "median off the ideal");
        const Figure* p99 = report.find("cards", name + "p99 off the ideal");
        if (median != nullptr && p99 != nullptr) {
            report.target(std::string(n) + " cards at delay 50: each card's median within 1 ms, p99 within 2 ms of the ideal",
                          median->value <= 1.0 && p99->value <= 2.0,
                          ms(median->value) + " and " + ms(p99->value) + " off at worst");
        }
    }
    if (const Figure* one = report.find("cards", "1 card at delay 50 ms, CPU per card")) {
        for (const char* n : {"2", "4"}) {
            const Figure* each = report.find("cards", std::string(n) + " cards at delay 50 ms, CPU per card");
            if (each == nullptr) continue;
            report.target(std::string(n) + " cards at delay 50: CPU per card within 20% of one card's",
                          each->value <= 1.2 * one->value, format("%.3f%% against %.3f%%", each->value, one->value));
        }
    }
    if (const Figure* rate = report.find("cards", "2 cards at delay 0 ms, the slower card's exchanges per second")) {
        const double share = rate->value * kExchangeWireMs / 1000.0;
        report.target("2 cards at delay 0: each card at least 80% of the wire-limited exchange rate", share >= 0.8,
                      format("%.0f%%", 100 * share));
    }
    if (const Figure* absent = report.find("discovery", "per absent port")) {
        report.target("discovery: under 1 ms per absent port", absent->value < 1.0, format("%.3f ms", absent->value));
    }
    if (const Figure* silent = report.find("discovery", "per silent port")) {
        report.target("discovery: under 100 ms per silent port", silent->value < 100.0, ms(silent->value));
    }
    // A named port's start costs its own probe only: well under one silent port's probe more than
    // a start that finds the card on the first port it tries.
    const Figure* named = report.find("discovery", "card on COM3 named by port=3, COM1 and COM2 silent");
    const Figure* com1 = report.find("discovery", "card on COM1");
    const Figure* per_silent = report.find("discovery", "per silent port");
    if (named != nullptr && com1 != nullptr && per_silent != nullptr) {
        report.target("discovery: a named port costs one probe, whatever answers below it",
                      named->value < com1->value + per_silent->value / 2,
                      ms(named->value) + "; card on COM1 " + ms(com1->value) + ", a silent port " + ms(per_silent->value));
    }
    if (const Figure* replug = report.find("reconnect", "replug to fresh inputs, median")) {
        report.target("reconnect: fresh inputs within 1.5 s of a replug, median", replug->value <= 1500.0,
                      ms(replug->value) + " (" + replug->against + ")");
    }
    if (const Figure* cpu = report.find("reconnect", "port lost: CPU, share of one core")) {
        report.target("reconnect: a lost port costs under 0.1% of a core", cpu->value < 0.1, format("%.3f%%", cpu->value));
    }
    if (const Figure* wakes = report.find("reconnect", "port lost: the poll thread's wake-ups a second")) {
        report.target("reconnect: a lost port wakes the poll thread at most twice a second", wakes->value <= 2.0,
                      format("%.2f a second (", wakes->value) + wakes->against + ")");
    }
    const Figure* off = report.find("trace", "delay 0, trace off, median");
    const Figure* on = report.find("trace", "delay 0, trace on, median");
    const Figure* off_rate = report.find("trace", "delay 0, trace off, exchanges per second");
    const Figure* on_rate = report.find("trace", "delay 0, trace on, exchanges per second");
    if (off != nullptr && on != nullptr && off_rate != nullptr && on_rate != nullptr) {
        const double median_ratio = on->value / off->value;
        const double rate_ratio = on_rate->value / off_rate->value;
        // Only a slower cycle counts against the trace; a faster one is the machine's noise.
        report.target("trace: delay 0 with the trace on within 5% of the trace off",
                      median_ratio <= 1.05 && rate_ratio >= 0.95,
                      format("median %.3f, exchanges a second %.3f of the trace off's", median_ratio, rate_ratio));
    }
    const Figure* received = report.find("trace", "frames at delay 50: frames the card received");
    const Figure* answered = report.find("trace", "frames at delay 50: answers the card sent");
    const Figure* tx = report.find("trace", "frames at delay 50: tx lines");
    const Figure* rx = report.find("trace", "frames at delay 50: rx lines");
    const Figure* dropped = report.find("trace", "frames at delay 50: lines telling of dropped lines");
    if (received != nullptr && answered != nullptr && tx != nullptr && rx != nullptr && dropped != nullptr) {
        // The stop's all-off frame is answered but never read, and a cycle the stop cuts short
        // may not read its own answer either.
        const double unread = answered->value - rx->value;
        report.target("trace: every frame traced at delay 50, no line dropped",
                      dropped->value == 0 && tx->value == received->value && unread >= 1 && unread <= 2,
                      format("%.0f tx lines for %.0f frames, %.0f rx lines for %.0f answers, %.0f dropped", tx->value,
                             received->value, rx->value, answered->value, dropped->value));
    }
}

std::string Report::table() const {
    std::size_t wide = 0;
    for (const Figure& f : figures_) wide = std::max(wide, f.section.size() + f.name.size() + 2);
    std::string out = "platform: " + platform_ + "\n";
    std::string section;
    char line[512];
    for (const Figure& f : figures_) {
        if (f.section != section) {
            section = f.section;
            out += "\n";
        }
        const std::string label = f.section + ": " + f.name;
        std::snprintf(line, sizeof line, "%-*s %12.3f %-6s %s\n", static_cast<int>(wide), label.c_str(), f.value,
                      f.unit.c_str(), f.against.c_str());
        out += line;
    }
    if (!targets_.empty()) out += "\ntargets\n";
    for (const std::string& t : targets_) out += "  " + t + "\n";
    return out;
}

std::string Report::json() const {
    std::string out = "{\"platform\": " + json_text(platform_) + ", \"figures\": [";
    for (std::size_t i = 0; i < figures_.size(); ++i) {
        const Figure& f = figures_[i];
        out += std::string(i == 0 ? "\n" : ",\n") + "  {\"section\": " + json_text(f.section) +
               ", \"name\": " + json_text(f.name) + ", \"value\": " + json_number(f.value) +
               ", \"unit\": " + json_text(f.unit) + ", \"against\": " + json_text(f.against) + "}";
    }
    out += "\n], \"targets\": [";
    for (std::size_t i = 0; i < targets_json_.size(); ++i) out += std::string(i == 0 ? "\n  " : ",\n  ") + targets_json_[i];
    return out + "\n]}\n";
}

double exchanges_a_second(const std::vector<double>& periods) {
    double total = 0;
    for (const double p : periods) total += p;
    return total > 0 ? 1000.0 * static_cast<double>(periods.size()) / total : 0;
}

std::vector<TracedPeriods> ways_of_tracing(const std::string& file, const std::string& newline) {
    return {{"trace off", "", {}},
            {"trace on", "trace=" + file + newline, {}},
            {"trace on with frames", "trace=" + file + newline + "trace_frames=1" + newline, {}}};
}

void report_trace_shares(Report& report, const std::vector<TracedPeriods>& ways, int rounds) {
    if (ways.empty()) return;
    const Summary off = summarize(ways[0].periods);
    const double off_rate = exchanges_a_second(ways[0].periods);
    for (const TracedPeriods& way : ways) {
        const Summary s = summarize(way.periods);
        const double rate = exchanges_a_second(way.periods);
        const std::string name = "delay 0, " + way.name;
        report.add("trace", name + ", median", s.median, "ms", format("%.3f of the trace off's", s.median / off.median));
        report.add("trace", name + ", p99", s.p99, "ms", format("%.3f of the trace off's", s.p99 / off.p99));
        report.add("trace", name + ", exchanges per second", rate, "/s",
                   format("%.3f of the trace off's; %lu cycles in %d turns", rate / off_rate,
                          static_cast<unsigned long>(s.count), rounds));
    }
}
