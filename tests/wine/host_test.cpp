// A 32-bit stand-in for the KORVANEX host: it loads the real DLL, lays out the host's records as
// raw bytes at the host's offsets, and checks the instance table and the settings through
// DriverEntry against real files, read back with the platform's own profile functions.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/shared/wine_host.h"

namespace {

std::string work_file(const char* name) { return program_folder() + "\\host-test-" + name; }

// Writes each record's delay under number base + i in path, to see what every slot holds.
void save_all(Driver& d, std::vector<RawDriverRecord>& recs, uint32_t base, const std::string& path) {
    for (std::size_t i = 0; i < recs.size(); ++i) {
        CHECK_EQ(d.call(base + static_cast<uint32_t>(i), 0xFFFC, &recs[i], path), 0, "save settings");
    }
}

void test_command_codes(Driver& d) {
    const std::string ini = work_file("codes.ini");
    RawDriverRecord rec;
    CHECK_EQ(d.call(1, 0xFFFE, &rec, ini), 0, "create");
    const uint32_t codes[] = {7, 0xFFFA, 0x10000, 0xFFFFFFFF};
    for (uint32_t code : codes) CHECK_EQ(d.call(1, code, &rec, ini), -1, "a code outside the table");
    CHECK_EQ(d.call(2, 5, &rec, ini), 0, "command 5");
    CHECK_EQ(d.call(3, 6, &rec, ini), 0, "command 6");
    // This program runs without a display, where no dialog can be created.
    CHECK_EQ(d.call(1, 0xFFFD, &rec, ini), -1, "the dialog without a display");
    CHECK_EQ(d.call(1, 0xFFFF, &rec, ini), 0, "delete");
    check(rec.host_bytes_intact(), "only slot is written in the driver record");
    check(GetFileAttributesA(ini.c_str()) == INVALID_FILE_ATTRIBUTES, "nothing wrote the file");
}

// The real DLL against a host that gets it wrong: every code outside the table, every command
// with a slot outside the table or without a driver record. Each is refused with -1, and neither
// the instance, the host's records nor the file change.
void test_misuse(Driver& d) {
    const std::string ini = work_file("misuse.ini");
    RawDriverRecord rec;
    CHECK_EQ(d.call(1, 0xFFFE, &rec, ini), 0, "create");
    long wrong = 0;
    long refused = 0;
    for (uint32_t code = 7; code <= 0x2FFFF; ++code) {
        if (code >= 0xFFFB && code <= 0xFFFF) continue;
        wrong += d.call(9, code, &rec, ini) != -1 ? 1 : 0;
        ++refused;
    }
    const uint32_t commands[] = {0, 1, 2, 3, 4, 5, 6, 0xFFFB, 0xFFFC, 0xFFFD, 0xFFFE, 0xFFFF};
    for (uint32_t command : commands) {
        for (int bit = 18; bit < 32; ++bit) {
            wrong += d.call(9, command | 1U << bit, &rec, ini) != -1 ? 1 : 0;
            ++refused;
        }
        wrong += d.call(9, command, nullptr, ini) != -1 ? 1 : 0;
        ++refused;
        if (command == 0xFFFB || command == 0xFFFE) continue;  // these write the slot, never read it
        for (uint32_t slot : {32u, 33u, 1000u, 0x80000000u, 0xFFFFFFFFu}) {
            RawDriverRecord outside;
            outside.set_slot(slot);
            wrong += d.call(9, command, &outside, ini) != -1 ? 1 : 0;
            ++refused;
        }
    }
    CHECK_EQ(wrong, 0L, "wrong codes, slots outside the table and missing records are all refused");
    check(refused > 190000, "every wrong code was tried", refused, 190000);
    CHECK_EQ(d.call(2, 0xFFFC, &rec, ini), 0, "save through the instance, after all that");
    CHECK_EQ(stored_delay(ini, 2), 50u, "the instance kept its number's delay");
    CHECK_EQ(d.call(1, 0xFFFF, &rec, ini), 0, "delete");
    check(rec.host_bytes_intact(), "only slot is written in the driver record");
    DeleteFileA(ini.c_str());
}

int g_set_input_calls = 0;
void __cdecl count_set_input(int32_t, int32_t) { ++g_set_input_calls; }

// An instance that was never started has no card and no image of its own: stop, read inputs and
// write outputs succeed and do nothing. Read inputs calls no set_input and writes no table.
void test_never_started(Driver& d) {
    const std::string ini = work_file("never-started.ini");
    RawDriverRecord rec;
    CHECK_EQ(d.call(0, 0xFFFE, &rec, ini), 0, "create");

    RawHost& host = d.host;
    host.set_input_callback(&count_set_input);
    std::memset(host.output_states, 0x40, sizeof host.output_states);
    for (uint16_t& w : host.words) w = 0x1234;
    for (float& r : host.reals) r = -7.5F;
    const RawHost before = host;

    CHECK_EQ(d.call(0, 1, &rec, ini), 0, "stop before any start");
    CHECK_EQ(d.call(0, 3, &rec, ini), 0, "read inputs before any start");
    CHECK_EQ(d.call(0, 4, &rec, ini), 0, "write outputs before any start");
    CHECK_EQ(d.call(0, 1, &rec, ini), 0, "a second stop");
    CHECK_EQ(g_set_input_calls, 0, "set_input calls before any start");
    check(std::memcmp(before.output_states, host.output_states, sizeof host.output_states) == 0,
          "output states untouched");
    check(std::memcmp(before.words, host.words, sizeof host.words) == 0, "words untouched");
    check(std::memcmp(before.reals, host.reals, sizeof host.reals) == 0, "reals untouched");

    // The commands that use the host's tables refuse a call without the host's record.
    CHECK_EQ(d.entry(0, 3, nullptr, rec.bytes, ini.c_str()), -1, "read inputs without a host record");
    CHECK_EQ(d.entry(0, 4, nullptr, rec.bytes, ini.c_str()), -1, "write outputs without a host record");

    host.set_input_callback(nullptr);
    CHECK_EQ(d.call(0, 0xFFFF, &rec, ini), 0, "delete");
    check(rec.host_bytes_intact(), "only slot is written in the driver record");
    check(GetFileAttributesA(ini.c_str()) == INVALID_FILE_ATTRIBUTES, "nothing wrote the file");
}

void test_create_attach_delete(Driver& d) {
    const std::string ini = work_file("table.ini");
    const std::string seen = work_file("table-seen.ini");
    DeleteFileA(seen.c_str());
    write_text(ini,
               "; host file\r\n[korvanex-vek-driver-0]\r\ndelay=75\r\n[korvanex-vek-driver-1]\r\ndelay=0x20\r\n"
               "[korvanex-vek-driver-3]\r\ndelay=99\r\n");
    std::vector<RawDriverRecord> recs(3);
    for (uint32_t n = 0; n < 3; ++n) {
        CHECK_EQ(d.call(n, 0xFFFE, &recs[n], ini), 0, "create");
        CHECK_EQ(recs[n].slot(), n, "create writes the slot");
    }
    save_all(d, recs, 10, seen);
    CHECK_EQ(stored_delay(seen, 10), 75u, "create loads the delay");
    CHECK_EQ(stored_delay(seen, 11), 32u, "create reads the value as the platform does");
    CHECK_EQ(stored_delay(seen, 12), 50u, "create defaults to 50");

    // Delete slot 0: records 1 and 2 move down, record 2 stays behind as a stale copy, and the
    // host's records keep their old slots.
    CHECK_EQ(d.call(0, 0xFFFF, &recs[0], ini), 0, "delete");
    CHECK_EQ(recs[1].slot(), 1u, "slots are not renumbered");
    save_all(d, recs, 20, seen);
    CHECK_EQ(stored_delay(seen, 20), 32u, "slot 0 holds the old record 1");
    CHECK_EQ(stored_delay(seen, 21), 50u, "slot 1 holds the old record 2");
    CHECK_EQ(stored_delay(seen, 22), 50u, "slot 2 holds a stale copy of record 2");

    // Attach reads no settings: it keeps the slot's leftover delay, or 0 in a slot never used.
    std::vector<RawDriverRecord> attached(2);
    CHECK_EQ(d.call(3, 0xFFFB, &attached[0], ini), 0, "attach");
    CHECK_EQ(attached[0].slot(), 2u, "attach takes the next slot");
    CHECK_EQ(d.call(3, 0xFFFB, &attached[1], ini), 0, "attach");
    save_all(d, attached, 30, seen);
    CHECK_EQ(stored_delay(seen, 30), 50u, "attach keeps the delay a delete left behind");
    CHECK_EQ(stored_delay(seen, 31), 0u, "attach in a never-used slot has delay 0");

    // Fill the table: the 33rd instance is refused and its record left alone.
    std::vector<RawDriverRecord> more(28);  // 4 in use: up to 32
    for (auto& rec : more) CHECK_EQ(d.call(40, 0xFFFE, &rec, ini), 0, "create up to 32");
    CHECK_EQ(more.back().slot(), 31u, "the 32nd instance has slot 31");
    RawDriverRecord extra;
    extra.set_slot(777);
    CHECK_EQ(d.call(41, 0xFFFE, &extra, ini), -1, "the 33rd create");
    CHECK_EQ(d.call(41, 0xFFFB, &extra, ini), -1, "the 33rd attach");
    CHECK_EQ(extra.slot(), 777u, "a refused create leaves the slot alone");

    // Records the host could hand back wrongly are refused.
    RawDriverRecord outside;
    outside.set_slot(32);
    CHECK_EQ(d.call(1, 0xFFFC, &outside, seen), -1, "slot 32");
    outside.set_slot(0xFFFFFFFF);
    CHECK_EQ(d.call(1, 0xFFFF, &outside, seen), -1, "slot 0xFFFFFFFF");
    CHECK_EQ(d.call(1, 0xFFFC, nullptr, seen), -1, "no driver record");
    CHECK_EQ(d.call(1, 0xFFFE, nullptr, seen), -1, "create without a driver record");

    // Empty the table again, from the top, for the tests that follow.
    for (int i = 31; i >= 0; --i) {
        RawDriverRecord rec;
        rec.set_slot(static_cast<uint32_t>(i));
        CHECK_EQ(d.call(0, 0xFFFF, &rec, ini), 0, "delete");
    }
    RawDriverRecord first;
    CHECK_EQ(d.call(0, 0xFFFB, &first, ini), 0, "attach into an empty table");
    CHECK_EQ(first.slot(), 0u, "the table is empty again");
    CHECK_EQ(d.call(0, 0xFFFF, &first, ini), 0, "delete");
}

void test_settings(Driver& d) {
    const std::string ini = work_file("settings.ini");
    write_text(ini, "[General]\r\nLanguage=EN\r\n\r\n[korvanex-vek-driver-4294967295]\r\ndelay=7\r\n");
    RawDriverRecord a, b;
    CHECK_EQ(d.call(4294967295u, 0xFFFE, &a, ini), 0, "create number 4294967295");
    CHECK_EQ(d.call(0, 0xFFFE, &b, ini), 0, "create number 0");
    CHECK_EQ(d.call(0, 0xFFFC, &b, ini), 0, "save number 0");
    CHECK_EQ(d.call(1, 0xFFFC, &a, ini), 0, "save number 1 from the other record");
    CHECK_EQ(stored_delay(ini, 4294967295u), 7u, "the largest number has its own section");
    CHECK_EQ(stored_delay(ini, 0), 50u, "number 0 saved");
    CHECK_EQ(stored_delay(ini, 1), 7u, "number 1 saved, separate from number 0");
    char language[8] = {};
    GetPrivateProfileStringA("General", "Language", "", language, sizeof language, ini.c_str());
    check(std::strcmp(language, "EN") == 0, "other sections are kept");

    // No path: reads as a missing file, and a save must not reach a file of the platform's choosing.
    char win_ini[MAX_PATH];
    GetWindowsDirectoryA(win_ini, MAX_PATH);
    std::strcat(win_ini, "\\win.ini");
    RawDriverRecord c;
    CHECK_EQ(d.call_no_path(0, 0xFFFE, &c), 0, "create without a path");
    CHECK_EQ(d.call(2, 0xFFFC, &c, ini), 0, "save");
    CHECK_EQ(stored_delay(ini, 2), 50u, "no path reads as the default");
    CHECK_EQ(d.call_no_path(0, 0xFFFC, &c), 0, "save without a path");
    CHECK_EQ(stored_delay(win_ini, 0), 12345u, "a save without a path writes nothing to win.ini");
    CHECK_EQ(d.call(0, 0xFFFC, &c, ""), 0, "save to an empty path");
    CHECK_EQ(stored_delay(win_ini, 0), 12345u, "a save to an empty path writes nothing to win.ini");

    for (RawDriverRecord* rec : {&c, &b, &a}) CHECK_EQ(d.call(0, 0xFFFF, rec, ini), 0, "delete");
}

}  // namespace

int main() {
    Driver d;
    if (!d.load()) return 1;
    unsigned char record_before[RawHost::kRecordSize];
    std::memcpy(record_before, d.host.record_bytes(), sizeof record_before);

    test_command_codes(d);
    test_misuse(d);
    test_never_started(d);
    test_create_attach_delete(d);
    test_settings(d);

    check(std::memcmp(record_before, d.host.record_bytes(), sizeof record_before) == 0, "the host record is never written");
    FreeLibrary(d.module);
    return report();
}
