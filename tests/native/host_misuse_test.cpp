// A host that misuses the driver where a story cannot tell it (tests/stories/host.stories tells
// the codes, slots and records it refuses, and deletes around polling instances): the record and
// path stored before a refusal, commands in every order, the dialog while polling. Each gets its
// documented result, and nothing crashes, leaks a thread or stops a poll thread it should not.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/serial_port.h"
#include "poll/run_control.h"
#include "tests/native/link_fixture.h"
#include "tests/native/pseudo_terminal.h"
#include "tools/virtual_card/virtual_card.h"

namespace {

int g_input_calls = 0;
void VEK_CDECL count_input(int32_t, int32_t) { ++g_input_calls; }

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
            if (instance.polling_card != kNoCard) stop(host.driver(), instance);
        }
    }
    // Records of the table that poll a card.
    int records_with_threads() {
        int n = 0;
        for (const DriverInstance& r : host.driver().instances.records) n += r.polling_card != kNoCard ? 1 : 0;
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

// Every call stores the host's record and the path it carries before anything can refuse it.
TEST_F(HostMisuseTest, EveryCallStoresTheHostRecordAndPathEvenWhenRefused) {
    HostRecord other{};
    const char* other_path = "/elsewhere/host.ini";
    EXPECT_EQ(driver_entry(host.module(), 0, 0x10000, &other, nullptr, other_path), -1);
    EXPECT_EQ(host.driver().host_record.load(), &other);
    EXPECT_EQ(host.module().config_path, other_path);
    HostDriverRecord out_of_table{};
    out_of_table.slot = 32;
    EXPECT_EQ(host.call(1, DRV_SAVE_SETTINGS, out_of_table), -1);
    EXPECT_EQ(host.driver().host_record.load(), &host.record);
    EXPECT_EQ(host.module().config_path, host.config_path.c_str());
}

// A model of what the documented commands do to one host record, checked after every step of
// every order of two commands that follows a create.
struct Model {
    uint32_t count = 1;
    uint32_t slot = 0;
    bool running[kInstanceCapacity] = {};
    bool polling[kInstanceCapacity] = {};

    // The command's result: only a delete of a slot not in use (a second delete) is refused.
    int32_t apply(uint32_t command) {
        switch (command) {
            case DRV_CREATE:
            case DRV_ATTACH: slot = count++; break;
            case DRV_START: running[slot] = polling[slot] = true; break;
            case DRV_STOP: polling[slot] = false; break;
            case DRV_DELETE:
                if (slot >= count) return -1;
                polling[slot] = false;
                --count;
                for (uint32_t j = slot + 1; j <= count; ++j) running[j - 1] = running[j];
                break;
            default: break;
        }
        return 0;
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
                const int32_t result = host.call(0, command, rec);
                ASSERT_EQ(result, model.apply(command)) << order << ": command " << command;
                EXPECT_EQ(rec.slot, model.slot) << order;
                EXPECT_EQ(host.driver().instances.count, model.count) << order;
                EXPECT_EQ(thread_count(), threads_before + static_cast<std::size_t>(model.threads())) << order;
                EXPECT_EQ(records_with_threads(), model.threads()) << order;
                if (command == DRV_READ_INPUTS) {
                    EXPECT_EQ(g_input_calls, model.running[model.slot] ? 16 : 0) << order;
                }
                if (command == DRV_START) {
                    EXPECT_EQ(host.driver().first_card.link.port().open_port_number(), 1u) << order;
                }
                if (command == DRV_STOP || (command == DRV_DELETE && first == DRV_START)) {
                    EXPECT_EQ(host.driver().first_card.link.port().open_port_number(), 0u) << order << ": stopping closes the port";
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

// The host of vek_configuring_host, in a session of its own (what it does: see there).
pid_t host_configuring_while_polling(const std::string& config_path, const char* terminal) {
    const pid_t child = ::fork();
    if (child != 0) return child;
    const char* program = VEK_CONFIGURING_HOST;
    if (terminal != nullptr) {
        ::execl(program, program, config_path.c_str(), terminal, static_cast<char*>(nullptr));
    } else {
        ::execl(program, program, config_path.c_str(), static_cast<char*>(nullptr));
    }
    ::_exit(120);  // the program could not be run
}

TEST_F(HostMisuseTest, TheDialogWhilePollingLeavesThePollingAloneAndItsDelayAppliesAtOnce) {
    write_file(host.config_path, "[korvanex-vek-driver-0]\r\ndelay=400\r\n");
    PseudoTerminal terminal;
    const pid_t child = host_configuring_while_polling(host.config_path, terminal.path().c_str());
    EXPECT_TRUE(terminal.shows("D\xC3\xA9lai (ms) : 400"));
    EXPECT_TRUE(card_keeps_polling()) << "the poll thread goes on while the dialog is open";
    // At 400 ms a cycle, 20 frames take 8 s; at the new delay of 0, a fraction of that.
    ASSERT_TRUE(terminal.type("0\r"));
    const std::size_t frames = card->frame_count();
    EXPECT_TRUE(card->wait_for_frames(frames + 20, 4000)) << "the new delay applies from the next cycle";
    EXPECT_EQ(child_exit_status(child), 1) << "OK";
    EXPECT_EQ(read_file(host.config_path), "[korvanex-vek-driver-0]\r\ndelay=0\r\n");

    // Without a controlling terminal the dialog cannot be shown: -1, and polling goes on.
    write_file(host.config_path, "[korvanex-vek-driver-0]\r\ndelay=5\r\n");
    EXPECT_EQ(child_exit_status(host_configuring_while_polling(host.config_path, nullptr)), 255) << "-1";
    EXPECT_EQ(read_file(host.config_path), "[korvanex-vek-driver-0]\r\ndelay=5\r\n");
}

}  // namespace
