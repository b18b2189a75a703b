// A host that misuses the driver: codes outside the table, slots outside it, missing records,
// commands in every order, delete around polling instances, the dialog while polling. Each gets
// its documented result, and nothing crashes, leaks a thread or stops a poll thread it should not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/serial_port.h"
#include "poll/run_control.h"
#include "tests/native/link_fixture.h"
#include "tools/virtual_card/virtual_card.h"

namespace {

// ThreadSanitizer cannot follow a child forked from a threaded process that starts threads of
// its own, which is what a host polling in a session of its own is here.
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

const std::array<uint32_t, 12> kCommands = {DRV_START,  DRV_STOP,  DRV_RESET_OUTPUTS, DRV_READ_INPUTS,
                                            DRV_WRITE_OUTPUTS, 5, 6, DRV_ATTACH, DRV_SAVE_SETTINGS,
                                            DRV_CONFIGURE, DRV_CREATE, DRV_DELETE};

int g_input_calls = 0;
void VEK_CDECL count_input(int32_t, int32_t) { ++g_input_calls; }

// What the table holds, record by record, to show that a refused call changed nothing.
std::vector<std::string> table_snapshot(const InstanceTable& table) {
    std::vector<std::string> rows{"count " + std::to_string(table.count)};
    for (const DriverInstance& r : table.records) {
        rows.push_back(std::to_string(r.number) + " " + std::to_string(r.running) + " " +
                       std::to_string(r.delay_ms.load()) + " " + std::to_string(r.stop_request.load()) + " " +
                       std::to_string(reinterpret_cast<uintptr_t>(r.poll_thread)));
    }
    return rows;
}

class HostMisuseTest : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        host.config_path = dir.file("host.ini");
        host.record.set_input = count_input;
        card = std::make_unique<VirtualCard>(VirtualCard::Options{port_link(1), false});
        std::string error;
        ASSERT_TRUE(card->start(&error)) << error;
        threads_before = thread_count();
    }
    void TearDown() override {
        stop_every_thread();
        LinkTest::TearDown();
    }
    void stop_every_thread() {
        for (DriverInstance& instance : host.driver().instances.records) {
            if (instance.poll_thread != nullptr) stop(host.driver(), instance);
        }
    }
    // Records of the table that name a poll thread.
    int records_with_threads() {
        int n = 0;
        for (const DriverInstance& r : host.driver().instances.records) n += r.poll_thread != nullptr ? 1 : 0;
        return n;
    }
    bool card_keeps_polling() {
        const std::size_t frames = card->frame_count();
        return card->wait_for_frames(frames + 3, 3000);
    }

    TempDir dir;
    TestHost host;
    std::unique_ptr<VirtualCard> card;
    std::size_t threads_before = 0;
};

TEST_F(HostMisuseTest, CodesOutsideTheTableAreRefusedAndTouchNeitherTheTableNorThePolling) {
    HostDriverRecord polling{};
    HostDriverRecord idle{};
    ASSERT_EQ(host.call(0, DRV_CREATE, polling), 0);
    ASSERT_EQ(host.call(1, DRV_CREATE, idle), 0);
    ASSERT_EQ(host.call(0, DRV_START, polling), 0);
    const std::vector<std::string> before = table_snapshot(host.driver().instances);

    std::size_t refused = 0;
    auto refuse = [&](uint32_t code) {
        for (HostDriverRecord* rec : {&polling, &idle}) {
            ASSERT_EQ(host.call(77, code, *rec), -1) << "code " << code;
            ++refused;
        }
    };
    for (uint32_t code = 0; code <= 0x1FFFF; ++code) {
        if (code > 6 && (code < DRV_ATTACH || code > DRV_DELETE)) refuse(code);
    }
    // Every command code with any one of its upper bits set is another code.
    for (const uint32_t command : kCommands) {
        for (int bit = 16; bit < 32; ++bit) refuse(command | uint32_t{1} << bit);
    }
    EXPECT_GT(refused, 250000u);
    EXPECT_EQ(table_snapshot(host.driver().instances), before);
    EXPECT_EQ(polling.slot, 0u);
    EXPECT_EQ(idle.slot, 1u);
    EXPECT_TRUE(card_keeps_polling());
    EXPECT_FALSE(file_exists(host.config_path)) << "nothing may be written";
}

TEST_F(HostMisuseTest, SlotsOutsideTheTableAndMissingRecordsAreRefusedByEveryCommand) {
    HostDriverRecord polling{};
    ASSERT_EQ(host.call(0, DRV_CREATE, polling), 0);
    ASSERT_EQ(host.call(0, DRV_START, polling), 0);
    const std::vector<std::string> before = table_snapshot(host.driver().instances);
    const std::string config = host.config_path;

    for (const uint32_t command : kCommands) {
        const bool adds = command == DRV_CREATE || command == DRV_ATTACH;
        if (!adds) {
            for (const uint32_t slot : {32u, 33u, 1000u, 0x80000000u, 0xFFFFFFFFu}) {
                HostDriverRecord outside{};
                outside.slot = slot;
                EXPECT_EQ(host.call(5, command, outside), -1) << "command " << command << " slot " << slot;
                EXPECT_EQ(outside.slot, slot);
            }
        }
        EXPECT_EQ(host.call(5, command, nullptr, config.c_str()), -1) << "command " << command << " without a record";
    }
    // A missing host record: refused by the commands that use the host's tables, and only them.
    for (const uint32_t command : {DRV_START, DRV_READ_INPUTS, DRV_WRITE_OUTPUTS}) {
        EXPECT_EQ(driver_entry(host.module(), 0, command, nullptr, &polling, config.c_str()), -1) << "command " << command;
    }
    EXPECT_EQ(table_snapshot(host.driver().instances), before);
    EXPECT_TRUE(card_keeps_polling());
    EXPECT_EQ(driver_entry(host.module(), 0, 5, nullptr, &polling, config.c_str()), 0);
    EXPECT_EQ(driver_entry(host.module(), 0, DRV_STOP, nullptr, &polling, config.c_str()), 0) << "stop needs no host tables";
    EXPECT_EQ(thread_count(), threads_before);
    EXPECT_FALSE(file_exists(config));
}

// A model of what the documented commands do to one host record, checked after every step of
// every order of two commands that follows a create.
struct Model {
    uint32_t count = 1;
    uint32_t slot = 0;
    bool running[kInstanceCapacity] = {};
    bool polling[kInstanceCapacity] = {};

    void apply(uint32_t command) {
        switch (command) {
            case DRV_CREATE:
            case DRV_ATTACH: slot = count++; break;
            case DRV_START: running[slot] = polling[slot] = true; break;
            case DRV_STOP: polling[slot] = false; break;
            case DRV_DELETE:
                polling[slot] = false;
                if (count > 0) --count;
                for (uint32_t j = slot + 1; count > 0 && slot < count && j <= count; ++j) running[j - 1] = running[j];
                break;
            default: break;
        }
    }
    int threads() const {
        int n = 0;
        for (const bool p : polling) n += p ? 1 : 0;
        return n;
    }
};

TEST_F(HostMisuseTest, CommandsInEveryOrderGiveTheDocumentedResults) {
    const std::array<uint32_t, 9> commands = {DRV_CREATE, DRV_ATTACH, DRV_START, DRV_STOP,         DRV_READ_INPUTS,
                                              DRV_WRITE_OUTPUTS, DRV_DELETE, DRV_SAVE_SETTINGS, 5};
    for (const uint32_t first : commands) {
        for (const uint32_t second : commands) {
            const std::string order = std::to_string(first) + " then " + std::to_string(second);
            host.reload();
            ::unlink(host.config_path.c_str());
            HostDriverRecord rec{};
            ASSERT_EQ(host.call(0, DRV_CREATE, rec), 0);
            Model model;
            for (const uint32_t command : {first, second}) {
                g_input_calls = 0;
                host.output_states[0] = 0x40;
                ASSERT_EQ(host.call(0, command, rec), 0) << order << ": command " << command;
                model.apply(command);
                EXPECT_EQ(rec.slot, model.slot) << order;
                EXPECT_EQ(host.driver().instances.count, model.count) << order;
                EXPECT_EQ(thread_count(), threads_before + static_cast<std::size_t>(model.threads())) << order;
                EXPECT_EQ(records_with_threads(), model.threads()) << order;
                if (command == DRV_READ_INPUTS) {
                    EXPECT_EQ(g_input_calls, model.running[model.slot] ? 16 : 0) << order;
                }
                if (command == DRV_START) {
                    EXPECT_EQ(host.driver().link.port().open_port_number(), 1u) << order;
                }
                if (command == DRV_STOP || (command == DRV_DELETE && first == DRV_START)) {
                    EXPECT_EQ(host.driver().link.port().open_port_number(), 0u) << order << ": stopping closes the port";
                }
                if (command == DRV_SAVE_SETTINGS) {
                    EXPECT_TRUE(file_exists(host.config_path)) << order;
                }
            }
            stop_every_thread();
            ASSERT_EQ(thread_count(), threads_before) << order;
        }
    }
}

// The host deletes a lower instance while a higher one polls. The records above move down, but a
// thread stays with the record it runs on, which the polling instance's host record still names:
// stopping through it ends the thread, and no other record is left naming it (or naming it after
// it is freed, for a later start or stop to use).
TEST_F(HostMisuseTest, DeletingALowerInstanceWhileAHigherOnePollsLeavesEachThreadOneRecord) {
    HostDriverRecord lower{};
    HostDriverRecord higher{};
    ASSERT_EQ(host.call(0, DRV_CREATE, lower), 0);
    ASSERT_EQ(host.call(1, DRV_CREATE, higher), 0);
    ASSERT_EQ(host.call(1, DRV_START, higher), 0);
    ASSERT_EQ(host.call(0, DRV_DELETE, lower), 0);
    EXPECT_EQ(records_with_threads(), 1) << "one thread, one record";
    EXPECT_EQ(host.driver().instances.records[higher.slot].poll_thread != nullptr, true);
    EXPECT_TRUE(card_keeps_polling()) << "the higher instance polls on";
    EXPECT_EQ(host.driver().instances.records[0].number, 1u) << "its instance moved down";

    ASSERT_EQ(host.call(1, DRV_STOP, higher), 0);
    EXPECT_EQ(records_with_threads(), 0);
    EXPECT_EQ(thread_count(), threads_before);

    // The host goes on as usual: delete the rest, create anew and start in the slot the moved
    // instance left. Nothing may reach the freed thread.
    ASSERT_EQ(host.call(1, DRV_DELETE, higher), 0);
    ASSERT_EQ(host.call(1, DRV_DELETE, lower), 0);
    EXPECT_EQ(host.driver().instances.count, 0u);
    HostDriverRecord fresh{};
    ASSERT_EQ(host.call(2, DRV_CREATE, fresh), 0);
    ASSERT_EQ(fresh.slot, 0u);
    ASSERT_EQ(host.call(2, DRV_START, fresh), 0);
    EXPECT_TRUE(card_keeps_polling());
    ASSERT_EQ(host.call(2, DRV_STOP, fresh), 0);
    ASSERT_EQ(host.call(2, DRV_START, fresh), 0);
    ASSERT_EQ(host.call(2, DRV_DELETE, fresh), 0);
    EXPECT_EQ(records_with_threads(), 0);
    EXPECT_EQ(thread_count(), threads_before);
}

// Two instances of three poll; the lowest is deleted. Each polling instance's host record still
// stops its own thread, whichever way round.
TEST_F(HostMisuseTest, AfterADeleteEachPollingInstanceStillStopsItsOwnThread) {
    std::array<HostDriverRecord, 3> recs{};
    for (uint32_t i = 0; i < 3; ++i) ASSERT_EQ(host.call(i, DRV_CREATE, recs[i]), 0);
    ASSERT_EQ(host.call(1, DRV_START, recs[1]), 0);
    ASSERT_EQ(host.call(2, DRV_START, recs[2]), 0);
    ASSERT_EQ(thread_count(), threads_before + 2);
    ASSERT_EQ(host.call(0, DRV_DELETE, recs[0]), 0);
    EXPECT_EQ(records_with_threads(), 2);
    ASSERT_EQ(host.call(2, DRV_STOP, recs[2]), 0);
    EXPECT_EQ(thread_count(), threads_before + 1);
    EXPECT_NE(host.driver().instances.records[recs[1].slot].poll_thread, nullptr);
    ASSERT_EQ(host.call(1, DRV_STOP, recs[1]), 0);
    EXPECT_EQ(thread_count(), threads_before);
    EXPECT_EQ(records_with_threads(), 0);
}

// A host process in a session of its own, polling the card while it calls DRV_CONFIGURE: with
// the given terminal as its controlling terminal, or with none. After the dialog it polls on for a
// second, then stops. Its exit status is the dialog's end code, or 100 and up when a step failed.
pid_t host_configuring_while_polling(const std::string& config_path, const char* terminal) {
    const pid_t child = ::fork();
    if (child != 0) return child;
    ::setsid();
    if (terminal != nullptr && ::open(terminal, O_RDWR) < 0) ::_exit(100);
    ModuleContext driver(make_platform_backend());
    HostRecord record{};
    HostDriverRecord rec{};
    if (driver_entry(driver, 0, DRV_CREATE, &record, &rec, config_path.c_str()) != 0) ::_exit(101);
    if (driver_entry(driver, 0, DRV_START, &record, &rec, config_path.c_str()) != 0) ::_exit(102);
    const int32_t end = driver_entry(driver, 0, DRV_CONFIGURE, &record, &rec, config_path.c_str());
    if (driver.driver.instances.records[0].poll_thread == nullptr) ::_exit(103);
    ::usleep(1000000);  // polling on at the delay the dialog left
    if (driver_entry(driver, 0, DRV_STOP, &record, &rec, config_path.c_str()) != 0) ::_exit(104);
    ::_exit(end & 0xFF);
}

// Reads what the terminal shows, colours and line clearing left out, until text appears in it,
// within 30 s.
bool terminal_shows(int master, const std::string& text) {
    std::string screen;
    bool in_sequence = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (screen.find(text) == std::string::npos) {
        pollfd p{master, POLLIN, 0};
        if (std::chrono::steady_clock::now() > deadline || ::poll(&p, 1, 100) < 0) return false;
        char buffer[256];
        const ssize_t n = (p.revents & POLLIN) != 0 ? ::read(master, buffer, sizeof buffer) : 0;
        if (n < 0) return false;
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buffer[i];
            if (in_sequence) {
                in_sequence = !(c >= 0x40 && c <= 0x7E && c != '[');
            } else {
                in_sequence = c == '\x1B';
                if (!in_sequence) screen.push_back(c);
            }
        }
    }
    return true;
}

TEST_F(HostMisuseTest, TheDialogWhilePollingLeavesThePollingAloneAndItsDelayAppliesAtOnce) {
    if (kThreadSanitizer) GTEST_SKIP() << "a forked host that starts threads is beyond ThreadSanitizer";
    write_file(host.config_path, "[korvanex-vek-driver-0]\r\ndelay=400\r\n");
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string terminal = ::ptsname(master);

    const pid_t child = host_configuring_while_polling(host.config_path, terminal.c_str());
    EXPECT_TRUE(terminal_shows(master, ": 400"));
    EXPECT_TRUE(card_keeps_polling()) << "the poll thread goes on while the dialog is open";
    // At 400 ms a cycle, 20 frames take 8 s; at the new delay of 0, a fraction of that.
    ASSERT_EQ(::write(master, "0\r", 2), 2);
    const std::size_t frames = card->frame_count();
    EXPECT_TRUE(card->wait_for_frames(frames + 20, 4000)) << "the new delay applies from the next cycle";
    EXPECT_EQ(child_exit_status(child), 1) << "OK";
    EXPECT_EQ(read_file(host.config_path), "[korvanex-vek-driver-0]\r\ndelay=0\r\n");
    ::close(master);

    // Without a controlling terminal the dialog cannot be shown: -1, and polling goes on.
    write_file(host.config_path, "[korvanex-vek-driver-0]\r\ndelay=5\r\n");
    EXPECT_EQ(child_exit_status(host_configuring_while_polling(host.config_path, nullptr)), 255) << "-1";
    EXPECT_EQ(read_file(host.config_path), "[korvanex-vek-driver-0]\r\ndelay=5\r\n");
}

}  // namespace
