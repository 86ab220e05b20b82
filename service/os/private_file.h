// Files other users may not read (the token, the broker's password, the
// private keys of HTTPS and of the broker): the one check that refuses a
// secret others can read, one file per platform. On POSIX systems that is
// the file's mode: no bits for others; the group may read (the packaged
// unit's keys are root:fiskald 0640, in /etc/fiskald, root:fiskald 0750).
// On Windows its access list: read access for anyone but the owner, SYSTEM
// and the Administrators refuses it.
#pragma once

#include <cstddef>
#include <string>

#include "base/status.h"

namespace fiskal::service {

// Reads the start of the file at `path` (`most` bytes or a little more),
// after checking that only its owner may read it. `what` names the file in
// messages ("token file").
Status ReadPrivateFile(const std::string& path, const std::string& what, std::size_t most,
                       std::string* text);

// The same check without reading on (for files a library reads itself: the
// private keys). `what` names the file in messages ("TLS key").
Status CheckPrivateFile(const std::string& path, const std::string& what);

}  // namespace fiskal::service
