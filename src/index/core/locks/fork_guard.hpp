// The engine's guard across fork(): no process starts with an engine lock held by a thread it does not have.
#pragma once

namespace vostrel {

// Registers (once) fork handlers that wait for every engine call to finish and keep new ones out across fork().
void install_fork_guard();

}  // namespace vostrel
