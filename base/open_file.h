// An open file as the system names it, written here only: a descriptor on
// POSIX systems, a HANDLE on Windows. The run locks (line/run_lock.h) and
// fiskald's journal file hold and lock files of this kind.
#pragma once

namespace fiskal {

#ifdef _WIN32
using OpenFile = void*;
#else
using OpenFile = int;
#endif

}  // namespace fiskal
