#include "link_claim.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

// The link's folder resolved, so that ports/com3 and ./ports/com3 are one name; the link itself
// is not resolved, since it points at the pseudo-terminal.
std::string canonical_link(const std::string& link) {
    const std::size_t slash = link.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : link.substr(0, slash));
    const std::string name = slash == std::string::npos ? link : link.substr(slash + 1);
    char resolved[PATH_MAX];
    if (::realpath(folder.c_str(), resolved) == nullptr) return link;
    return std::string(resolved) + "/" + name;
}

// A hash keeps any path within the socket name's 108 bytes.
sockaddr_un claim_address(const std::string& link, socklen_t* size) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = "vek-virtual-card-link/" + std::to_string(std::hash<std::string>{}(canonical_link(link)));
    std::memcpy(address.sun_path + 1, name.data(), name.size());  // sun_path[0] == 0: abstract
    *size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return address;
}

// The holder's process id, when it can be asked.
std::string holder(const sockaddr_un& address, socklen_t size) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "";
    std::string who;
    ucred peer{};
    socklen_t peer_size = sizeof peer;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0 &&
        ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peer_size) == 0) {
        who = " (process " + std::to_string(peer.pid) + ")";
    }
    ::close(fd);
    return who;
}

}  // namespace

LinkClaim::~LinkClaim() { release(); }

bool LinkClaim::take(const std::string& link, std::string* error) {
    release();
    socklen_t size = 0;
    const sockaddr_un address = claim_address(link, &size);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        if (error != nullptr) *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), size) == 0 && ::listen(fd_, 4) == 0) return true;
    const int bind_errno = errno;
    release();
    if (error != nullptr) {
        *error = bind_errno == EADDRINUSE
                     ? link + " is held by another virtual card" + holder(address, size) +
                           "; it is left as it is (end that card first, or choose another link)"
                     : "claim on " + link + ": " + std::strerror(bind_errno);
    }
    return false;
}

void LinkClaim::release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}
