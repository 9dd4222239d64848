// The lab's network and process set-up: a private network namespace with
// loopback up (its datagram rules: rules.h), and the open-file limit that N
// nodes need.
#pragma once

#include <cstddef>
#include <string>

namespace palaver::lab {

// Moves this process into a network namespace of its own (inside a user
// namespace of its own when not root) and brings loopback up. Must run
// before the process starts any thread. "" on success, else the reason.
std::string enterPrivateNetwork();

// Raises the soft open-file limit to the hard one when `needed` is above
// it. "" when at least `needed` files may be open, else the reason.
std::string raiseOpenFileLimit(std::size_t needed);

}  // namespace palaver::lab
