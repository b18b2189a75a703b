// Figures as the benches print them: a summary of samples, a table for people and the same
// figures as JSON for tools. Shared by the native bench and the Wine bench.
#pragma once

#include <string>
#include <vector>

struct Summary {
    std::size_t count = 0;
    double median = 0;
    double p99 = 0;
    double max = 0;
};

Summary summarize(std::vector<double> samples);

// Cycles a second over these periods (ms), as the card sees them.
double exchanges_a_second(const std::vector<double>& periods);

// One figure: its section and name, its value and unit, and what it is held against ("" if
// nothing), e.g. {"cycle", "delay 50 ms median", 50.71, "ms", "ideal 51.39 ms: 0.99"}.
struct Figure {
    std::string section;
    std::string name;
    double value;
    std::string unit;
    std::string against;
};

class Report {
public:
    explicit Report(std::string platform) : platform_(std::move(platform)) {}
    void add(const std::string& section, const std::string& name, double value, const std::string& unit,
             const std::string& against = "");
    // The figure of that section and name; null when it was not measured.
    const Figure* find(const std::string& section, const std::string& name) const;
    // Reads back figures saved with save(): one a line, tab-separated. False if the file is unreadable.
    bool load(const std::string& path);
    bool save(const std::string& path) const;
    // A target's verdict: met or missed, and why, printed after the table.
    void target(const std::string& what, bool met, const std::string& measured);
    std::string table() const;
    std::string json() const;

private:
    std::string platform_;
    std::vector<Figure> figures_;
    std::vector<std::string> targets_;
    std::vector<std::string> targets_json_;
};

// printf into a string; the compiler checks each pattern against its arguments.
__attribute__((format(printf, 1, 2))) std::string format(const char* pattern, ...);

// 115200 baud, ten bits a byte: a 7-byte output frame and its 9-byte answer take this long.
constexpr double kExchangeWireMs = 16 * 10.0 / 115.2;

// The cycle periods at delay 0 of one way of tracing ("trace off", "trace on", ...), and the lines
// of the instance's settings section that choose it.
struct TracedPeriods {
    std::string name;
    std::string keys;
    std::vector<double> periods;
};

// The three ways both benches compare, tracing to `file`, each key line ending in `newline`.
std::vector<TracedPeriods> ways_of_tracing(const std::string& file, const std::string& newline);

// Each way's median, p99 and exchange rate in section "trace", as a share of the first's (the
// trace off's); `rounds` is how many turns the ways took.
void report_trace_shares(Report& report, const std::vector<TracedPeriods>& ways, int rounds);

// The answer times a trace with every frame tells, in ms: from each tx line's stamp to the rx
// line that follows it (the stamps are to the millisecond). `text` is the whole trace; in section
// "trace", the median and max against what a line monitor shows for a card paced as 115200 baud
// would: the exchange's wire time, the answer's last byte in as the frame's first goes out.
void report_traced_answers(Report& report, const std::string& text);

// Holds the figures measured against the driver's targets, and records each verdict. A target
// whose figure is missing is left out.
void judge_targets(Report& report);
