// A connection's socket as http.client sees it, bounded by one deadline.
//
// http.client sends through its connection's socket and reads the reply
// through the file that the socket's makefile() returns.  The wrapper made
// here stands in for that socket: its sendall() and every read of the reply
// get only the time left before the deadline, so a service that accepts the
// bytes slowly or drips its answer cannot stretch one post past it.  Once the
// deadline has passed, the next operation raises socket.timeout ("timed out").
//
// The reply's reader is a file of the real socket (socket.makefile), so like
// any socket file it keeps the connection open until the reader itself is
// closed: http.client closes the connection as soon as it sees a reply that
// ends the connection, and reads that reply afterwards.
#pragma once

#include <nanobind/nanobind.h>

namespace zelmo {

namespace nb = nanobind;

// Seconds on the steady clock, the clock deadlines are set on.
double monotonic_seconds();

// Makes the wrapper classes; `module` owns them (their __module__).
void init_deadline_socket(nb::handle module);

// Up to `size` of the bytes `sock` has received, left there to be read: once
// some have come, or empty once the peer has closed.  Waits no longer than
// `deadline` (infinite: as long as the socket's own timeout).
nb::object peek(nb::handle sock, double deadline, Py_ssize_t size);

// `sock` wrapped for http.client, with `deadline` in monotonic_seconds().
nb::object deadline_socket(nb::handle sock, double deadline);

} // namespace zelmo
