// vek-panel's scripted mode and its errors, run as a user runs it: the real tool, the real driver
// library it loads, virtual cards on pseudo-terminals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/native/test_support.h"
#include "tools/virtual_card/virtual_card.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
// Generous: this bounds a hang, it measures nothing.
constexpr auto kPatience = std::chrono::seconds(60);

struct PanelRun {
    int status = -1;
    std::vector<std::string> lines;  // standard output, a JSON object a line
    std::string errors;              // standard error
    std::string all_output() const {
        std::string out;
        for (const std::string& line : lines) out += line + "\n";
        return out;
    }
};

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// on_line sees each line of standard output as it comes, with the tool's process id.
PanelRun run_panel(std::vector<std::string> args,
                   const std::function<void(pid_t, const std::string&)>& on_line = nullptr) {
    PanelRun run;
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    args.insert(args.begin(), VEK_PANEL_TOOL);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    std::string text[2];
    const auto deadline = Clock::now() + kPatience;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    while (spawned == 0 && (fds[0].fd >= 0 || fds[1].fd >= 0) && Clock::now() < deadline) {
        if (::poll(fds, 2, 100) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char chunk[4096];
            const ssize_t got = ::read(fds[i].fd, chunk, sizeof chunk);
            if (got > 0) {
                const std::size_t seen = text[i].size();
                text[i].append(chunk, static_cast<std::size_t>(got));
                if (i == 0 && on_line) {
                    const std::size_t start = text[0].rfind('\n', seen == 0 ? 0 : seen - 1);
                    for (const std::string& line : split_lines(text[0].substr(start == std::string::npos ? 0 : start + 1))) {
                        if (text[0].back() == '\n' || line != split_lines(text[0]).back()) on_line(pid, line);
                    }
                }
            } else {
                fds[i].fd = -1;
            }
        }
    }
    ::close(out[0]);
    ::close(err[0]);
    if (spawned != 0) return run;
    if (fds[0].fd >= 0 || fds[1].fd >= 0) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.lines = split_lines(text[0]);
    run.errors = text[1];
    return run;
}

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
// the local date and time to the millisecond: "2026-12-08 15:32:09.060 ".
std::vector<std::string> trace_frames(const std::string& trace, const std::string& dir) {
    std::vector<std::string> found;
    for (const std::string& line : split_lines(trace)) {
        bool stamped = line.size() > 24;
        for (std::size_t i = 0; stamped && i < 24; ++i) {
            const char c = line[i];
            const char* const shape = "0000-00-00 00:00:00.000 ";
            stamped = shape[i] == '0' ? (c >= '0' && c <= '9') : c == shape[i];
        }
        EXPECT_TRUE(stamped) << line;
        if (stamped && line.compare(24, dir.size() + 1, dir + " ") == 0) found.push_back(line);
    }
    return found;
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
    PanelRun run_with(const std::vector<std::string>& extra) {
        std::vector<std::string> args = base_args();
        args.insert(args.end(), extra.begin(), extra.end());
        return run_panel(args);
    }
    TempDir dir;
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
    const std::vector<std::string> logged = split_lines(frames);
    ASSERT_FALSE(logged.empty());
    EXPECT_TRUE(has(logged.back(), " 02 00 00 00 00 03 FC valid")) << logged.back();
    EXPECT_TRUE(has(run.lines.back(), "\"event\":\"stopped\"")) << run.lines.back();
    EXPECT_TRUE(has(run.lines.back(), "\"last_frame\":\"02 00 00 00 00 03 FC\"")) << run.lines.back();
}

TEST_F(PanelTest, ScriptDrivesACardFoundInAPortsFolderAsTheDriverScansIt) {
    ASSERT_EQ(::mkdir(dir.file("ports").c_str(), 0755), 0);
    VirtualCard card(VirtualCard::Options{dir.file("ports/com3"), false});
    std::string error;
    ASSERT_TRUE(card.start(&error)) << error;
    card.set_input(16, true);

    const PanelRun run = run_with({"--ports", dir.file("ports"), "--do", "output 16 on", "--do", "wait-input 16 on 5000",
                             "--do", "wait 300"});
    ASSERT_EQ(run.status, 0) << run.errors << run.all_output();
    EXPECT_TRUE(has(run.lines.front(), "\"port\":\"COM3\"")) << run.lines.front();
    EXPECT_TRUE(has(run.lines.front(), "\"virtual_card\":false")) << run.lines.front();
    ASSERT_EQ(events(run, "read").size(), 1u) << run.all_output();
    EXPECT_TRUE(has(events(run, "read")[0], inputs_json(16)));

    bool output_16 = false;
    for (const ReceivedFrame& frame : card.frames()) {
        output_16 = output_16 || (frame.valid && frame.bytes == std::array<uint8_t, 7>{0x02, 0x00, 0x80, 0x00, 0x00, 0x03, 0x7C});
    }
    EXPECT_TRUE(output_16);
    ReceivedFrame last{};
    ASSERT_TRUE(card.last_frame(&last));
    EXPECT_EQ(last.bytes, (std::array<uint8_t, 7>{0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFC}));
}

TEST_F(PanelTest, ScriptDrivesASerialDeviceThroughTheLineMonitor) {
    VirtualCard card(VirtualCard::Options{"", true});
    std::string error;
    ASSERT_TRUE(card.start(&error)) << error;
    card.set_analog_raw(1, 1023);

    // A real card's line is traced too: the card's own log is only the virtual card's.
    const std::string trace = dir.file("line.trace");
    const PanelRun run = run_with({"--device", card.device_path(), "--trace", trace, "--do", "outputs 8001", "--do",
                                   "wait 500", "--do", "read"});
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
    std::vector<std::string> args = base_args();
    for (const char* action : {"output 3 on", "wait 600", "card garbage 3", "wait 600", "card faults off",
                               "card bad-sum on", "wait 600", "card faults off", "card bad-end on", "wait 600",
                               "card faults off", "card delay 300", "wait 1500", "card faults off", "wait 600", "read"}) {
        args.insert(args.end(), {"--do", action});
    }
    args.insert(args.end(), {"--trace", trace});
    const PanelRun run = run_panel(args);
    ASSERT_EQ(run.status, 0) << run.errors << run.all_output();

    const std::string text = read_file(trace);
    const std::vector<std::string> answers = trace_frames(text, "rx");
    for (const char* told : {" tx 02 04 00 00 00 03 F8        outputs 3 on, analog out 0 0\n",
                             "  stray bytes (3)\n", "  bad checksum: the bytes sum to 02, not 01\n",
                             "  bad end byte 00, not 13\n", " ms: late\n"}) {
        EXPECT_TRUE(has(text, told)) << told << "\n" << text;
    }
    const std::vector<std::string> reads = events(run, "read");
    ASSERT_EQ(reads.size(), 1u) << run.all_output();
    EXPECT_TRUE(has(reads[0], "\"time\":\"")) << reads[0];
    EXPECT_FALSE(has(reads[0], "\"late_answers\":0,")) << reads[0];
    EXPECT_FALSE(has(reads[0], "\"bad_answers\":0,")) << reads[0];
    EXPECT_FALSE(has(reads[0], "\"stray_bytes\":0,")) << reads[0];
}

// The host is a second panel on a ports folder whose com1 is the tap's link; the card is a
// virtual card in this process, so everything it receives is known.
TEST_F(PanelTest, TheTapPassesAHostsFramesBothWaysAndSendsNothingOfItsOwn) {
    ASSERT_EQ(::mkdir(dir.file("ports").c_str(), 0755), 0);
    VirtualCard card(VirtualCard::Options{"", true});
    std::string error;
    ASSERT_TRUE(card.start(&error)) << error;
    card.set_input(5, true);
    card.set_analog_raw(1, 675);
    const std::string link = dir.file("ports/com1");
    const std::string trace = dir.file("tap.trace");
    const std::string csv = dir.file("tap.csv");

    bool quiet_without_host = false;
    PanelRun host;
    const PanelRun tap = run_panel(
        {"--tap", card.device_path(), "--link", link, "--trace", trace, "--csv", csv, "--do", "wait-input 5 on 60000",
         "--do", "wait 600000"},
        [&](pid_t pid, const std::string& line) {
            if (has(line, "\"event\":\"started\"")) {
                // No host yet: whatever the card gets now, the tap sent.
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                quiet_without_host = card.frame_count() == 0 && card.invalid_frame_count() == 0 &&
                                     card.garbage_byte_count() == 0;
                host = run_panel({"--settings", dir.file("settings.ini"), "--ports", dir.file("ports"), "--do",
                                  "output 3 on", "--do", "wait 500", "--do", "read"});
            }
            if (has(line, "\"event\":\"read\"")) ::kill(pid, SIGINT);
        });
    ASSERT_EQ(tap.status, 0) << tap.errors << tap.all_output();
    ASSERT_EQ(host.status, 0) << host.errors << host.all_output();
    EXPECT_TRUE(quiet_without_host);
    EXPECT_TRUE(has(tap.lines.front(), "\"event\":\"started\",\"tap\":true,\"link\":\"" + link + "\"")) << tap.lines.front();

    // The host drove the card through the tap, and saw its answers.
    const std::vector<std::string> host_reads = events(host, "read");
    ASSERT_EQ(host_reads.size(), 1u) << host.all_output();
    EXPECT_TRUE(has(host_reads[0], inputs_json(5))) << host_reads[0];
    EXPECT_TRUE(has(host_reads[0], "\"volts\":[3.299,0.000]")) << host_reads[0];
    const std::vector<std::string> tap_reads = events(tap, "read");
    ASSERT_EQ(tap_reads.size(), 1u) << tap.all_output();
    EXPECT_TRUE(has(tap_reads[0], inputs_json(5))) << tap_reads[0];
    EXPECT_TRUE(has(tap_reads[0], "\"volts\":[3.299,0.000]")) << tap_reads[0];

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

    const std::vector<std::string> rows = split_lines(read_file(csv));
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows[0].rfind("time,in1,", 0), 0u) << rows[0];
    EXPECT_TRUE(has(rows[0], ",volts1,volts2,out1,")) << rows[0];
    EXPECT_TRUE(has(rows[0], ",analog_out1,analog_out2,answering,answer_age_ms")) << rows[0];
    bool input_5_row = false;
    for (const std::string& row : rows) input_5_row = input_5_row || has(row, ",0,0,0,0,1,0,0,0,0,0,0,0,0,0,0,0,3.299,0.000,");
    EXPECT_TRUE(input_5_row) << read_file(csv);

    // The host's port name goes with the tap.
    struct stat st {};
    EXPECT_NE(::lstat(link.c_str(), &st), 0);
}

TEST_F(PanelTest, AnInterruptedScriptStillLeavesTheCardAllOff) {
    ASSERT_EQ(::mkdir(dir.file("ports").c_str(), 0755), 0);
    VirtualCard card(VirtualCard::Options{dir.file("ports/com1"), false});
    std::string error;
    ASSERT_TRUE(card.start(&error)) << error;

    std::vector<std::string> args = base_args();
    args.insert(args.end(), {"--ports", dir.file("ports"), "--do", "outputs FFFF", "--do", "wait 300", "--do", "wait 600000"});
    const PanelRun run = run_panel(args, [](pid_t pid, const std::string& line) {
        if (has(line, "\"action\":\"wait 300\"")) ::kill(pid, SIGINT);
    });
    EXPECT_EQ(run.status, 0) << run.errors << run.all_output();
    EXPECT_TRUE(has(run.lines.back(), "\"event\":\"stopped\"")) << run.all_output();
    bool all_on = false;
    for (const ReceivedFrame& frame : card.frames()) all_on = all_on || (frame.valid && frame.bytes[1] == 0xFF);
    EXPECT_TRUE(all_on);
    ReceivedFrame last{};
    ASSERT_TRUE(card.last_frame(&last));
    EXPECT_EQ(last.bytes, (std::array<uint8_t, 7>{0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFC}));
}

TEST_F(PanelTest, ACardThatFallsSilentOrIsPulledIsShownWhilePollingGoesOn) {
    std::vector<std::string> args = base_args();
    for (const char* action : {"card silent on", "wait 800", "read", "card silent off", "wait 800", "read",
                               "card unplug", "wait 800", "read", "card replug", "wait 1500", "restart",
                               "card input 1 on", "wait-input 1 on 5000"}) {
        args.insert(args.end(), {"--do", action});
    }
    const PanelRun run = run_panel(args);
    ASSERT_EQ(run.status, 0) << run.errors << run.all_output();
    const std::vector<std::string> reads = events(run, "read");
    ASSERT_EQ(reads.size(), 4u) << run.all_output();
    EXPECT_TRUE(has(reads[0], "\"answering\":false")) << reads[0];
    EXPECT_TRUE(has(reads[1], "\"answering\":true")) << reads[1];
    EXPECT_TRUE(has(reads[2], "\"card_connected\":false")) << reads[2];
    // The pulled line is back once the card is; the driver's port was lost with it, so only a
    // restart scans again.
    EXPECT_TRUE(has(run.all_output(), "\"action\":\"restart\",\"started\":true")) << run.all_output();
    EXPECT_TRUE(has(reads[3], inputs_json(1))) << reads[3];
}

TEST_F(PanelTest, AWaitForAnInputThatNeverComesEndsWithItsOwnStatus) {
    const PanelRun run = run_with({"--do", "wait-input 7 on 300", "--do", "read"});
    EXPECT_EQ(run.status, 4) << run.errors << run.all_output();
    EXPECT_EQ(events(run, "wait-failed").size(), 1u) << run.all_output();
    EXPECT_TRUE(has(run.lines.back(), "\"event\":\"stopped\"")) << run.all_output();
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
        VirtualCard card(VirtualCard::Options{"", false});
        std::string error;
        ASSERT_TRUE(card.start(&error)) << error;
        const int other = ::open(card.device_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(other, 0);
        ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
        const PanelRun run = run_with({"--device", card.device_path(), "--do", "read"});
        ::close(other);
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(has(run.errors, "another program is using the port")) << run.errors;
    }
    {
        SCOPED_TRACE("no card in the ports folder");
        ASSERT_EQ(::mkdir(dir.file("empty").c_str(), 0755), 0);
        const PanelRun run = run_with({"--ports", dir.file("empty"), "--do", "read"});
        EXPECT_EQ(run.status, 3);
        EXPECT_TRUE(has(run.errors, "no card answered")) << run.errors;
        EXPECT_TRUE(has(run.errors, "Cannot find I/O card, please check connection")) << run.errors;
        ASSERT_EQ(run.lines.size(), 1u);
        EXPECT_TRUE(has(run.lines[0], "\"event\":\"start-failed\",\"status\":3"));
    }
    {
        SCOPED_TRACE("a ports folder that is not there");
        EXPECT_EQ(run_with({"--ports", dir.file("nowhere"), "--do", "read"}).status, 1);
    }
    {
        SCOPED_TRACE("a script that is not one, refused before anything starts");
        const PanelRun run = run_with({"--do", "output 17 on"});
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(run.lines.empty());
        EXPECT_TRUE(has(run.errors, "not an action: 'output 17 on'")) << run.errors;
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
        VirtualCard card(VirtualCard::Options{"", false});
        std::string error;
        ASSERT_TRUE(card.start(&error)) << error;
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
        SCOPED_TRACE("a trace of a line the panel does not see");
        const PanelRun run = run_with({"--ports", dir.file("empty"), "--trace", dir.file("t"), "--do", "read"});
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(has(run.errors, "--trace records the panel's own line")) << run.errors;
    }
    {
        SCOPED_TRACE("the live view without a terminal");
        const PanelRun run = run_panel(base_args());
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(has(run.errors, "--do or --script")) << run.errors;
    }
}

}  // namespace
