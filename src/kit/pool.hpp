// A small pool of worker threads for kernels that split their work into
// tasks: started on first use, sized to the cores this process may run on,
// and never seen by Python (the workers run plain C++; callers release the
// GIL around `run`).
//
// One job runs at a time; a caller that finds the pool busy (another Python
// thread, or a task starting a job of its own) runs its tasks itself. After
// fork() the child's pool is empty, and a child starts its own on first use.
#pragma once

#include <sched.h>
#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <exception>
#include <mutex>
#include <thread>

namespace kit {

// The cores this process may run on (its affinity mask, not the machine's).
inline unsigned usable_cores() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    const unsigned h = std::thread::hardware_concurrency();
    return h ? h : 1;
}

// Memory for work on the pool, from malloc (first touched by the thread
// that fills it).
struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
using Bytes = std::unique_ptr<unsigned char[], FreeDeleter>;

inline Bytes uninitialised_bytes(std::size_t n) {
    Bytes b(static_cast<unsigned char*>(std::malloc(n ? n : 1)));
    if (!b) throw std::bad_alloc();
    return b;
}

namespace detail {

struct PoolState {
    std::mutex run;  // held by the caller of the job in progress
    std::mutex m;
    std::condition_variable wake, finished;
    unsigned workers = 0;
    // The job in progress, under m.
    void (*call)(void*, std::size_t) = nullptr;
    void* ctx = nullptr;
    std::size_t n = 0, next = 0, pending = 0;
    unsigned seats = 0, inside = 0;  // workers that may still join it; workers in it
    std::exception_ptr error;

    // Runs tasks of the job until none is left; m is held on entry and exit.
    void work(std::unique_lock<std::mutex>& lk) {
        while (next < n) {
            const std::size_t i = next++;
            lk.unlock();
            std::exception_ptr e;
            try {
                call(ctx, i);
            } catch (...) {
                e = std::current_exception();
            }
            lk.lock();
            if (e && !error) error = e;
            if (--pending == 0) finished.notify_all();
        }
    }

    void worker() {
        std::unique_lock<std::mutex> lk(m);
        for (;;) {
            wake.wait(lk, [&] { return call && next < n && seats > 0; });
            --seats;
            ++inside;
            work(lk);
            if (--inside == 0) finished.notify_all();
        }
    }
};

// The process's pool; replaced (the old one left as it is: its threads are
// not in the child) after fork.
inline PoolState*& pool_state() {
    static PoolState* state = nullptr;
    return state;
}

inline PoolState& pool() {
    static std::once_flag registered;
    std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, [] { pool_state() = nullptr; }); });
    static std::mutex made;
    std::lock_guard<std::mutex> lk(made);
    PoolState*& s = pool_state();
    if (!s) s = new PoolState;  // never freed: workers may outlive any static destructor
    return *s;
}

}  // namespace detail

// Runs fn(i) for every i in [0, n) on up to `threads` threads, the caller's
// among them, and returns when all are done. The first exception a task
// throws is rethrown here, after every task has ended.
template <class F>
void parallel_for(std::size_t n, unsigned threads, F&& fn) {
    if (n == 0) return;
    if (threads > n) threads = static_cast<unsigned>(n);
    detail::PoolState* s = threads > 1 ? &detail::pool() : nullptr;
    std::unique_lock<std::mutex> running;
    if (s) running = std::unique_lock<std::mutex>(s->run, std::try_to_lock);
    if (!s || !running.owns_lock()) {
        for (std::size_t i = 0; i < n; ++i) fn(i);
        return;
    }
    std::unique_lock<std::mutex> lk(s->m);
    while (s->workers < threads - 1) {
        std::thread([s] { s->worker(); }).detach();
        ++s->workers;
    }
    s->call = [](void* ctx, std::size_t i) { (*static_cast<std::remove_reference_t<F>*>(ctx))(i); };
    s->ctx = &fn;
    s->n = n;
    s->next = 0;
    s->pending = n;
    s->seats = threads - 1;
    s->error = nullptr;
    s->wake.notify_all();
    s->work(lk);
    s->finished.wait(lk, [&] { return s->pending == 0 && s->inside == 0; });
    s->call = nullptr;
    s->seats = 0;
    std::exception_ptr e = s->error;
    s->error = nullptr;
    lk.unlock();
    if (e) std::rethrow_exception(e);
}

}  // namespace kit
