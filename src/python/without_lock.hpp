// Long engine work without the interpreter lock, so that other Python threads
// run meanwhile.
#pragma once

#include <Python.h>

#include <cstddef>

namespace pyvorl {

// Frames and columns at least this large are encoded and decoded without the interpreter lock.
inline constexpr std::size_t RELEASE_LOCK_BYTES = std::size_t{1} << 20;

// Runs `work` without the interpreter lock when `release` is set; the lock is
// back before anything `work` throws goes on.
template <class Work>
void maybe_without_lock(bool release, Work&& work) {
    if (!release) return work();
    PyThreadState* state = PyEval_SaveThread();
    try {
        work();
    } catch (...) {
        PyEval_RestoreThread(state);
        throw;
    }
    PyEval_RestoreThread(state);
}

}  // namespace pyvorl
