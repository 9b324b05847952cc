// Message buffers kept by each thread from one call to the next. A call writes its request into one
// and receives its reply into another; a session gives both back once the reply is read, so that a
// thread making call after call allocates neither again (a buffer of a few KiB is past malloc's
// per-thread cache, and took ~1,500 instructions to get and give back on every call).
#pragma once

#include <string>

namespace zebsoap {

// A buffer given back on this thread (the one of the largest size), or an empty string. What it
// holds is left over from its last use: the size is room that needs no filling before it is
// written over; clear it to append.
std::string takeBuffer();
// Keeps buffer's memory for takeBuffer (two at most, of up to 64 KiB each).
void giveBuffer(std::string&& buffer);

}  // namespace zebsoap
