// Where the ports of the program under test lead. Every test binary that
// links this starts with all nine ports pointing at a path that does not
// exist, so no test can fall back to a serial device of the system's own,
// and with the port run locks in a folder of its own (FISKAL_LOCK_DIR),
// removed when the binary ends, so no test leaves a lock file behind.
#pragma once

#include <string>

namespace fiskal::testing {

// Sets FISKAL_COM1..9 for this process (and the children it starts): port n
// to `path`, the others to a path that does not exist. n = 0 points every
// port nowhere.
void PointPortsAt(int n, const std::string& path);

}  // namespace fiskal::testing
