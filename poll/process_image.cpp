#include "poll/process_image.h"

ProcessImage& process_image() {
    static ProcessImage image{};  // constant-initialised: ready before any DriverEntry call
    return image;
}
