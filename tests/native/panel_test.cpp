// vek-panel's scripted mode and its errors, run as a user runs it: the real tool, the real driver
// library it loads, virtual cards on pseudo-terminals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/native/panel_process.h"
#include "tests/native/test_support.h"
#include "tools/virtual_card/card_commands.h"
#include "tools/virtual_card/virtual_card.h"

extern char** environ;

namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The lines of the output whose event is `event`.
std::vector<std::string> events(const PanelRun& run, const std::string& event) {
    std::vector<std::string> found;
    for (const std::string& line : run.lines) {
        if (line.rfind("{\"event\":\"" + event + "\"", 0) == 0) found.push_back(line);
    }
    return found;
}

// The lines of a trace that tell a frame going `dir` ("tx" or "rx"), each checked to start with
// the local date and time to the millisecond with the UTC offset: "2026-12-08T15:32:09.060+01:00 ".
std::vector<std::string> trace_frames(const std::string& trace, const std::string& dir) {
    std::vector<std::string> found;
    for (const std::string& line : lines_of(trace)) {
        const bool stamped = starts_with_iso_time(line) && line.size() > 30;
        EXPECT_TRUE(stamped) << line;
        if (stamped && line.compare(30, dir.size() + 1, dir + " ") == 0) found.push_back(line);
    }
    return found;
}

// The readings file's header row.
std::string csv_header_row() {
    std::string header = "time";
    for (int i = 1; i <= 16; ++i) header += ",in" + std::to_string(i);
    header += ",volts1,volts2";
    for (int i = 1; i <= 16; ++i) header += ",out" + std::to_string(i);
    return header + ",analog_out1,analog_out2,answering,line_state,answer_age_ms";
}

std::string inputs_json(unsigned on_input) {
    std::string out = "\"inputs\":[";
    for (unsigned i = 1; i <= 16; ++i) out += std::string(i > 1 ? "," : "") + (i == on_input ? "1" : "0");
    return out + "]";
}

class PanelTest : public ::testing::Test {
protected:
    std::vector<std::string> base_args() { return {"--settings", dir.file("settings.ini")}; }
    // The panel with its settings in the scratch folder and these arguments.
    PanelRun run_with(const std::vector<std::string>& extra,
                      const std::function<void(pid_t, const std::string&)>& on_line = nullptr) {
        std::vector<std::string> args = base_args();
        args.insert(args.end(), extra.begin(), extra.end());
        return run_panel(args, on_line);
    }
    // A virtual card, started, on a pseudo-terminal of its own (linked where the options say);
    // it runs until the test ends.
    VirtualCard& started_card(const VirtualCard::Options& options) {
        cards_.push_back(std::make_unique<VirtualCard>(options));
        std::string error;
        EXPECT_TRUE(cards_.back()->start(&error)) << error;
        return *cards_.back();
    }
    TempDir dir;
    std::vector<std::unique_ptr<VirtualCard>> cards_;
};

TEST_F(PanelTest, ScriptSwitchesTheVirtualCardsOutputsSeesItsInputsAndLeavesItAllOff) {
    const std::string log = dir.file("frames.log");
    std::vector<std::string> args = base_args();
    for (const char* action : {"output 3 on", "wait 300", "read", "card input 5 on", "card volts 2 2.5", "wait 500",
                               "read", "analog 2 128", "wait 300", "read"}) {
        args.insert(args.end(), {"--do", action});
    }
    args.insert(args.end(), {"--card-log", log});
    const PanelRun run = run_panel(args);
    ASSERT_EQ(run.status, 0) << run.errors << run.all_output();

    ASSERT_FALSE(run.lines.empty());
    EXPECT_TRUE(has(run.lines.front(), "\"event\":\"started\",\"port\":\"COM1\"")) << run.lines.front();
    EXPECT_TRUE(has(run.lines.front(), "\"virtual_card\":true"));
    for (const std::string& line : run.lines) {
        EXPECT_TRUE(line.front() == '{' && line.back() == '}') << line;
    }
    const std::vector<std::string> reads = events(run, "read");
    ASSERT_EQ(reads.size(), 3u) << run.all_output();
    EXPECT_TRUE(has(reads[0], inputs_json(0))) << reads[0];
    EXPECT_TRUE(has(reads[0], "\"outputs\":[0,0,1,0,")) << reads[0];
    EXPECT_TRUE(has(reads[0], "\"answering\":true")) << reads[0];
    // The card's change shows in the next reading; 2.5 V is raw 512.
    EXPECT_TRUE(has(reads[1], inputs_json(5))) << reads[1];
    EXPECT_TRUE(has(reads[1], "\"volts\":[0.000,2.502]")) << reads[1];
    EXPECT_TRUE(has(reads[2], "\"analog_out\":[0,128]")) << reads[2];

    const std::string frames = read_file(log);
    EXPECT_TRUE(has(frames, " 02 04 00 00 00 03 F8 valid\n")) << frames;
    EXPECT_TRUE(has(frames, " 02 04 00 00 80 03 78 valid\n")) << frames;
    EXPECT_FALSE(has(frames, "invalid"));
    const std::vector<std::string> logged = lines_of(frames);
    ASSERT_FALSE(logged.empty());
    EXPECT_TRUE(has(logged.back(), " 02 00 00 00 00 03 FC valid")) << logged.back();
    EXPECT_TRUE(has(run.lines.back(), "\"event\":\"stopped\"")) << run.lines.back();
    EXPECT_TRUE(has(run.lines.back(), "\"last_frame\":\"02 00 00 00 00 03 FC\"")) << run.lines.back();
}

TEST_F(PanelTest, ScriptDrivesASerialDeviceThroughTheLineMonitor) {
    VirtualCard& card = started_card({"", true});
    card.set_analog_raw(1, 1023);

    // A real card's line is traced too: the card's own log is only the virtual card's. In a time
    // zone half an hour off the hour, each time carries its offset from UTC.
    const std::string trace = dir.file("line.trace");
    ASSERT_EQ(::setenv("TZ", "IST-5:30", 1), 0);
    const PanelRun run = run_with({"--device", card.device_path(), "--trace", trace, "--do", "outputs 8001", "--do",
                                   "wait 500", "--do", "read"});
    ::unsetenv("TZ");
    EXPECT_EQ(lines_of(read_file(trace))[0].substr(23, 7), "+05:30 ") << read_file(trace);
    EXPECT_TRUE(has(run.lines.back(), "+05:30\"}")) << run.lines.back();
    ASSERT_EQ(run.status, 0) << run.errors << run.all_output();
    EXPECT_TRUE(has(run.lines.front(), "\"port\":\"COM1\",\"device\":\"" + card.device_path() + "\"")) << run.lines.front();
    const std::vector<std::string> reads = events(run, "read");
    ASSERT_EQ(reads.size(), 1u) << run.all_output();
    EXPECT_TRUE(has(reads[0], "\"volts\":[5.000,0.000]")) << reads[0];
    EXPECT_TRUE(has(reads[0], "\"last_frame\":\"02 01 80 00 00 03 7B\"")) << reads[0];
    EXPECT_TRUE(has(reads[0], "\"answering\":true")) << reads[0];

    // What the monitor counted is what the card saw.
    ReceivedFrame last{};
    ASSERT_TRUE(card.last_frame(&last));
    EXPECT_EQ(last.bytes, (std::array<uint8_t, 7>{0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFC}));
    EXPECT_EQ(card.invalid_frame_count(), 0u);
    EXPECT_EQ(card.garbage_byte_count(), 0u);
    EXPECT_TRUE(has(run.lines.back(), "\"frames_to_card\":" + std::to_string(card.frame_count()) + ","))
        << run.lines.back() << " card: " << card.frame_count();

    const std::vector<std::string> sent = trace_frames(read_file(trace), "tx");
    ASSERT_FALSE(sent.empty());
    EXPECT_TRUE(has(read_file(trace), " tx 02 01 80 00 00 03 7B        outputs 1 16 on, analog out 0 0\n")) << read_file(trace);
    EXPECT_TRUE(has(read_file(trace), " rx 12 FF FF FF 03 00 00 13 DC  inputs all off, analog in 5.000 V 0.000 V")) << read_file(trace);
    EXPECT_TRUE(has(sent.back(), " tx 02 00 00 00 00 03 FC        outputs all off")) << sent.back();
}

TEST_F(PanelTest, TheTraceTellsEachFrameAndWhatIsWrongWithTheBadOnes) {
    const std::string trace = dir.file("line.trace");
    const std::string csv = dir.file("readings.csv");
    std::vector<std::string> args = base_args();
    for (const char* action : {"output 3 on", "wait 600", "card garbage 3", "wait 600", "card faults off",
                               "card bad-sum on", "wait 600", "card faults off", "card bad-end on", "wait 600",
                               "card faults off", "card delay 300", "wait 1500", "card faults off", "card silent on",
                               "wait 1000", "card faults off", "wait 600", "read", "reset-counters", "wait 300", "read"}) {
        args.insert(args.end(), {"--do", action});
    }
    // Earlier runs' records at the cap: each goes to <file>.1 and a new file begins.
    const std::string old_trace = "2026-12-08T10:00:00.000+00:00 vek-panel trace: virtual card; an earlier run\n" +
                                  std::string(1 << 20, '.') + "\n";
    const std::string old_csv = csv_header_row() + "\n" + std::string(1 << 20, '.') + "\n";
    write_file(trace, old_trace);
    write_file(csv, old_csv);
    args.insert(args.end(), {"--trace", trace, "--csv", csv, "--record-cap", "1"});
    const PanelRun run = run_panel(args);
    ASSERT_EQ(run.status, 0) << run.errors << run.all_output();
    EXPECT_EQ(read_file(trace + ".1"), old_trace);
    EXPECT_EQ(read_file(csv + ".1"), old_csv);

    const std::string text = read_file(trace);
    const std::vector<std::string> answers = trace_frames(text, "rx");
    for (const char* told : {" tx 02 04 00 00 00 03 F8        outputs 3 on, analog out 0 0\n",
                             "  stray bytes (3)\n", "  bad checksum: the bytes sum to 02, not 01\n",
                             "  bad end byte 00, not 13\n", " ms: late\n",
                             " card silent: no answer to the frame before this one\n", " card answers again, after "}) {
        EXPECT_TRUE(has(text, told)) << told << "\n" << text;
    }
    // Each record heads its session: what is traced, the version and options, then the port and
    // the delay once the driver has started; the times are those of the JSON lines.
    const std::vector<std::string> lines = lines_of(text);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_TRUE(has(lines[0], " vek-panel trace: virtual card; tx host to card, rx card to host; vek-panel " VEK_PROJECT_VERSION
                              " session: options --settings ")) << lines[0];
    EXPECT_TRUE(has(lines[0], " --trace " + trace + " --csv " + csv + " --record-cap 1")) << lines[0];
    EXPECT_TRUE(has(lines[1], " driver started on COM1 (virtual card), delay 50 ms, settings ")) << lines[1];
    for (const std::string& line : run.lines) {
        const std::size_t time = line.find("\"time\":\"");
        EXPECT_TRUE(time != std::string::npos && starts_with_iso_time(line.substr(time + 8, 29) + " ")) << line;
    }
    // The readings: a line_state column, "# " lines heading the session, a row per host cycle.
    const std::vector<std::string> rows = lines_of(read_file(csv));
    ASSERT_GE(rows.size(), 4u);
    EXPECT_TRUE(has(rows[0], ",answering,line_state,answer_age_ms")) << rows[0];
    EXPECT_TRUE(rows[1].rfind("# ", 0) == 0 && has(rows[1], " vek-panel " VEK_PROJECT_VERSION " readings: options ")) << rows[1];
    EXPECT_TRUE(rows[2].rfind("# ", 0) == 0 && has(rows[2], " driver started on COM1 (virtual card)")) << rows[2];
    std::string states;
    // Milliseconds of the day; the run does not cross midnight in any test of interest.
    const auto ms_of_day = [](const std::string& row) {
        return ((std::stoi(row.substr(11, 2)) * 60 + std::stoi(row.substr(14, 2))) * 60 + std::stoi(row.substr(17, 2))) *
                   1000 + std::stoi(row.substr(20, 3));
    };
    for (std::size_t i = 3; i < rows.size(); ++i) {
        ASSERT_TRUE(starts_with_iso_time(rows[i].substr(0, 29) + " ")) << rows[i];
        const std::size_t end = rows[i].rfind(',');
        const std::size_t start = rows[i].rfind(',', end - 1) + 1;
        states += rows[i].substr(start, end - start) + " ";
        // The reading an action takes between two cycles is no second row for the cycle.
        if (i > 3 && ms_of_day(rows[i]) >= ms_of_day(rows[i - 1])) {
            EXPECT_GE(ms_of_day(rows[i]) - ms_of_day(rows[i - 1]), 80) << rows[i - 1] << "\n" << rows[i];
        }
    }
    EXPECT_TRUE(has(states, "answering ") && has(states, "corrupt ")) << states;
    const std::vector<std::string> reads = events(run, "read");
    ASSERT_EQ(reads.size(), 2u) << run.all_output();
    EXPECT_TRUE(has(reads[0], "\"time\":\"")) << reads[0];
    EXPECT_FALSE(has(reads[0], "\"late_answers\":0,")) << reads[0];
    EXPECT_FALSE(has(reads[0], "\"bad_answers\":0,")) << reads[0];
    EXPECT_FALSE(has(reads[0], "\"stray_bytes\":0,")) << reads[0];
    EXPECT_FALSE(has(reads[0], "\"unanswered\":0,")) << reads[0];
    EXPECT_TRUE(has(reads[0], "\"last_bad_answer\":\"12 FF FF 00 00 00 00 00 ")) << reads[0];
    // reset-counters: every count from 0, the longest answer time too (the late ones were 300 ms).
    for (const char* zero : {"\"late_answers\":0,", "\"bad_answers\":0,", "\"stray_bytes\":0,", "\"unanswered\":0,"}) {
        EXPECT_TRUE(has(reads[1], zero)) << zero << " " << reads[1];
    }
    EXPECT_FALSE(has(reads[1], "\"last_bad_answer\"")) << reads[1];
    const std::size_t longest = reads[1].find("\"longest_answer_ms\":");
    ASSERT_NE(longest, std::string::npos) << reads[1];
    EXPECT_LT(std::stod(reads[1].substr(longest + 20)), 200.0) << reads[1];
}

// The example acceptance script on a virtual card wired as a loopback rig: each input follows
// its output through the whole driver, and each analog output comes back as its volts.
TEST_F(PanelTest, ALoopbackRigPassesTheAcceptanceScript) {
    ASSERT_EQ(::mkdir(dir.file("ports").c_str(), 0755), 0);
    VirtualCard::Options rig{dir.file("ports/com1"), true};
    rig.loopback = true;
    started_card(rig);
    const std::string script = VEK_STORIES_DIR "/../../tools/panel/examples/loopback-acceptance.script";
    const PanelRun run = run_with({"--ports", dir.file("ports"), "--keep-going", "--script", script});
    ASSERT_EQ(run.status, 0) << run.errors << run.all_output();
    EXPECT_EQ(events(run, "read").size(), 32u) << run.all_output();
    const std::vector<std::string> summary = events(run, "summary");
    ASSERT_EQ(summary.size(), 1u) << run.all_output();
    EXPECT_TRUE(has(summary[0], "\"failed\":0,\"skipped\":0,\"interrupted\":false,\"status\":0")) << summary[0];
}

// The host is a second panel on a ports folder whose com1 is the tap's link; the card is a
// virtual card in this process, so everything it receives is known.
TEST_F(PanelTest, TheTapPassesAHostsFramesBothWaysAndSendsNothingOfItsOwn) {
    ASSERT_EQ(::mkdir(dir.file("ports").c_str(), 0755), 0);
    VirtualCard& card = started_card({"", true});
    card.set_input(5, true);
    card.set_analog_raw(1, 675);
    const std::string link = dir.file("ports/com1");
    const std::string trace = dir.file("tap.trace");
    const std::string csv = dir.file("tap.csv");

    bool quiet_without_host = false;
    PanelRun host;
    const PanelRun tap = run_panel(
        {"--tap", card.device_path(), "--link", link, "--trace", trace, "--csv", csv, "--do", "read", "--do",
         "wait-input 5 on 60000", "--do", "wait 600000"},
        [&](pid_t pid, const std::string& line) {
            if (has(line, "\"event\":\"started\"")) {
                // No host yet: whatever the card gets now, the tap sent.
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                quiet_without_host = card.frame_count() == 0 && card.invalid_frame_count() == 0 &&
                                     card.garbage_byte_count() == 0;
                host = run_panel({"--settings", dir.file("settings.ini"), "--ports", dir.file("ports"), "--do",
                                  "output 3 on", "--do", "wait 500", "--do", "read"});
            }
            if (has(line, "\"event\":\"read\"") && has(line, "\"waited_ms\"")) ::kill(pid, SIGINT);
        });
    // Ended by Ctrl-C in the middle of its wait: the status of an interrupted script.
    ASSERT_EQ(tap.status, 8) << tap.errors << tap.all_output();
    ASSERT_EQ(host.status, 0) << host.errors << host.all_output();
    EXPECT_TRUE(quiet_without_host);
    EXPECT_TRUE(has(tap.lines.front(), "\"event\":\"started\",\"tap\":true,\"link\":\"" + link + "\"")) << tap.lines.front();

    // The host drove the card through the tap, and saw its answers.
    const std::vector<std::string> host_reads = events(host, "read");
    ASSERT_EQ(host_reads.size(), 1u) << host.all_output();
    EXPECT_TRUE(has(host_reads[0], inputs_json(5))) << host_reads[0];
    EXPECT_TRUE(has(host_reads[0], "\"volts\":[3.299,0.000]")) << host_reads[0];
    const std::vector<std::string> tap_reads = events(tap, "read");
    ASSERT_EQ(tap_reads.size(), 2u) << tap.all_output();
    // Before the host's first frame the tap has seen no frame: none is made up of zeros.
    EXPECT_TRUE(has(tap_reads[0], "\"last_frame\":null,\"last_answer\":null")) << tap_reads[0];
    EXPECT_TRUE(has(tap_reads[0], inputs_json(0))) << tap_reads[0];
    EXPECT_TRUE(has(tap_reads[1], inputs_json(5))) << tap_reads[1];
    EXPECT_TRUE(has(tap_reads[1], "\"volts\":[3.299,0.000]")) << tap_reads[1];

    // Every byte the card got was the host's: the tap counted each frame the card received and
    // each answer it sent, and the host's all-off frame stayed the last.
    ReceivedFrame last{};
    ASSERT_TRUE(card.last_frame(&last));
    EXPECT_EQ(last.bytes, (std::array<uint8_t, 7>{0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFC}));
    EXPECT_EQ(card.invalid_frame_count(), 0u);
    EXPECT_EQ(card.garbage_byte_count(), 0u);
    const std::string& stopped = tap.lines.back();
    EXPECT_TRUE(has(stopped, "\"frames_to_card\":" + std::to_string(card.frame_count()) + ",")) << stopped;
    EXPECT_TRUE(has(stopped, "\"answers\":" + std::to_string(card.answer_count()) + ",")) << stopped;

    const std::string text = read_file(trace);
    const std::vector<std::string> sent = trace_frames(text, "tx");
    EXPECT_EQ(sent.size(), card.frame_count()) << text;
    EXPECT_EQ(trace_frames(text, "rx").size(), card.answer_count()) << text;
    EXPECT_TRUE(has(text, " tx 02 04 00 00 00 03 F8        outputs 3 on, analog out 0 0\n")) << text;
    EXPECT_TRUE(has(text, " rx 12 EF FF A3 02 00 00 13 49  inputs 5 on, analog in 3.299 V 0.000 V, answered in ")) << text;

    const std::vector<std::string> rows = lines_of(read_file(csv));
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows[0].rfind("time,in1,", 0), 0u) << rows[0];
    EXPECT_TRUE(has(rows[0], ",volts1,volts2,out1,")) << rows[0];
    EXPECT_TRUE(has(rows[0], ",analog_out1,analog_out2,answering,line_state,answer_age_ms")) << rows[0];
    bool input_5_row = false;
    for (const std::string& row : rows) input_5_row = input_5_row || has(row, ",0,0,0,0,1,0,0,0,0,0,0,0,0,0,0,0,3.299,0.000,");
    EXPECT_TRUE(input_5_row) << read_file(csv);

    // The host's port name goes with the tap.
    struct stat st {};
    EXPECT_NE(::lstat(link.c_str(), &st), 0);
}

std::string link_target(const std::string& link) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// Points link at target in one step, as another program would take a name.
void relink(const std::string& link, const std::string& target) {
    const std::string fresh = link + ".test-new";
    ASSERT_EQ(::symlink(target.c_str(), fresh.c_str()), 0);
    ASSERT_EQ(::rename(fresh.c_str(), link.c_str()), 0);
}

// The port link the line monitor publishes (here the tap's; the panel's own COM1 is the same
// code): a lost line leaves it naming nothing that opens, never the old /dev/pts number, which
// the system soon gives another program's terminal; a name another program has taken since is
// never replaced, not even when the card comes back.
TEST_F(PanelTest, ThePortLinkNamesNothingOnceItsLineIsGoneAndIsNeverTakenBack) {
    ASSERT_EQ(::mkdir(dir.file("ports").c_str(), 0755), 0);
    for (const bool taken : {false, true}) {
        SCOPED_TRACE(taken ? "another program takes the link, then the card comes back" : "the card is pulled");
        VirtualCard& card = started_card({"", false});
        // The tap's device is a name the test moves to the card's new line on its replug.
        const std::string device = dir.file(taken ? "card-b" : "card-a");
        const std::string link = dir.file(taken ? "ports/com2" : "ports/com1");
        const std::string other = dir.file("other-program");
        relink(device, card.device_path());
        std::string old_target;
        std::string at_read;
        bool opens_at_read = true;
        const PanelRun run = run_panel(
            // The wait after the read keeps the tap, and its link, there while the read is looked at.
            {"--tap", device, "--link", link, "--do", "wait 1500", "--do", "read", "--do", "wait 1000"},
            [&](pid_t, const std::string& line) {
                if (has(line, "\"event\":\"read\"")) {
                    at_read = link_target(link);
                    const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
                    opens_at_read = fd >= 0;
                    if (fd >= 0) ::close(fd);
                }
                if (!has(line, "\"event\":\"started\"")) return;
                old_target = link_target(link);
                if (taken) relink(link, other);
                card.unplug();
                std::string error;
                if (taken) {
                    EXPECT_TRUE(card.replug(&error)) << error;
                    relink(device, card.device_path());
                } else {
                    relink(device, dir.file("no-card-now"));
                }
            });
        ASSERT_EQ(run.status, 0) << run.errors << run.all_output();
        EXPECT_EQ(old_target.rfind("/dev/pts/", 0), 0u) << old_target;
        const std::vector<std::string> reads = events(run, "read");
        ASSERT_EQ(reads.size(), 1u) << run.all_output();
        if (taken) {
            EXPECT_EQ(at_read, other);
            EXPECT_TRUE(has(reads[0], "\"link_taken\":true")) << reads[0];
            EXPECT_EQ(link_target(link), other) << "the tap's exit leaves another program's link alone";
        } else {
            EXPECT_TRUE(has(reads[0], "\"card_connected\":false")) << reads[0];
            EXPECT_NE(at_read, old_target);
            EXPECT_FALSE(at_read.empty()) << "the port name stays, naming nothing: Wine would open COMn as /dev/ttyS<n-1>";
            EXPECT_FALSE(opens_at_read) << link << " -> " << at_read;
            EXPECT_FALSE(file_exists(link));
        }
    }
}

// Ctrl-C, or SIGTERM from a CI's timeout: the step cut short is told, never logged as done, the
// rest counted as skipped, and the run ends with its own status, the card all off.
TEST_F(PanelTest, AnInterruptedScriptSaysSoAndStillLeavesTheCardAllOff) {
    ASSERT_EQ(::mkdir(dir.file("ports").c_str(), 0755), 0);
    VirtualCard& card = started_card({dir.file("ports/com1"), false});
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
        std::vector<std::string> args = base_args();
        args.insert(args.end(), {"--ports", dir.file("ports"), "--do", "outputs FFFF", "--do", "wait 300", "--do",
                                 "wait 600000", "--do", "read"});
        const PanelRun run = run_panel(args, [signal](pid_t pid, const std::string& line) {
            if (has(line, "\"action\":\"wait 300\"")) ::kill(pid, signal);
        });
        EXPECT_EQ(run.status, 8) << run.errors << run.all_output();
        const std::vector<std::string> cut = events(run, "interrupted");
        ASSERT_EQ(cut.size(), 1u) << run.all_output();
        EXPECT_TRUE(has(cut[0], "\"action\":\"wait 600000\",\"place\":\"--do 3\",\"skipped\":2")) << cut[0];
        EXPECT_FALSE(has(run.all_output(), "\"event\":\"done\",\"t_ms\":") && has(run.all_output(), "\"action\":\"wait 600000\"}"))
            << run.all_output();
        EXPECT_TRUE(events(run, "read").empty()) << run.all_output();
        ASSERT_EQ(events(run, "summary").size(), 1u) << run.all_output();
        EXPECT_TRUE(has(events(run, "summary")[0], "\"skipped\":2,\"interrupted\":true,\"status\":8")) << run.all_output();
        EXPECT_TRUE(has(run.lines.back(), "\"event\":\"stopped\"")) << run.all_output();
        bool all_on = false;
        for (const ReceivedFrame& frame : card.frames()) all_on = all_on || (frame.valid && frame.bytes[1] == 0xFF);
        EXPECT_TRUE(all_on);
        ReceivedFrame last{};
        ASSERT_TRUE(card.last_frame(&last));
        EXPECT_EQ(last.bytes, (std::array<uint8_t, 7>{0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFC}));
    }
}

// A site acceptance script: labelled steps, checks of the analog inputs and of the line, and with
// --keep-going every step run and the misses summed up with their labels and places at the end.
TEST_F(PanelTest, AnAcceptanceScriptChecksEveryStepAndSumsUpTheMisses) {
    write_file(dir.file("site.script"),
               "label analog loop 1\n"
               "card volts 1 2.5\n"
               "wait 400   # the card's answer, then the host's read\n"
               "check-analog-in 1 2.4 2.6\n"
               "check-analog-in 1 0 1\n"
               "label line\n"
               "check-line answering\n"
               "check-line silent\n"
               "read\n");
    for (const bool keep_going : {true, false}) {
        SCOPED_TRACE(keep_going ? "--keep-going" : "to the first miss");
        std::vector<std::string> args = {"--script", dir.file("site.script")};
        if (keep_going) args.insert(args.begin(), "--keep-going");
        const PanelRun run = run_with(args);
        EXPECT_EQ(run.status, 6) << run.errors << run.all_output();
        const std::vector<std::string> missed = events(run, "check-failed");
        ASSERT_EQ(missed.size(), keep_going ? 2u : 1u) << run.all_output();
        const std::string place = "script " + dir.file("site.script") + " line ";
        EXPECT_TRUE(has(missed[0], "\"label\":\"analog loop 1\",\"action\":\"check-analog-in 1 0 1\",\"place\":\"" +
                                       place + "5\",\"volts\":2.5")) << missed[0];
        const std::vector<std::string> summary = events(run, "summary");
        ASSERT_EQ(summary.size(), 1u) << run.all_output();
        if (keep_going) {
            EXPECT_TRUE(has(missed[1], "\"label\":\"line\",\"action\":\"check-line silent\"")) << missed[1];
            EXPECT_TRUE(has(missed[1], "\"line_state\":\"answering\"")) << missed[1];
            EXPECT_TRUE(has(summary[0], "\"passed\":5,\"failed\":2,\"skipped\":0,\"interrupted\":false,\"status\":6")) << summary[0];
            EXPECT_TRUE(has(summary[0], "{\"event\":\"check-failed\",\"action\":\"check-line silent\",\"place\":\"" + place +
                                            "8\",\"label\":\"line\"}")) << summary[0];
            ASSERT_EQ(events(run, "read").size(), 1u) << run.all_output();
            EXPECT_TRUE(has(events(run, "read")[0], "\"label\":\"line\"")) << run.all_output();
        } else {
            EXPECT_TRUE(has(summary[0], "\"passed\":3,\"failed\":1,\"skipped\":4,\"interrupted\":false,\"status\":6")) << summary[0];
            EXPECT_TRUE(events(run, "read").empty()) << run.all_output();
        }
        EXPECT_TRUE(has(run.lines.back(), "\"event\":\"stopped\"")) << run.all_output();
    }
}

// A readings file that cannot be written (here: over the file size limit) fails the run.
TEST_F(PanelTest, ARecordThatCannotBeWrittenFailsTheRun) {
    if (kThreadSanitizer) GTEST_SKIP() << "ThreadSanitizer's runtime writes a file before main, which the limit ends";
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit none = before;
    none.rlim_cur = 0;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &none), 0);
    const PanelRun run = run_with({"--csv", dir.file("readings.csv"), "--do", "wait 300", "--do", "read"});
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &before), 0);
    EXPECT_EQ(run.status, 7) << run.errors << run.all_output();
    ASSERT_EQ(events(run, "record-failed").size(), 1u) << run.all_output();
    EXPECT_TRUE(has(events(run, "record-failed")[0], "\"record\":\"--csv " + dir.file("readings.csv") + "\""))
        << run.all_output();
    EXPECT_TRUE(has(run.errors, "cannot write the readings file")) << run.errors;
}

// The three sources of the line's health: the panel's line monitor (--device), the driver's trace
// with its frames (a ports folder) and the tap between another panel and the card. Each is told
// the same way: answer times from the frame's send, late against the driver's 200 ms window
// whatever the poll delay, and a slow poll shown as its cycle, never as a quiet driver.
enum class Source { monitor, trace, tap };

struct TruthRow {
    const char* fault;    // card commands, ';' between them, played before the row's reading
    const char* state[3]; // the line_state each source then shows (monitor, trace, tap); null: not judged
    const char* counted;  // a count that must not be 0
};

// One run of a source at a delay: a reading of the healthy card, then one after each row's fault.
std::vector<std::string> truth_reads(TempDir& dir, Source source, unsigned delay_ms, const std::vector<TruthRow>& rows,
                                     std::string* output) {
    const std::string ports = dir.file("ports-" + std::to_string(static_cast<int>(source)) + "-" +
                                       std::to_string(delay_ms));
    EXPECT_EQ(::mkdir(ports.c_str(), 0755), 0);
    const std::string settings = ports + ".ini";
    write_file(settings, "[korvanex-vek-driver-0]\ndelay=" + std::to_string(delay_ms) + "\n");
    VirtualCard card(VirtualCard::Options{source == Source::trace ? ports + "/com1" : std::string(), true});
    std::string error;
    EXPECT_TRUE(card.start(&error)) << error;
    // A few of the driver's cycles before each reading, whatever its delay.
    // The tap's host panel scans for the card after the tap has started.
    const std::string settle = std::to_string(std::max(1500u, 2 * delay_ms + 1500) + (source == Source::tap ? 2000 : 0));
    std::vector<std::string> args;
    if (source == Source::monitor) args = {"--settings", settings, "--device", card.device_path()};
    if (source == Source::trace) args = {"--settings", settings, "--ports", ports};
    if (source == Source::tap) args = {"--tap", card.device_path(), "--link", ports + "/com1"};
    args.insert(args.end(), {"--do", "wait " + settle, "--do", "read"});
    // A slow poll read across a whole cycle: some readings come over 2 s after a frame.
    for (int i = 0; delay_ms >= 1000 && i < 6; ++i) args.insert(args.end(), {"--do", "wait 500", "--do", "read"});
    for (std::size_t i = 0; i < rows.size(); ++i) args.insert(args.end(), {"--do", "read", "--do", "wait 1500", "--do", "read"});
    std::thread host;
    std::atomic<pid_t> host_pid{-1};
    std::size_t reads_seen = 0;
    const PanelRun run = run_panel(args, [&](pid_t, const std::string& line) {
        // The tap watches another panel, which drives the card through the tap's link.
        if (source == Source::tap && has(line, "\"event\":\"started\"")) {
            host = std::thread([&] {
                run_panel({"--settings", settings, "--ports", ports, "--do", "wait 600000"},
                          [&](pid_t pid, const std::string&) { host_pid = pid; });
            });
        }
        if (!has(line, "\"event\":\"read\"")) return;
        // The reading after the healthy one, and every second after it, marks where a fault goes.
        ++reads_seen;
        if (reads_seen < 2 || reads_seen % 2 != 0 || reads_seen / 2 > rows.size()) return;
        std::istringstream faults(rows[reads_seen / 2 - 1].fault);
        for (std::string fault; std::getline(faults, fault, ';');) {
            CommandState state{card, "", {}, false};
            run_command(state, fault);
        }
    });
    if (host.joinable()) {
        if (host_pid > 0) ::kill(host_pid, SIGTERM);
        host.join();
    }
    EXPECT_EQ(run.status, 0) << run.errors << run.all_output();
    *output = run.errors + run.all_output();
    std::vector<std::string> reads = events(run, "read");
    if (rows.empty()) return reads;
    std::vector<std::string> judged;
    for (std::size_t i = 0; i < reads.size(); ++i) {
        if (i == 0 || i % 2 == 0) judged.push_back(reads[i]);
    }
    return judged;
}

double json_value(const std::string& line, const std::string& key) {
    const std::size_t at = line.find("\"" + key + "\":");
    if (at == std::string::npos || line.compare(at + key.size() + 3, 4, "null") == 0) return -1.0;
    return std::strtod(line.c_str() + at + key.size() + 3, nullptr);
}

TEST_F(PanelTest, EverySourceTellsTheLineAndItsAnswerTimesAlike) {
    const std::vector<TruthRow> faults = {
        {"bad-sum on", {"corrupt", "corrupt", "corrupt"}, "bad_sums"},
        {"bad-sum off;bad-end on", {"corrupt", "corrupt", "corrupt"}, "bad_ends"},
        {"faults off;delay 300", {"late", "late", "late"}, "late_answers"},
        {"delay 0;silent on", {"silent", "silent", "silent"}, nullptr},
        // The driver loses the port its link names. A pulled device is not judged here: the monitor
        // and the tap reopen it by its name, which the system may give another program's terminal
        // at once (the tap once read another test's card there); the panel's own line is pulled in
        // ACardThatFallsSilentOrIsPulledIsShownWhilePollingGoesOn.
        {"silent off;unplug", {nullptr, "reconnecting", nullptr}, nullptr},
    };
    const std::vector<Source> sources = {Source::monitor, Source::trace, Source::tap};
    for (const unsigned delay : {0u, 50u, 300u, 3000u}) {
        SCOPED_TRACE("delay " + std::to_string(delay));
        // The three sources at once: each run waits on the driver's cycles far more than it works,
        // so side by side they take the longest one's time, not the sum. Not at delay 0: there each
        // driver polls as fast as the wire goes, and three at once on a busy machine answer late.
        std::vector<std::vector<std::string>> all_reads(sources.size());
        std::vector<std::string> outputs(sources.size());
        std::vector<std::thread> runs;
        for (std::size_t i = 0; i < sources.size(); ++i) {
            runs.emplace_back([&, i] {
                all_reads[i] = truth_reads(dir, sources[i], delay, delay == 50 ? faults : std::vector<TruthRow>{},
                                           &outputs[i]);
            });
            if (delay == 0) runs.back().join();
        }
        for (std::thread& run : runs) {
            if (run.joinable()) run.join();
        }
        for (std::size_t s = 0; s < sources.size(); ++s) {
            const Source source = sources[s];
            SCOPED_TRACE(source == Source::monitor ? "line monitor" : source == Source::trace ? "driver's trace" : "tap");
            const std::size_t column = static_cast<std::size_t>(source);
            const std::vector<std::string>& reads = all_reads[s];
            const std::string& output = outputs[s];
            ASSERT_EQ(reads.size(), delay == 50 ? faults.size() + 1 : delay == 3000 ? 7u : 1u) << output;
            // Healthy: answering, each answer within a few ms of its frame (the wire takes 1.6 ms),
            // never late, and a poll slower than a second shown as its cycle.
            for (std::size_t i = 0; i < (delay == 50 ? 1 : reads.size()); ++i) {
                const std::string& healthy = reads[i];
                EXPECT_TRUE(has(healthy, "\"line_state\":\"answering\",\"answering\":true")) << healthy;
                EXPECT_TRUE(has(healthy, "\"late_answers\":0,")) << healthy;
                const double answer_ms = json_value(healthy, "answer_ms");
                EXPECT_TRUE(answer_ms >= 0.0 && answer_ms < 40.0) << healthy;
                if (delay == 3000) {
                    const double cycle_ms = json_value(healthy, "cycle_ms");
                    EXPECT_TRUE(cycle_ms > 2500.0 && cycle_ms < 4500.0) << healthy;
                }
            }
            for (std::size_t i = 1; delay == 50 && i < reads.size(); ++i) {
                const TruthRow& row = faults[i - 1];
                SCOPED_TRACE(row.fault);
                if (row.state[column] == nullptr) continue;
                EXPECT_TRUE(has(reads[i], std::string("\"line_state\":\"") + row.state[column] + "\"")) << reads[i];
                EXPECT_TRUE(has(reads[i], "\"answering\":false")) << reads[i];
                if (row.counted != nullptr) {
                    EXPECT_FALSE(has(reads[i], std::string("\"") + row.counted + "\":0,")) << reads[i];
                }
            }
            // A silent card's inputs are what it last sent, and are told to be old.
            if (delay == 50) {
                EXPECT_TRUE(has(reads[4], "\"inputs_stale\":true")) << reads[4];
            }
        }
    }
}

TEST_F(PanelTest, AReplugShowsTheDriverReconnectingNotADeadDriver) {
    const PanelRun run = run_with({"--do", "card unplug", "--do", "wait 800", "--do", "read", "--do", "card replug",
                                   "--do", "wait 3000", "--do", "read", "--do", "restart"});
    ASSERT_EQ(run.status, 0) << run.errors << run.all_output();
    const std::vector<std::string> reads = events(run, "read");
    ASSERT_EQ(reads.size(), 2u) << run.all_output();
    EXPECT_TRUE(has(reads[0], "\"line_state\":\"line-lost\"")) << reads[0];
    // Back on the line: the driver reconnects to its port, or has done so already.
    EXPECT_TRUE(has(reads[1], "\"line_state\":\"reconnecting\"") || has(reads[1], "\"line_state\":\"answering\""))
        << reads[1];
    EXPECT_TRUE(has(run.all_output(), "\"action\":\"restart\",\"started\":true")) << run.all_output();
}

// The driver's own reconnect, as its trace tells it: the lines are appended here as the driver
// writes them, to the user's trace the panel follows.
TEST_F(PanelTest, ALostPortIsShownAsTheDriverReconnectingUntilItSaysReopened) {
    const std::string trace = dir.file("line.trace");
    write_file(dir.file("settings.ini"), "[korvanex-vek-driver-0]\ntrace=" + trace + "\n");
    const auto append = [&trace](const std::string& text) {
        char stamp[32];
        const std::time_t now = std::time(nullptr);
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
        const int fd = ::open(trace.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        const std::string line = std::string(stamp) + ".000 " + text + "\n";
        EXPECT_EQ(::write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        ::close(fd);
    };
    int reads_seen = 0;
    // The waits leave the test time to append while the panel cycles; they measure nothing.
    const PanelRun run = run_with({"--do", "wait 300", "--do", "read", "--do", "wait 2000", "--do", "read", "--do",
                                   "wait 2000", "--do", "read"},
                                  [&](pid_t, const std::string& line) {
                                      if (!has(line, "\"event\":\"read\"")) return;
                                      ++reads_seen;
                                      if (reads_seen == 1) append("COM1 lost: Input/output error");
                                      if (reads_seen == 2) append("COM1 reopened after 1100 ms");
                                  });
    ASSERT_EQ(run.status, 0) << run.errors << run.all_output();
    const std::vector<std::string> reads = events(run, "read");
    ASSERT_EQ(reads.size(), 3u) << run.all_output();
    EXPECT_TRUE(has(reads[0], "\"line_state\":\"answering\"")) << reads[0];
    EXPECT_TRUE(has(reads[1], "\"line_state\":\"reconnecting\",\"answering\":false")) << reads[1];
    EXPECT_TRUE(has(reads[1], "\"lost\":\"COM1: Input/output error\"")) << reads[1];
    EXPECT_TRUE(has(reads[2], "\"line_state\":\"answering\"")) << reads[2];
    EXPECT_TRUE(has(reads[2], "\"reopened\":\"COM1 reopened after 1100 ms\"")) << reads[2];
}

TEST_F(PanelTest, TheSettingsFileIsReadAsTheDriverReadsItAndLeftAsItWas) {
    const std::string settings = dir.file("settings.ini");
    {
        SCOPED_TRACE("the delay in use, and the panel's trace lent only for the start");
        const std::string text = "; the user's notes\n[korvanex-vek-driver-0]\ndelay=80\n";
        write_file(settings, text);
        // A link planted where a rewrite once made its new file is not followed.
        write_file(dir.file("victim"), "root's own file\n");
        ASSERT_EQ(::symlink(dir.file("victim").c_str(), (settings + ".vek-panel-restore").c_str()), 0);
        const PanelRun run = run_with({"--do", "wait 300", "--do", "read"});
        ASSERT_EQ(run.status, 0) << run.errors << run.all_output();
        EXPECT_TRUE(has(run.lines.front(), "\"delay_ms\":80")) << run.lines.front();
        EXPECT_TRUE(has(run.lines.front(), "\"own_trace\":true")) << run.lines.front();
        EXPECT_EQ(read_file(settings), text);
        EXPECT_EQ(read_file(dir.file("victim")), "root's own file\n");
    }
    {
        SCOPED_TRACE("the user's own trace is followed, not replaced");
        const std::string trace = dir.file("user.trace");
        const std::string text = "[korvanex-vek-driver-0]\ntrace=" + trace + "\n";
        write_file(settings, text);
        const PanelRun run = run_with({"--do", "card bad-end on", "--do", "wait 800", "--do", "read"});
        ASSERT_EQ(run.status, 0) << run.errors << run.all_output();
        EXPECT_TRUE(has(run.lines.front(), "\"trace\":\"" + trace + "\",\"own_trace\":false")) << run.lines.front();
        EXPECT_TRUE(has(read_file(trace), "bad end byte"));
        EXPECT_EQ(read_file(settings), text);
    }
    {
        SCOPED_TRACE("a port named in the settings, where the card is not");
        write_file(settings, "[korvanex-vek-driver-0]\nport=3\n");
        const PanelRun run = run_with({"--do", "read"});
        EXPECT_EQ(run.status, 3) << run.errors << run.all_output();
        EXPECT_TRUE(has(run.errors, "no card answered on COM3, the port named by port=3 in " + settings)) << run.errors;
    }
}

// The panel as a process that runs on until the test ends it; its output is not read.
pid_t spawn_panel(std::vector<std::string> args) {
    args.insert(args.begin(), VEK_PANEL_TOOL);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Silent cards at com1 to com3 of a ports folder: each start probes them first, so that each
// start, and the trace keys lent for it, lasts a while.
void add_silent_ports(TempDir& dir, const std::string& folder, std::vector<std::unique_ptr<VirtualCard>>* cards) {
    ASSERT_EQ(::mkdir(dir.file(folder).c_str(), 0755), 0);
    for (const char* port : {"/com1", "/com2", "/com3"}) {
        cards->push_back(std::make_unique<VirtualCard>(VirtualCard::Options{dir.file(folder + port), false}));
        std::string error;
        ASSERT_TRUE(cards->back()->start(&error)) << error;
        CardFault silent;
        silent.silent = true;
        cards->back()->set_fault(silent);
    }
}

// The default settings file is shared by every panel a user starts: each lends a trace of its
// own, and follows only that one.
TEST_F(PanelTest, TwoPanelsOnOneSettingsFileEachShowTheirOwnCard) {
    const std::string settings = dir.file("settings.ini");
    const std::string text = "; shared by two panels\n[korvanex-vek-driver-0]\ndelay=50\n";
    write_file(settings, text);
    add_silent_ports(dir, "a", &cards_);
    add_silent_ports(dir, "b", &cards_);
    VirtualCard& card_a = started_card({dir.file("a/com4"), false});
    VirtualCard& card_b = started_card({dir.file("b/com4"), false});
    card_a.set_input(1, true);
    card_b.set_input(2, true);
    PanelRun second;
    // The second starts while the first still scans, its keys lent.
    std::thread second_run([&] {
        for (int waited = 0; waited < 20000 && !has(read_file(settings), "trace="); waited += 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        second = run_with({"--ports", dir.file("b"), "--do", "read", "--do", "wait 1500", "--do", "read"},
                          [&](pid_t, const std::string& line) {
                              CardFault silent;
                              silent.silent = true;
                              if (has(line, "\"event\":\"read\"")) card_b.set_fault(silent);
                          });
    });
    const PanelRun first = run_with({"--ports", dir.file("a"), "--do", "wait 3000", "--do", "read"});
    second_run.join();
    ASSERT_EQ(first.status, 0) << first.errors << first.all_output();
    ASSERT_EQ(second.status, 0) << second.errors << second.all_output();
    EXPECT_TRUE(has(first.lines.front(), "\"own_trace\":true")) << first.lines.front();
    EXPECT_TRUE(has(second.lines.front(), "\"own_trace\":true")) << second.lines.front();
    const std::vector<std::string> first_reads = events(first, "read");
    const std::vector<std::string> second_reads = events(second, "read");
    ASSERT_EQ(first_reads.size(), 1u) << first.all_output();
    ASSERT_EQ(second_reads.size(), 2u) << second.all_output();
    EXPECT_TRUE(has(first_reads[0], inputs_json(1))) << first_reads[0];
    EXPECT_TRUE(has(first_reads[0], "\"line_state\":\"answering\"")) << first_reads[0];
    EXPECT_TRUE(has(second_reads[1], inputs_json(2))) << second_reads[1];
    EXPECT_TRUE(has(second_reads[1], "\"line_state\":\"silent\"")) << second_reads[1];
    EXPECT_EQ(read_file(settings), text);
}

// Keys lent for a start that the panel never took back, killed meanwhile: the next run puts the
// file back, as does --repair-settings, and says so; the dead panel's folder goes too.
TEST_F(PanelTest, KeysLentByAKilledPanelArePutBackByTheNextRun) {
    const std::string settings = dir.file("settings.ini");
    const std::string text = "; the user's notes\n[korvanex-vek-driver-0]\ndelay=50\n";
    add_silent_ports(dir, "ports", &cards_);
    ASSERT_EQ(::mkdir(dir.file("none").c_str(), 0755), 0);
    for (const bool by_option : {false, true}) {
        SCOPED_TRACE(by_option ? "--repair-settings" : "the next run");
        write_file(settings, text);
        const pid_t pid = spawn_panel({"--settings", settings, "--ports", dir.file("ports"), "--wait-card", "60",
                                       "--do", "read"});
        ASSERT_GT(pid, 0);
        // Killed while the driver starts: as soon as the keys are in the file.
        std::string lent;
        for (int waited = 0; waited < 20000 && !has(lent, "trace="); waited += 5) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            lent = read_file(settings);
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        ASSERT_TRUE(has(lent, "trace=")) << lent;
        const std::size_t at = lent.find("trace=") + 6;
        const std::string folder = lent.substr(at, lent.find("/line.trace", at) - at);
        const PanelRun next = by_option ? run_panel({"--repair-settings", settings})
                                        : run_with({"--ports", dir.file("none"), "--do", "read"});
        EXPECT_EQ(next.status, by_option ? 0 : 3) << next.errors;
        EXPECT_EQ(read_file(settings), text);
        EXPECT_TRUE(has(next.errors, "put " + settings + " back as it was")) << next.errors;
        struct stat st {};
        EXPECT_NE(::stat(folder.c_str(), &st), 0) << folder;
    }
    const PanelRun again = run_panel({"--repair-settings", settings});
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(has(again.errors, "no keys lent by a panel were left in it")) << again.errors;
}

TEST_F(PanelTest, WaitCardKeepsScanningUntilTheCardIsPowered) {
    ASSERT_EQ(::mkdir(dir.file("ports").c_str(), 0755), 0);
    VirtualCard card(VirtualCard::Options{dir.file("ports/com4"), false});
    std::thread power([&card] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        std::string error;
        card.start(&error);
    });
    const PanelRun run = run_with({"--ports", dir.file("ports"), "--wait-card", "60", "--do", "read"});
    power.join();
    ASSERT_EQ(run.status, 0) << run.errors << run.all_output();
    EXPECT_TRUE(has(run.lines.front(), "\"port\":\"COM4\"")) << run.lines.front();

    // A USB adapter plugged in after the start: its device node appears late (here a link to
    // the card's pseudo-terminal), and is waited for too.
    VirtualCard adapter(VirtualCard::Options{"", false});
    std::string error;
    ASSERT_TRUE(adapter.start(&error)) << error;
    const std::string node = dir.file("ttyUSB0");
    std::thread plug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_EQ(::symlink(adapter.device_path().c_str(), node.c_str()), 0);
    });
    const PanelRun late = run_with({"--device", node, "--wait-card", "60", "--do", "read"});
    plug.join();
    ASSERT_EQ(late.status, 0) << late.errors << late.all_output();
    EXPECT_TRUE(has(late.lines.front(), "\"device\":\"" + node + "\"")) << late.lines.front();
}

TEST_F(PanelTest, ErrorsSayWhatHappenedAndWhatToTry) {
    {
        SCOPED_TRACE("a device that is not there");
        const PanelRun run = run_with({"--device", dir.file("ttyUSB9"), "--do", "read"});
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(has(run.errors, "no such device")) << run.errors;
        EXPECT_TRUE(has(run.errors, "--device")) << run.errors;
        ASSERT_EQ(run.lines.size(), 1u);
        EXPECT_TRUE(has(run.lines[0], "\"event\":\"start-failed\",\"status\":1"));
    }
    {
        SCOPED_TRACE("a file that is not a serial device");
        write_file(dir.file("notes.txt"), "hello\n");
        const PanelRun run = run_with({"--device", dir.file("notes.txt"), "--do", "read"});
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(has(run.errors, "not a serial device")) << run.errors;
    }
    {
        SCOPED_TRACE("a port another program holds");
        VirtualCard& card = started_card({"", false});
        const int other = ::open(card.device_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(other, 0);
        ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
        const PanelRun run = run_with({"--device", card.device_path(), "--do", "read"});
        ::close(other);
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(has(run.errors, "another program is using the port")) << run.errors;
    }
    {
        SCOPED_TRACE("no card in the ports folder: the driver's own notice passes on, and nothing follows");
        ASSERT_EQ(::mkdir(dir.file("empty").c_str(), 0755), 0);
        const PanelRun run = run_with({"--ports", dir.file("empty"), "--do", "read"});
        EXPECT_TRUE(has(run.errors, "Cannot find I/O card, please check connection")) << run.errors;
        EXPECT_EQ(run.lines.size(), 1u) << run.all_output();
    }
    {
        SCOPED_TRACE("a ports folder that is not there");
        EXPECT_EQ(run_with({"--ports", dir.file("nowhere"), "--do", "read"}).status, 1);
    }
    {
        SCOPED_TRACE("a folder given as the device");
        const PanelRun run = run_with({"--device", dir.path(), "--do", "read"});
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(has(run.errors, "it is a folder, not a serial device")) << run.errors;
    }
    {
        SCOPED_TRACE("a settings file in a folder that does not exist");
        const PanelRun run = run_panel({"--settings", dir.file("nowhere/settings.ini"), "--do", "read"});
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(has(run.errors, "in a folder that does not exist")) << run.errors;
    }
    {
        SCOPED_TRACE("a silent card on a device: the device given is named, once");
        VirtualCard& card = started_card({"", false});
        CardFault silent;
        silent.silent = true;
        card.set_fault(silent);
        const PanelRun run = run_with({"--device", card.device_path(), "--do", "read"});
        EXPECT_EQ(run.status, 3);
        const std::string said = "no card answered on " + card.device_path() + " (offered to the driver as COM1)";
        EXPECT_TRUE(has(run.errors, said)) << run.errors;
        EXPECT_EQ(run.errors.find(said), run.errors.rfind(said)) << run.errors;
        EXPECT_FALSE(has(run.errors, "/tmp/vek-panel-")) << run.errors;
        EXPECT_TRUE(has(run.all_output(), said)) << run.all_output();
    }
    {
        SCOPED_TRACE("a card that answers only corrupt frames is not a dead card");
        ASSERT_EQ(::mkdir(dir.file("noisy").c_str(), 0755), 0);
        VirtualCard& card = started_card({dir.file("noisy/com2"), false});
        CardFault corrupt;
        corrupt.bad_sum = true;
        card.set_fault(corrupt);
        const PanelRun run = run_with({"--ports", dir.file("noisy"), "--do", "read"});
        EXPECT_EQ(run.status, 3);
        EXPECT_TRUE(has(run.errors, "CARD ANSWERS CORRUPT (")) << run.errors;
        EXPECT_TRUE(has(run.errors, "on COM2")) << run.errors;
        EXPECT_FALSE(has(run.errors, "no card answered")) << run.errors;
    }
    // Scripts are refused whole, with the reason and the place, before anything starts.
    write_file(dir.file("bad.script"), "output 1 on\n# a comment\nanalog 3 5\n");
    const struct {
        std::vector<std::string> args;
        std::string said;
    } refused[] = {
        {{"--do", "switch 3 on"}, "'switch' is not an action"},
        // The word that is wrong is named, not the number before it.
        {{"--do", "output 3 ON"}, "'output 3 ON': output <1-16> on|off: 'ON' is not on or off"},
        {{"--do", "wait 100 ms"}, "'wait 100 ms': wait <ms>: 'ms' is one word too many (a comment starts with #)"},
        {{"--do", "check-line fine"}, "'fine' is not a line state: answering, late, silent,"},
        {{"--do", "check-analog-in 3 1 2"}, "'3' is not an analog input"},
        {{"--script", dir.path()}, "--script " + dir.path() + " is a folder"},
        {{"--script", dir.file("bad.script")}, "script " + dir.file("bad.script") + " line 3: 'analog 3 5': analog <1|2>"},
        {{"--do", "card nonsense"}, "the virtual card has no command 'nonsense'. The card's commands: input,"},
        {{"--ports", dir.path(), "--do", "read", "--do", "card silent on"}, "card commands need the virtual card"},
        {{"--wait-card", "soon"}, "--wait-card takes whole seconds"},
        {{"--record-cap", "0"}, "--record-cap takes whole MiB from 1 to 1024, not '0'"},
        // Two records in one file would interleave; a record in the settings file would spoil it.
        {{"--csv", dir.file("both"), "--trace", dir.file("both")}, "--trace and --csv name one file"},
        {{"--card-log", dir.file("frames"), "--csv", dir.path() + "/./frames"}, "--csv and --card-log name one file"},
        {{"--trace", dir.file("settings.ini")}, "--trace names the settings file"},
    };
    for (const auto& row : refused) {
        SCOPED_TRACE(row.said);
        const PanelRun run = run_with(row.args);
        EXPECT_EQ(run.status, 2) << run.errors;
        EXPECT_TRUE(run.lines.empty()) << run.all_output();
        EXPECT_TRUE(has(run.errors, row.said)) << run.errors;
        EXPECT_FALSE(has(run.errors, "--help")) << run.errors;
    }
    {
        SCOPED_TRACE("a card command the card refuses fails the script with its own status");
        const PanelRun run = run_with({"--do", "card input 99 on", "--do", "read"});
        EXPECT_EQ(run.status, 5);
        ASSERT_EQ(events(run, "card-failed").size(), 1u) << run.all_output();
        EXPECT_TRUE(has(events(run, "card-failed")[0], "\"reply\":\"error: usage: input <1-16> on|off\""));
        EXPECT_TRUE(events(run, "read").empty()) << run.all_output();
        EXPECT_TRUE(has(run.lines.back(), "\"event\":\"stopped\"")) << run.all_output();
    }
    for (const char* option : {"--version", "-V"}) {
        SCOPED_TRACE(std::string("the version, from the build: ") + option);
        const PanelRun run = run_panel({option});
        EXPECT_EQ(run.status, 0);
        ASSERT_EQ(run.lines.size(), 1u);
        EXPECT_EQ(run.lines[0], "vek-panel " VEK_PROJECT_VERSION);
    }
    {
        SCOPED_TRACE("--port, which names a Windows COM port, refused before anything starts");
        const PanelRun run = run_with({"--port", "3", "--do", "read"});
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(run.lines.empty());
        EXPECT_TRUE(has(run.errors, "--device")) << run.errors;
    }
    {
        SCOPED_TRACE("a tap without its link, and a tap asked to act on the card");
        const PanelRun alone = run_with({"--tap", "/dev/ttyUSB0", "--do", "read"});
        EXPECT_EQ(alone.status, 2);
        EXPECT_TRUE(has(alone.errors, "--tap DEVICE and --link PATH go together")) << alone.errors;
        const PanelRun acting = run_with({"--tap", "/dev/ttyUSB0", "--link", dir.file("com1"), "--do", "output 3 on"});
        EXPECT_EQ(acting.status, 2);
        EXPECT_TRUE(has(acting.errors, "the tap only watches the line: 'output 3 on'")) << acting.errors;
    }
    {
        SCOPED_TRACE("a tap whose link would replace a file");
        VirtualCard& card = started_card({"", false});
        write_file(dir.file("com2"), "the host's own file\n");
        const PanelRun run = run_with({"--tap", card.device_path(), "--link", dir.file("com2"), "--do", "read"});
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(has(run.errors, "exists and is not a link")) << run.errors;
        EXPECT_EQ(read_file(dir.file("com2")), "the host's own file\n");
    }
    {
        SCOPED_TRACE("a trace on a FIFO nobody reads, refused rather than waited for");
        ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
        const PanelRun run = run_with({"--trace", dir.file("fifo"), "--do", "read"});
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(has(run.errors, "cannot open the trace " + dir.file("fifo"))) << run.errors;
    }
    {
        SCOPED_TRACE("a trace into another program's file, or through a link to one: refused, the file left alone");
        write_file(dir.file("notes.txt"), "hello\n");
        ASSERT_EQ(::symlink(dir.file("notes.txt").c_str(), dir.file("notes-link").c_str()), 0);
        for (const char* name : {"notes.txt", "notes-link"}) {
            const PanelRun run = run_with({"--trace", dir.file(name), "--do", "read"});
            EXPECT_EQ(run.status, 1);
            EXPECT_TRUE(has(run.errors, std::string(name) == "notes.txt" ? "holds something else" : "symbolic link"))
                << run.errors;
        }
        EXPECT_EQ(read_file(dir.file("notes.txt")), "hello\n");
    }
    {
        SCOPED_TRACE("a trace of a line the panel does not see");
        const PanelRun run = run_with({"--ports", dir.file("empty"), "--trace", dir.file("t"), "--do", "read"});
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(has(run.errors, "--trace records the panel's own line")) << run.errors;
    }
}

}  // namespace
