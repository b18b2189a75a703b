#include "port_link.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

bool fail(std::string* error, const std::string& what) {
    if (error != nullptr) *error = what + ": " + std::strerror(errno);
    return false;
}

// What the symbolic link at path names; false when path is no link (or is missing).
bool read_link(const std::string& path, std::string* target) {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) return false;
    target->assign(buffer, static_cast<std::size_t>(length));
    return true;
}

// Empty when link may be pointed elsewhere, or why not.
std::string replace_problem(const std::string& link, const std::string& previous) {
    struct stat st {};
    if (::lstat(link.c_str(), &st) != 0) return {};  // a free name (or one the rename will report)
    std::string now;
    if (!S_ISLNK(st.st_mode) || !read_link(link, &now)) {
        return link + " exists and is not a link; it is left as it is";
    }
    if (!previous.empty() && now != previous) {
        return link + " now leads to " + now + ", not to " + previous +
               " where this program left it: another program has taken the name, and it is left as it is";
    }
    return {};
}

// A link beside `link` under a name of its own: never one that is there already.
bool make_temporary_link(const std::string& link, const std::string& target, std::string* temporary,
                         std::string* error) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        *temporary = link + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
        if (::symlink(target.c_str(), temporary->c_str()) == 0) return true;
        if (errno != EEXIST) return fail(error, "symlink " + *temporary);
    }
    return fail(error, "symlink beside " + link);
}

}  // namespace

LinkOutcome publish_link(const std::string& link, const std::string& target, const std::string& previous,
                         std::string* error) {
    const std::string problem = replace_problem(link, previous);
    if (!problem.empty()) {
        if (error != nullptr) *error = problem;
        return LinkOutcome::refused;
    }
    // A new link beside the old name, renamed over it: the name never goes missing in between.
    std::string temporary;
    if (!make_temporary_link(link, target, &temporary, error)) return LinkOutcome::failed;
    if (::rename(temporary.c_str(), link.c_str()) != 0) {
        fail(error, "rename to " + link);
        ::unlink(temporary.c_str());
        return LinkOutcome::failed;
    }
    return LinkOutcome::published;
}

void remove_link_if_ours(const std::string& link, const std::string& target) {
    std::string now;
    if (!target.empty() && read_link(link, &now) && now == target) ::unlink(link.c_str());
}

std::string unplugged_target(const std::string& link) { return link + ".unplugged"; }
