#include "panel/driver/work_folder.h"

#include <cstdlib>

#include <cerrno>
#include <cstring>

namespace vek::panel {

bool make_work_folder(std::string* folder, std::string* error) {
    char made[] = "/tmp/vek-panel-XXXXXX";
    if (::mkdtemp(made) == nullptr) {
        *error = std::string("cannot make a working folder in /tmp: ") + std::strerror(errno);
        return false;
    }
    *folder = made;
    return true;
}

}  // namespace vek::panel
