// How many CPUs this process may run on.
#pragma once

namespace zln::lsh {

// The CPUs of the process's affinity mask where the system reports one
// (Linux), else the hardware's thread count; at least 1.
unsigned usable_cpus() noexcept;

}  // namespace zln::lsh
