// TCP plumbing of the data link: bounded connect, listen and accept. Every socket
// made here is non-blocking and close-on-exec; the callers wait with poll.
#ifndef TIDEWIRE_SOCKET_H
#define TIDEWIRE_SOCKET_H

namespace tidewire {

// Resolves host (name or dotted address) and connects within timeout_ms, trying
// each address in turn. 0 with *fd, else TIDEWIRE_ERR_RESOLVE / _CONNECT /
// _CONNECT_TIMEOUT.
int connect_with_timeout(const char* host, int port, int timeout_ms, int* fd);

// Listens on address (null or empty: any address) and port (0: a free one).
// 0 with *fd and *bound_port, else TIDEWIRE_ERR_RESOLVE / _BIND.
int listen_on(const char* address, int port, int* fd, int* bound_port);

// Waits up to timeout_ms for a connection. 0 with *fd, else
// TIDEWIRE_AGAIN_TIMEOUT / _AGAIN_INTERRUPTED / TIDEWIRE_ERR_CONNECT.
int accept_with_timeout(int listen_fd, int timeout_ms, int* fd);

void set_no_delay(int fd);

// Makes fd a blocking socket whose receives give up after slice_ms (sends stay
// non-blocking by their flags). False when fd does not allow it.
bool set_receive_slice(int fd, int slice_ms);

// Milliseconds of the monotonic clock, for deadlines.
long long monotonic_ms();
bool set_non_blocking(int fd);

}  // namespace tidewire

#endif
