// Stories of the driver and the panel, told once in the .stories files beside this header and
// run by two runners: natively (tests/native/story_test.cpp) and under Wine
// (tests/wine/story_test.cpp). This file reads the stories and runs their steps; each runner
// lends a Rig, its way of calling the driver, driving the cards and watching the process.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct Story {
    std::string name;
    std::vector<std::string> runners;                // "native", "wine"; none for a piece that others include
    std::vector<unsigned> ports;                     // the COM ports that hold a card
    std::vector<std::pair<int, std::string>> steps;  // line in the file, step; includes and repeats laid out

    bool runs_on(const std::string& runner) const;
};

// Every story of the file; empty, with the reason in *error, when it cannot be read or told.
std::vector<Story> read_stories(const std::string& path, std::string* error);

// A frame the card took whole, with its time on the card's clock.
struct CardFrame {
    double ms;
    std::array<uint8_t, 7> bytes;
};

struct PanelResult {
    int status = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};

// What the user does at the delay dialog once it shows `shown`: types `typed` (unless `leave`;
// empty clears the field), then presses "OK", "Cancel" or "close" (the close box).
struct DialogUser {
    std::string shown;
    bool leave = true;
    std::string typed;
    std::string press;
};

// What a runner lends a story.
class Rig {
public:
    virtual ~Rig() = default;
    virtual const char* runner() const = 0;
    // The story's scratch folder, as the driver and the panel are given paths.
    virtual std::string folder() const = 0;

    // DriverEntry as the host calls it: the host's record unless `host` is false, the instance
    // record given (264 bytes, the slot at 260) or none, and the configuration path or none.
    virtual int32_t call(uint32_t number, uint32_t command, bool host, void* record, const char* path) = 0;
    // DRV_CONFIGURE for that record with a user at the dialog, or none where none could show it;
    // its end code, and in *failure what the user saw amiss.
    virtual int32_t configure(uint32_t number, void* record, const char* path, const DialogUser* user,
                              std::string* failure) = 0;
    // What the driver told the user during the last call: its no-card notice and the like.
    virtual std::string told() = 0;
    // The host's tables, and its record as bytes (which the driver must never write).
    virtual uint8_t* outputs() = 0;
    virtual uint16_t* words() = 0;
    virtual float* reals() = 0;
    virtual void set_input_base(int32_t base) = 0;
    virtual std::string host_bytes() = 0;
    // Driver N's delay in the settings file at path, as the platform reads it; "" when it has none.
    virtual std::string saved(const std::string& path, uint32_t number) = 0;

    // A command to the card on COMn, in the card's own words; its reply.
    virtual std::string card(unsigned port, const std::string& words) = 0;
    // The valid frames the card on COMn has taken so far.
    virtual std::vector<CardFrame> frames(unsigned port) = 0;

    virtual long threads() = 0;
    virtual long handles() = 0;   // open descriptors on Linux
    virtual double cpu_ms() = 0;  // this process's CPU time

    // vek-panel with these arguments (the settings already among them), run to its end.
    virtual PanelResult panel(std::vector<std::string> args) = 0;

    // A step only this runner can take ("inside ..." natively, "model ..." under Wine): false
    // when the step is not this runner's to take; otherwise "" or what went wrong.
    virtual bool own_step(const std::string& step, std::string* failure) = 0;
};

// Each DRV_READ_INPUTS call of set_input, in order: the runners' set_input functions add to it.
void story_set_input(int32_t index, int32_t value);

// Runs the story's steps from `first` until its end or an "exit" step; "" when every step held,
// otherwise the first that did not, with its line and why. Each step is printed as it runs.
std::string run_story(const Story& story, Rig& rig, std::size_t first = 0);

// Where the story's "exit" step is (the process ends there and the steps after it are run by
// another), or the number of steps when it has none.
std::size_t exit_step(const Story& story);
