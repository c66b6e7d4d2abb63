#pragma once

#include "app/model/ResumeQueue.h"

#include <QThreadPool>

#include <coroutine>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace larkpin {

/// Awaitable: runs `work` on a thread pool and resumes the awaiting coroutine on the queue's
/// thread with its result, or rethrows what it threw there.
template <typename T> class WorkerCall {
public:
    WorkerCall(QThreadPool& pool, ResumeQueue& queue, std::function<T()> work)
        : pool_(pool)
        , queue_(queue)
        , work_(std::move(work))
    {
    }

    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> handle)
    {
        if (queue_.isClosed()) {
            failure_ = std::make_exception_ptr(std::runtime_error("Larkpin is quitting"));
            return false;
        }
        queue_.add(handle);
        pool_.start([this, handle] {
            try {
                if constexpr (std::is_void_v<T>)
                    work_();
                else
                    result_.emplace(work_());
            } catch (...) {
                failure_ = std::current_exception();
            }
            queue_.post(handle);
        });
        return true;
    }
    T await_resume()
    {
        if (failure_)
            std::rethrow_exception(failure_);
        if constexpr (!std::is_void_v<T>)
            return std::move(*result_);
    }

private:
    struct Nothing {};
    QThreadPool& pool_;
    ResumeQueue& queue_;
    std::function<T()> work_;
    std::optional<std::conditional_t<std::is_void_v<T>, Nothing, T>> result_;
    std::exception_ptr failure_;
};

} // namespace larkpin
