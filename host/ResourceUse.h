// ResourceUse.h - what the demo host samples of its own process for the
// judgement of a long run (Growth.h): private memory, handles, threads.
//
// Under Wine (8.0 at least) two of the usual calls give nothing:
// PROCESS_MEMORY_COUNTERS_EX::PrivateUsage is 0, while PagefileUsage holds
// the process's resident anonymous memory (what its heaps and stacks have
// touched), and GetProcessHandleCount gives 0, while the system's handle
// list has every handle with its owner. Each figure is taken the usual way
// and, where that gives 0, the other way.
#pragma once
#include "host/Growth.h"

namespace NDemo {

// The figures of this process now, stamped with t (seconds). A figure that
// cannot be had is 0.
TResourceSample SampleResources(double t);

} // namespace NDemo
