// A live card's hold on its link's name. A second card on the same name would repoint the link
// under the first one's driver; the hold makes it refuse instead. The hold is an abstract socket,
// which the kernel drops when the process ends however it ends, so a killed card leaves none.
#pragma once

#include <string>

class LinkClaim {
public:
    LinkClaim() = default;
    ~LinkClaim();
    LinkClaim(const LinkClaim&) = delete;
    LinkClaim& operator=(const LinkClaim&) = delete;

    // False with a reason in *error when another live card holds the name (or a call failed).
    bool take(const std::string& link, std::string* error);
    void release();

private:
    int fd_ = -1;
};
