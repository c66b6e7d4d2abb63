#pragma once

#include <QObject>

#include <coroutine>
#include <unordered_set>

namespace larkpin {

/// Resumes coroutines on the thread that owns the queue once their worker call has ended.
///
/// Every suspended coroutine is listed until it resumes, so that the owner can resume the rest
/// before it goes away (each then sees that it has and returns): none is left suspended for ever,
/// holding its frame. Workers may post from any thread; the rest is for the owning thread.
class ResumeQueue final : public QObject {
public:
    using QObject::QObject;

    void add(std::coroutine_handle<> handle) { pending_.insert(handle.address()); }
    /// From a worker thread: resume `handle` on the owning thread soon.
    void post(std::coroutine_handle<> handle)
    {
        QMetaObject::invokeMethod(
            this, [this, handle] { resume(handle); }, Qt::QueuedConnection);
    }
    /// Refuses new calls and resumes every coroutine still listed. Call after the workers ended.
    void close()
    {
        closed_ = true;
        while (!pending_.empty()) {
            void* const address = *pending_.begin();
            pending_.erase(pending_.begin());
            std::coroutine_handle<>::from_address(address).resume();
        }
    }
    bool isClosed() const { return closed_; }

private:
    void resume(std::coroutine_handle<> handle)
    {
        if (pending_.erase(handle.address()) > 0)
            handle.resume();
    }

    std::unordered_set<void*> pending_;
    bool closed_ = false;
};

} // namespace larkpin
