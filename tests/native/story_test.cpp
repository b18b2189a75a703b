// The stories of tests/stories run natively: DriverEntry called in this process as the host calls
// it, each card a virtual card on a pseudo-terminal in this process, linked into a ports folder
// that the driver (and the panel, given --ports) scans; the panel is the real tool.
#include "tests/stories/story.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <thread>
#include <utility>

#include "config/ini_text.h"
#include "dialog/terminal_dialog.h"
#include "link/serial_port.h"
#include "poll/process_image.h"
#include "poll/run_control.h"
#include "tests/native/link_fixture.h"
#include "tests/native/panel_process.h"
#include "tests/native/pseudo_terminal.h"
#include "tests/shared/process_meter.h"
#include "tools/virtual_card/card_commands.h"

// A story is named by its name in the test's listing.
void PrintTo(const Story& story, std::ostream* out) { *out << story.name; }

namespace {

void VEK_CDECL record_input(int32_t index, int32_t value) { story_set_input(index, value); }

// The file's stories told natively; a file that cannot be read ends the listing of the tests.
std::vector<Story> native_stories(const char* file) {
    std::string error;
    std::vector<Story> native;
    for (Story& story : read_stories(std::string(VEK_STORIES_DIR) + "/" + file, &error)) {
        if (story.runs_on("native")) native.push_back(story);
    }
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    return native;
}

class StoryTest : public LinkTest, public testing::WithParamInterface<Story>, public Rig {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        auto backend = std::make_unique<StallingBackend>(make_platform_backend());
        stalling_ = backend.get();
        host.loaded = std::make_unique<ModuleContext>(std::move(backend));
        host.record.set_input = record_input;
        for (unsigned port : GetParam().ports) {
            auto card = std::make_unique<VirtualCard>(VirtualCard::Options{port_link(port), false});
            std::string error;
            ASSERT_TRUE(card->start(&error)) << error;
            states_.emplace(port, CommandState{*card, port_link(port), {}, false});
            cards_.emplace(port, std::move(card));
        }
    }
    void TearDown() override {
        // A story that failed half way must not leave a thread polling into the next one, nor
        // one that stop abandoned still running on the driver about to go.
        DriverContext& driver = host.driver();
        for (DriverInstance& instance : driver.instances.records) {
            if (instance.polling_card != kNoCard) stop(driver, instance);
        }
        for (uint32_t c = 0; c < kCardCapacity; ++c) {
            const Card* card = driver.card_if_made(c);
            for (int i = 0; card != nullptr && i < 300 && card->abandoned_polls.load() != 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        LinkTest::TearDown();
    }

    const char* runner() const override { return "native"; }
    std::string folder() const override { return dir.path(); }

    int32_t call(uint32_t number, uint32_t command, bool with_host, void* record, const char* path) override {
        // The driver tells the user on standard error. Reads are left alone, being many, and so
        // are the codes outside the table a story tries by the hundred thousand.
        const bool watched =
            command != DRV_READ_INPUTS && (command <= 6 || (command >= DRV_ATTACH && command <= DRV_DELETE));
        if (watched) testing::internal::CaptureStderr();
        const int32_t result = driver_entry(host.module(), number, command, with_host ? &host.record : nullptr,
                                            static_cast<HostDriverRecord*>(record), path);
        if (watched) told_ += testing::internal::GetCapturedStderr();
        return result;
    }
    // DRV_CONFIGURE as DriverEntry hands it on, but shown on a terminal the test holds rather than
    // the process's controlling one; with nobody there, on a file that is no terminal.
    int32_t configure(uint32_t number, void* record, const char* path, const DialogUser* user,
                      std::string* failure) override {
        DriverInstance& instance = host.driver().instances.records[static_cast<HostDriverRecord*>(record)->slot];
        instance.number = number;
        const DialogRequest request{nullptr, path, number, &instance.delay_ms};
        const std::string no_terminal = dir.file("no-terminal"), missing = dir.file("missing");
        write_file(no_terminal, "text");
        if (user == nullptr) {
            int32_t end = run_terminal_dialog(request, missing.c_str());
            if (end == -1) end = run_terminal_dialog(request, no_terminal.c_str());
            if (read_file(no_terminal) != "text") *failure = "it wrote into a file that is no terminal";
            return end;
        }
        // Enter is OK, Escape Cancel; the first key typed replaces the value shown, Backspace
        // clears it.
        const std::string typed = user->leave ? "" : user->typed.empty() ? "\x7F" : user->typed;
        return dialog_on_terminal(request, user->shown, (typed + (user->press == "OK" ? "\r" : "\x1B")).c_str(),
                                  failure);
    }
    std::string told() override { return std::exchange(told_, ""); }
    uint8_t* outputs() override { return host.output_states.data(); }
    uint16_t* words() override { return host.words.data(); }
    float* reals() override { return host.reals.data(); }
    void set_input_base(int32_t base) override { host.record.input_base = base; }
    std::string host_bytes() override { return {reinterpret_cast<const char*>(&host.record), sizeof host.record}; }
    // Read back as the platform's profile functions read it.
    std::string saved(const std::string& path, uint32_t number) override {
        return ini_read_text(read_file(path), "korvanex-vek-driver-" + std::to_string(number), "delay").value_or("");
    }

    std::string card(unsigned port, const std::string& words) override {
        // Nothing here runs the card's deferred commands, as its tool's loop does.
        if (words.rfind("after ", 0) == 0) return "error: 'after' is for the card's own process";
        return run_command(states_.at(port), words);
    }
    std::vector<CardFrame> frames(unsigned port) override {
        std::vector<CardFrame> valid;
        for (const ReceivedFrame& f : cards_.at(port)->frames()) {
            if (f.valid) valid.push_back({f.at_ms, f.bytes});
        }
        return valid;
    }

    long threads() override { return static_cast<long>(thread_count()); }
    long handles() override { return static_cast<long>(descriptor_count()); }
    double cpu_ms() override { return process_cpu_ms(); }

    PanelResult panel(std::vector<std::string> args) override {
        args.insert(args.end(), {"--ports", ports.path()});
        const PanelRun run = run_panel(args);
        return {run.status, run.all_output(), run.errors};
    }

    // inside open port N, inside port closed, inside image outputs off, inside next status query
    // takes MS, inside N records on a card, inside N poll threads, inside slot S FIELD = V|is V|at
    // least V (the first card's port and image; a slot's stop and cycles are its card's)
    bool own_step(const std::string& step, std::string* failure) override {
        std::istringstream in(step);
        std::string inside, what, word;
        unsigned n = 0;
        in >> inside >> what;
        if (inside != "inside") return false;
        DriverContext& driver = host.driver();
        Card& first = driver.first_card;
        std::istringstream count(what);
        if (what == "open" && in >> word >> n) {
            if (first.link.port().open_port(n) != PortResult::ok) *failure = "it did not open";
        } else if (what == "port") {
            if (first.link.port().open_port_number() != 0) *failure = "a port is open";
        } else if (what == "image") {
            const CardOutputs out = load_outputs(first.image);
            if ((out.digital[0] | out.digital[1] | out.analog[0] | out.analog[1]) != 0) *failure = "an output is on";
        } else if (what == "next" && in >> word >> word >> word >> n) {  // next status query takes MS
            stalling_->stall_next_status_query(n);
        } else if (count >> n && in >> word && word == "records") {  // N records on a card
            unsigned named = 0;
            for (const DriverInstance& r : driver.instances.records) named += r.polling_card != kNoCard ? 1 : 0;
            if (named != n) *failure = std::to_string(named) + " records are on a card";
        } else if (word == "poll") {  // N poll threads
            unsigned threads = 0;
            for (uint32_t c = 0; c < kCardCapacity; ++c) {
                const Card* card = driver.card_if_made(c);
                threads += card != nullptr && card->poll_thread != nullptr ? 1 : 0;
            }
            if (threads != n) *failure = std::to_string(threads) + " poll threads";
        } else if (what == "slot" && in >> n) {
            *failure = slot_field(driver, driver.instances.records[n % kInstanceCapacity], in);
        } else {
            *failure = "no such step";
        }
        return true;
    }

    // FIELD = V|is V|at least V, of number, stop, delay and cycles; "" when it holds.
    static std::string slot_field(DriverContext& driver, DriverInstance& r, std::istringstream& in) {
        std::string field, how, word;
        in >> field >> how;
        if (how == "at") in >> word;
        uint32_t value = 0;
        in >> value;
        Card* card = r.card != kNoCard ? driver.card_if_made(r.card) : nullptr;
        if (card == nullptr && (field == "stop" || field == "cycles")) return "its record names no card";
        // No member of a card that is not there is named, even unused (undefined behaviour).
        std::atomic<uint32_t>* atomic = field == "delay"   ? &r.delay_ms
                                        : card == nullptr  ? nullptr
                                        : field == "stop"  ? &card->stop_request
                                                           : &card->cycle_count;
        if (how == "=") return atomic == nullptr || field == "number" ? "it cannot be set" : (atomic->store(value), "");
        const uint32_t seen = field == "number" ? r.number : atomic->load();
        return (how == "is" ? seen == value : seen >= value) ? "" : "it is " + std::to_string(seen);
    }

    TempDir dir;
    TestHost host;
    std::map<unsigned, std::unique_ptr<VirtualCard>> cards_;
    std::map<unsigned, CommandState> states_;
    std::string told_;
    StallingBackend* stalling_ = nullptr;  // the driver's backend, owned by its context
};

TEST_P(StoryTest, Holds) { EXPECT_EQ(run_story(GetParam(), *this), ""); }

std::string test_name(const testing::TestParamInfo<Story>& info) {
    std::string name = info.param.name;
    for (char& c : name) c = c == '-' ? '_' : c;
    return name;
}

INSTANTIATE_TEST_SUITE_P(Polling, StoryTest, testing::ValuesIn(native_stories("polling.stories")), test_name);
INSTANTIATE_TEST_SUITE_P(Panel, StoryTest, testing::ValuesIn(native_stories("panel.stories")), test_name);
INSTANTIATE_TEST_SUITE_P(Host, StoryTest, testing::ValuesIn(native_stories("host.stories")), test_name);

}  // namespace
