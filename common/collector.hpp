// Pausing the cyclic garbage collector while a large result is built.
//
// Building hundreds of thousands of lists (the tuples of a large data file, their private copies)
// makes the collector run every few hundred allocations and walk every young list again and
// again, which costs more than building them. Nothing built by this code can be part of an
// unreachable cycle while it is being built, so the collector has nothing to find there.
#pragma once

#include <Python.h>

namespace kv {

// Pauses the collector for its lifetime and resumes it as it was (a paused collector stays paused).
class PauseCollector {
 public:
  PauseCollector() : was_enabled_(PyGC_Disable() == 1) {}
  ~PauseCollector() {
    if (was_enabled_) PyGC_Enable();
  }
  PauseCollector(const PauseCollector&) = delete;
  PauseCollector& operator=(const PauseCollector&) = delete;

 private:
  bool was_enabled_;
};

}  // namespace kv
