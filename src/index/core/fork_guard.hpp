// The engine's guard across fork(): no process starts with an engine lock held by a thread it does not have.
#pragma once

namespace vostrel {

// Registers (once) fork handlers that wait for every engine call to finish and keep new ones out across fork().
void install_fork_guard();

// The wait of the handlers above, taken early: from the interpreter's own before-fork hook, ahead of the locks the
// interpreter holds across the fork itself (from 3.13 it holds the lock of its thread-state list, which a native
// thread taking the interpreter lock for the first time needs). The handler of the fork that follows finds it done.
void prepare_for_fork();

}  // namespace vostrel
