// Keeps the module sound across fork(). The parent's engine threads do not exist in a child, so
// the child starts with no engine (module functions answer as before initialize(), which gives it
// a fresh one), no passes counted at the exit gate, frames shut, and an empty output queue with
// no writer yet. Locks that engine threads take are held across fork() by the forking thread, so
// the child never inherits one in a held state.
//
// None of these locks is ever held while waiting for the GIL, which the forking thread holds.
#pragma once

namespace pyv {

// Registers the fork handlers once per process; later calls do nothing. Interpreter thread,
// holding the GIL (module init). False when the system refused the registration.
bool installForkGuard();

}  // namespace pyv
