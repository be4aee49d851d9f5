#pragma once

// Failures of the calls the event loops make, for a test to turn on. The engine's calls go through wrappers in the
// binaries linked with them (--wrap): epoll_ctl adding or changing a watch, epoll_wait, and libcurl's socket action.
namespace faults {

enum class Call { Watch, Wait, SocketAction };

// The next `times` calls fail (-1: every one) until cleared.
void fail(Call call, int times = -1);
void clear();

}  // namespace faults
