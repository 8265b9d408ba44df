// Running core work with the interpreter lock released.
//
// The body gets a cancellation check for the calling thread: it takes the
// lock back for a moment, runs the interpreter's signal handlers
// (PyErr_CheckSignals) and releases it again. When a handler raised (Ctrl-C:
// KeyboardInterrupt), the check says stop, the core throws Interrupted, and
// the raised error, kept by the thread state, is what the entry reports.
#pragma once

#include <Python.h>

#include "lsh/failure.hpp"

namespace zln::py::bulk {

class Unlocked {
public:
    Unlocked() noexcept : state_(PyEval_SaveThread()) {}
    ~Unlocked() { PyEval_RestoreThread(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

    CancelCheck signal_check() noexcept { return CancelCheck{&Unlocked::signals_raised, this}; }

private:
    static bool signals_raised(void* ctx) {
        auto* self = static_cast<Unlocked*>(ctx);
        PyEval_RestoreThread(self->state_);
        const bool raised = PyErr_CheckSignals() != 0;
        self->state_ = PyEval_SaveThread();
        return raised;
    }

    PyThreadState* state_;
};

// Runs body(CancelCheck) without the interpreter lock; exceptions pass
// through once the lock is held again.
template <class Body>
void run_unlocked(Body&& body) {
    Unlocked unlocked;
    body(unlocked.signal_check());
}

}  // namespace zln::py::bulk
