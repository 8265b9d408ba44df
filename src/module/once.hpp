// Process-wide objects created once, on first need.
//
// Creation may run Python code (an import, an attribute getter) that gives
// the interpreter lock away, so another thread can ask for the same object
// while it is being made. That thread waits, with the interpreter lock
// released so the creating thread can finish, and then takes the created
// object: creation runs at most once at a time and succeeds at most once.
// A failed creation keeps nothing, so a later request tries again. A request
// from the creating thread itself (the creation called back into the module)
// can never be satisfied and ends as an internal failure instead of waiting
// for itself.
#pragma once

#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "module/errors.hpp"

namespace zln::py {

class OnceObject {
public:
    // `what` names the object in the message of a re-entrant request.
    explicit OnceObject(const char* what) noexcept : what_(what) {}
    OnceObject(const OnceObject&) = delete;
    OnceObject& operator=(const OnceObject&) = delete;

    // Borrowed reference (kept until the process ends), or null with the
    // creation's error set. `create` runs with the interpreter lock held and
    // returns a new reference or null with an error set. Called with the
    // interpreter lock held; throws Panic for a re-entrant request.
    template <class Create>
    PyObject* get(Create&& create) {
        if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
        if (!claim()) return value_.load(std::memory_order_acquire);
        PyObject* created = nullptr;
        try {
            created = create();
        } catch (...) {
            finish(nullptr);
            throw;
        }
        finish(created);
        return created;
    }

    // The object if it has been created, else null; never creates it.
    PyObject* if_created() const noexcept { return value_.load(std::memory_order_acquire); }

private:
    // True when this thread is now the creator; false when another thread
    // created the object meanwhile.
    bool claim() {
        std::unique_lock lock(mutex_);
        while (creating_) {
            if (creator_ == std::this_thread::get_id()) {
                lock.unlock();
                throw Panic(std::string("re-entrant request for ") + what_ +
                                ": it was requested again by the thread that is creating it",
                            __FILE__, __LINE__);
            }
            // The mutex is never held while waiting for the interpreter
            // lock, so the creator can always take it to report completion.
            lock.unlock();
            Py_BEGIN_ALLOW_THREADS
            {
                std::unique_lock wait_lock(mutex_);
                done_.wait(wait_lock, [this] { return !creating_; });
            }  // released before the interpreter lock is taken back
            Py_END_ALLOW_THREADS
            lock.lock();
        }
        if (value_.load(std::memory_order_acquire) != nullptr) return false;
        creating_ = true;
        creator_ = std::this_thread::get_id();
        return true;
    }

    void finish(PyObject* created) noexcept {
        {
            std::lock_guard lock(mutex_);
            if (created != nullptr) value_.store(created, std::memory_order_release);
            creating_ = false;
            creator_ = std::thread::id();
        }
        done_.notify_all();
    }

    const char* what_;
    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
    std::condition_variable done_;
    bool creating_ = false;  // guarded by mutex_
    std::thread::id creator_;
};

}  // namespace zln::py
