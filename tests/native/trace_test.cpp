// The link's trace on real files, pipes and folders: what reaches the file, the cap, a full
// queue, paths that cannot be opened or that change under the writer, and writes that fail.
#include "config/settings_backend.h"
#include "host/platform_notices.h"
#include "support/trace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/native/test_support.h"
#include "tests/shared/text_file.h"

namespace {

// "(N lines dropped) line M" after the time: N (0 when not said) and M.
bool parse_numbered_line(const std::string& line, unsigned long& said, unsigned long& number) {
    if (!starts_with_time(line)) return false;
    std::string rest = line.substr(24);
    said = 0;
    if (!rest.empty() && rest[0] == '(') {
        std::size_t used = 0;
        said = std::stoul(rest.substr(1), &used);
        const std::string note = said == 1 ? " line dropped) " : " lines dropped) ";
        if (rest.compare(1 + used, note.size(), note) != 0) return false;
        rest = rest.substr(1 + used + note.size());
    }
    if (rest.compare(0, 5, "line ") != 0) return false;
    std::size_t used = 0;
    number = std::stoul(rest.substr(5), &used);
    return 5 + used == rest.size();
}

std::size_t threads_in_process() {
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) return 0;
    std::size_t n = 0;
    while (const dirent* entry = ::readdir(tasks)) n += entry->d_name[0] != '.';
    ::closedir(tasks);
    return n;
}

// The writer is never joined: after close it still has its own exit to run, so the count is
// waited for (within a bound far past any machine's thread exit) rather than read once.
std::size_t threads_in_process_settled_to(std::size_t expected) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::size_t n = threads_in_process();
    while (n != expected && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        n = threads_in_process();
    }
    return n;
}

// Standard error into a pipe (a file would fall under a FileSizeLimit) until text() is called.
class StderrCapture {
public:
    StderrCapture() {
        int fds[2];
        if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
        read_end_ = fds[0];
        saved_ = ::dup(2);
        ::dup2(fds[1], 2);
        ::close(fds[1]);
    }
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string text() {
        restore();
        std::string out;
        char buffer[4096];
        for (ssize_t n; (n = ::read(read_end_, buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
        return out;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }
    int read_end_ = -1;
    int saved_ = -1;
};

// The process's time zone for the scope of a test, so that local time is not UTC.
class TimeZone {
public:
    explicit TimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            old_ = old;
            had_ = true;
        }
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~TimeZone() {
        if (had_)
            ::setenv("TZ", old_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    TimeZone(const TimeZone&) = delete;
    TimeZone& operator=(const TimeZone&) = delete;

private:
    std::string old_;
    bool had_ = false;
};

// The same clock as the trace's: time() reads a coarse copy of it that may still show the second
// before for a few milliseconds after the trace stamped the next one.
std::string local_seconds_now() {
    timespec precise{};
    ::clock_gettime(CLOCK_REALTIME, &precise);
    const std::time_t now = precise.tv_sec;
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

TEST(Trace, EachLineStartsWithTheLocalTimeToTheMillisecond) {
    TempDir dir;
    const std::string path = dir.file("vek.trace");
    const std::string before_open = "2026-12-08 14:03:07.123 a line from before";
    write_file(path, before_open + "\n");
    TimeZone zone("XST-5:30");  // UTC+5:30: a writer using UTC would be caught out

    const std::string before = local_seconds_now();
    Trace trace{platform_notices()};
    ASSERT_TRUE(trace.open(path.c_str(), false));
    ASSERT_TRUE(trace.on());
    EXPECT_FALSE(trace.frames());
    trace.line("start, delay %u ms", 50u);
    trace.line("one line\r\nnot two");
    const uint8_t frame[] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFC};
    trace.frame("tx", frame, sizeof frame);  // frames off: not traced
    trace.bytes("bad end", frame, sizeof frame);
    const std::vector<uint8_t> stray(40, 0xA5);
    trace.bytes("stray", stray.data(), stray.size());
    trace.line("%s", std::string(2 * kTraceLineChars, 'x').c_str());
    trace.close();
    const std::string after = local_seconds_now();
    EXPECT_FALSE(trace.on());
    trace.line("after close");  // a closed trace takes lines and does nothing

    std::string a5_32, a5_8;
    for (int i = 0; i < 32; ++i) a5_32 += " A5";
    for (int i = 0; i < 8; ++i) a5_8 += " A5";
    const std::vector<std::string> expected = {"start, delay 50 ms",
                                               "one line  not two",
                                               "bad end 02 00 00 00 00 03 FC",
                                               "stray" + a5_32,
                                               "stray (+32)" + a5_8,
                                               std::string(kTraceLineChars - 1, 'x')};
    const std::vector<std::string> lines = lines_of(read_file(path));
    ASSERT_EQ(lines.size(), expected.size() + 1) << read_file(path);
    EXPECT_EQ(lines[0], before_open) << "the trace appends";
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::string& line = lines[i + 1];
        ASSERT_TRUE(starts_with_time(line)) << line;
        EXPECT_GE(line.substr(0, 19), before) << line;
        EXPECT_LE(line.substr(0, 19), after) << line;
        EXPECT_EQ(line.substr(24), expected[i]);
    }
}

// Named relative to the folder current at the open: the host changing its folder later moves
// neither the file nor its rotation.
TEST(Trace, AFullFileIsRenamedToDotOneReplacingTheOldAndANewOneBegins) {
    TempDir dir;
    TempDir elsewhere;
    const std::string path = dir.file("vek.trace");
    write_file(path + ".1", "the trace before last\n");
    constexpr uint64_t kCap = 1000;
    char folder[4096];
    ASSERT_NE(::getcwd(folder, sizeof folder), nullptr);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    Trace trace{platform_notices()};
    const bool opened = trace.open("vek.trace", true, kCap);
    const bool moved = ::chdir(elsewhere.path().c_str()) == 0;
    for (int i = 0; i < 100; ++i) trace.line("line %03d", i);
    trace.close();
    ASSERT_EQ(::chdir(folder), 0);
    ASSERT_TRUE(opened);
    ASSERT_TRUE(moved);
    EXPECT_TRUE(elsewhere.entries().empty());

    const std::string current = read_file(path);
    const std::string old = read_file(path + ".1");
    EXPECT_LE(current.size(), kCap);
    EXPECT_LE(old.size(), kCap);
    EXPECT_GT(old.size(), kCap - 100) << "renamed when full, not before";
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"vek.trace", "vek.trace.1"}));
    // The two files hold the last lines in order, without a gap.
    std::vector<std::string> lines = lines_of(old);
    for (const std::string& line : lines_of(current)) lines.push_back(line);
    ASSERT_FALSE(lines.empty());
    const int first = 100 - static_cast<int>(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        char text[16];
        std::snprintf(text, sizeof text, "line %03d", first + static_cast<int>(i));
        EXPECT_EQ(lines[i].substr(24), text);
    }
}

// Eight slots fill long before the writer has written a batch to the disk.
TEST(Trace, AFullQueueDropsLinesAndTheNextLineThatGetsInSaysHowMany) {
    TempDir dir;
    const std::string path = dir.file("vek.trace");
    Trace trace{platform_notices()};
    ASSERT_TRUE(trace.open(path.c_str(), false, kTraceFileCap, 8));
    unsigned long sent = 0;
    while (trace.dropped() == 0 && sent < 10000000) trace.line("line %lu", sent++);
    ASSERT_GT(trace.dropped(), 0u);

    // Until one line gets in again.
    for (uint64_t dropped = trace.dropped();; dropped = trace.dropped()) {
        trace.line("line %lu", sent++);
        if (trace.dropped() == dropped) break;
    }
    const uint64_t dropped = trace.dropped();
    trace.close();

    unsigned long expected_number = 0;
    uint64_t told = 0;
    for (const std::string& line : lines_of(read_file(path))) {
        unsigned long said = 0;
        unsigned long number = 0;
        ASSERT_TRUE(parse_numbered_line(line, said, number)) << line;
        EXPECT_EQ(number - expected_number, said) << line;
        told += said;
        expected_number = number + 1;
    }
    EXPECT_EQ(expected_number, sent) << "the last line got in";
    EXPECT_EQ(told, dropped);
}

// Only a regular file that is a trace's, or empty, or new, is traced to; anything else is
// refused at open, told once, and left exactly as it was.
TEST(Trace, APathThatCannotBeOpenedIsReportedOnceAndCostsNothing) {
    TempDir dir;
    const std::string fifo = dir.file("nobody-reads");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string read_fifo = dir.file("someone-reads");
    ASSERT_EQ(::mkfifo(read_fifo.c_str(), 0600), 0);
    const int reader = ::open(read_fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const std::string ini = "; KORVANEX host configuration\n[korvanex-vek-driver-0]\ndelay=75\n";
    write_file(dir.file("host.ini"), ini);
    const std::string traced = "2026-12-08 14:03:07.123 start: driver 0\n";
    write_file(dir.file("held.trace"), traced);
    ASSERT_EQ(::symlink("host.ini", dir.file("link.trace").c_str()), 0);
    ASSERT_EQ(::symlink("absent.trace", dir.file("dangling.trace").c_str()), 0);
    Trace holder{platform_notices()};
    ASSERT_TRUE(holder.open(dir.file("held.trace").c_str(), false));
    const std::size_t threads = threads_in_process();  // the holder's writer among them
    const struct {
        std::string path;
        const char* why;  // in the report
    } rows[] = {
        {dir.file("no-such-folder/vek.trace"), "cannot be opened"},
        {dir.path(), "not a regular file"},
        {fifo, "not a regular file"},       // opening it must not wait for a reader
        {read_fifo, "not a regular file"},  // nor write to one who reads
        {"/dev/null", "not a regular file"},
        {dir.file("link.trace"), "symbolic link"},      // the host's settings behind a link
        {dir.file("dangling.trace"), "symbolic link"},  // nor make a file where a link points
        {dir.file("host.ini"), "does not start like a trace"},
        {dir.file("held.trace"), "held by another trace"},  // one file, two traces
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        StderrCapture capture;
        Trace trace{platform_notices()};
        EXPECT_FALSE(trace.open(row.path.c_str(), true));
        EXPECT_FALSE(trace.on());
        EXPECT_EQ(threads_in_process(), threads) << "no writer thread";
        const uint8_t frame[] = {0x12, 0, 0, 0, 0, 0, 0, 0x13, 0xEE};
        for (int i = 0; i < 100; ++i) {
            trace.line("line %d", i);
            trace.frame("rx", frame, sizeof frame);
            trace.bytes("stray", frame, sizeof frame);
        }
        EXPECT_TRUE(trace.flush());
        EXPECT_EQ(trace.dropped(), 0u);
        trace.close();
        const std::string report = capture.text();
        EXPECT_EQ(lines_of(report).size(), 1u) << report;
        EXPECT_NE(report.find(row.path), std::string::npos) << report;
        EXPECT_NE(report.find(row.why), std::string::npos) << report;
    }
    holder.close();
    char heard[64];
    EXPECT_LE(::read(reader, heard, sizeof heard), 0) << "nothing written to the reader";
    ::close(reader);
    EXPECT_EQ(read_file(dir.file("host.ini")), ini);
    EXPECT_EQ(read_file(dir.file("held.trace")), traced);

    StderrCapture capture;
    Trace off{platform_notices()};
    EXPECT_TRUE(off.open(nullptr, true)) << "no path: nothing to report";
    EXPECT_TRUE(off.open("", true));
    EXPECT_FALSE(off.on());
    EXPECT_EQ(threads_in_process_settled_to(threads - 1), threads - 1) << "the holder's writer gone, no other";
    EXPECT_EQ(capture.text(), "");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"dangling.trace", "held.trace", "host.ini", "link.trace",
                                                       "nobody-reads", "someone-reads"}));
}

// Linux keeps a deleted or replaced file open for whoever has it: the lines up to the next
// rotation go there, and the rotation then begins a new file by the name.
TEST(Trace, AFileDeletedOrReplacedWhileWrittenIsBegunAgainAtTheNextRotation) {
    const struct {
        const char* name;
        std::function<void(const std::string&)> change;
        bool old_kept;  // the user's own file is found as .1
    } rows[] = {
        {"deleted", [](const std::string& path) { ASSERT_EQ(::unlink(path.c_str()), 0); }, false},
        {"replaced",
         [](const std::string& path) {
             write_file(path + ".new", "someone else's file\n");
             ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
         },
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const std::string path = dir.file("vek.trace");
        Trace trace{platform_notices()};
        ASSERT_TRUE(trace.open(path.c_str(), false, 600));
        trace.line("before");
        ASSERT_TRUE(trace.flush());
        row.change(path);
        // About 16 lines reach the cap of the file now gone from its name; one rotation follows.
        for (int i = 0; i < 20; ++i) trace.line("after %02d", i);
        trace.close();

        const std::string current = read_file(path);
        EXPECT_NE(current.find("after 19"), std::string::npos) << current;
        EXPECT_EQ(current.find("before"), std::string::npos) << current;
        EXPECT_EQ(current.find("someone else"), std::string::npos) << current;
        if (row.old_kept) {
            EXPECT_EQ(read_file(path + ".1"), "someone else's file\n") << "never written to";
        } else {
            EXPECT_FALSE(file_exists(path + ".1"));
        }
    }
}

// The lines in the full file may be all the user has of an event: they are never emptied away.
// A rename that fails (on Windows, a reader holding the file without delete sharing) never
// empties the file: it is written on past its cap, and renamed once the rename works again.
TEST(Trace, AFullFileThatCannotBeRenamedIsWrittenOnAndRenamedWhenItCan) {
    TempDir dir;
    const std::string path = dir.file("vek.trace");
    ASSERT_EQ(::mkdir((path + ".1").c_str(), 0755), 0);
    write_file(path + ".1/kept", "a folder in the way\n");
    StderrCapture capture;
    Trace trace{platform_notices()};
    ASSERT_TRUE(trace.open(path.c_str(), false, 600));
    for (int i = 0; i < 25; ++i) trace.line("line %02d", i);
    ASSERT_TRUE(trace.flush());
    const std::vector<std::string> held = lines_of(read_file(path));
    ASSERT_EQ(held.size(), 25u) << read_file(path);
    EXPECT_EQ(held.front().substr(24), "line 00") << "kept from its first line";
    EXPECT_GT(read_file(path).size(), 600u) << "written on past its cap";
    ASSERT_EQ(::unlink((path + ".1/kept").c_str()), 0);
    ASSERT_EQ(::rmdir((path + ".1").c_str()), 0);
    for (int i = 25; i < 30; ++i) trace.line("line %02d", i);
    trace.close();

    const std::vector<std::string> old = lines_of(read_file(path + ".1"));
    ASSERT_GE(old.size(), 25u);
    EXPECT_EQ(old.front().substr(24), "line 00");
    const std::vector<std::string> current = lines_of(read_file(path));
    ASSERT_FALSE(current.empty());
    EXPECT_EQ(current.back().substr(24), "line 29");
    EXPECT_EQ(old.size() + current.size(), 30u) << "no line lost";
    const std::string report = capture.text();
    EXPECT_EQ(lines_of(report).size(), 1u) << report;
    EXPECT_NE(report.find("written on, renamed when it can"), std::string::npos) << report;
}

// Never renamed: at twice its cap the trace stops, told once more, and the file keeps its lines.
TEST(Trace, AFullFileThatNeverRenamesStopsTracingAtTwiceItsCap) {
    TempDir dir;
    const std::string path = dir.file("vek.trace");
    ASSERT_EQ(::mkdir((path + ".1").c_str(), 0755), 0);
    write_file(path + ".1/kept", "a folder in the way\n");
    StderrCapture capture;
    Trace trace{platform_notices()};
    ASSERT_TRUE(trace.open(path.c_str(), false, 600));
    for (int i = 0; i < 80; ++i) trace.line("line %02d", i);
    trace.close();

    const std::vector<std::string> lines = lines_of(read_file(path));
    EXPECT_EQ(lines.front().substr(24), "line 00") << "kept from its first line";
    EXPECT_LE(read_file(path).size(), 1200u);
    EXPECT_GT(read_file(path).size(), 1000u);
    const std::string report = capture.text();
    EXPECT_EQ(lines_of(report).size(), 2u) << report;
    EXPECT_NE(report.find("tracing stops"), std::string::npos) << report;
}

TEST(Trace, LinesThatCannotBeWrittenAreCountedAndReportedOnceAndWritingResumes) {
    TempDir dir;
    const std::string path = dir.file("vek.trace");
    StderrCapture capture;
    Trace trace{platform_notices()};
    ASSERT_TRUE(trace.open(path.c_str(), false));
    trace.line("first");
    ASSERT_TRUE(trace.flush());
    {
        // As a full disk: every write fails, the first part of the way.
        FileSizeLimit full(read_file(path).size() + 10);
        for (int i = 0; i < 3; ++i) {
            trace.line("lost %d", i);
            ASSERT_TRUE(trace.flush());  // one failed write each, and a reopen
        }
    }
    trace.line("written again");
    trace.close();

    const std::vector<std::string> lines = lines_of(read_file(path));
    ASSERT_EQ(lines.size(), 2u) << "no torn line\n" << read_file(path);
    EXPECT_EQ(lines[0].substr(24), "first");
    EXPECT_EQ(lines[1].substr(24), "(3 lines dropped) written again");
    const std::string report = capture.text();
    EXPECT_EQ(lines_of(report).size(), 1u) << report;
    EXPECT_NE(report.find("File too large"), std::string::npos) << report;
}

// A host run under a file-size limit (ulimit -f, LimitFSIZE=) keeps the default action of
// SIGXFSZ, which ends the process: the trace's writer and a settings save must meet the limit as
// a failed write, told or returned, and the host lives on with its card. Each row runs in a
// child host of its own, for the limit and the signal's action are the process's.
bool g_too_large_reported = false;
void note_report(const char* text) noexcept {
    if (std::strstr(text, "File too large") != nullptr) g_too_large_reported = true;
}
void no_card() noexcept {}

TEST(Trace, AWritePastTheFileSizeLimitFailsAndIsToldAndTheHostLivesOn) {
    TempDir dir;
    const std::string settings = "[korvanex-vek-driver-0]\ndelay=50\n";
    write_file(dir.file("host.ini"), settings);
    const struct {
        const char* name;
        std::function<bool()> write_past_limit;  // in the child: true when the failure was told
    } rows[] = {
        {"the trace's writer",
         [&] {
             Trace trace{Notices{no_card, note_report}};
             if (!trace.open(dir.file("vek.trace").c_str(), false)) return false;
             trace.line("%s", std::string(200, 'x').c_str());
             trace.flush();
             trace.close();
             return g_too_large_reported;
         }},
        {"a settings save",
         [&] {
             const std::string path = dir.file("host.ini");
             return !profile_write_string("korvanex-vek-driver-0", "delay", std::string(200, '7').c_str(),
                                          path.c_str());
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::signal(SIGXFSZ, SIG_DFL);
            rlimit limit{};
            ::getrlimit(RLIMIT_FSIZE, &limit);
            limit.rlim_cur = 100;
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(2);
            ::_exit(row.write_past_limit() ? 0 : 1);
        }
        EXPECT_EQ(child_exit_status(child), 0) << "1: not told; -1: ended by a signal";
    }
    EXPECT_EQ(read_file(dir.file("host.ini")), settings);
    EXPECT_EQ(read_file(dir.file("vek.trace")), "") << "no part of a line";
}

}  // namespace
