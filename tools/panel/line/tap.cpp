#include "panel/line/tap.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace vek::panel {

std::string tap_link_problem(const std::string& link) {
    const std::size_t slash = link.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : link.substr(0, slash);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return "the folder of the link " + link + " does not exist. Make it, or name a link in an existing folder "
               "(for Wine: $WINEPREFIX/dosdevices/com3).";
    }
    if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        return link + " exists and is not a link; the tap would replace it. Name a free path or a port link "
               "(for Wine: $WINEPREFIX/dosdevices/com3).";
    }
    return {};
}

}  // namespace vek::panel
