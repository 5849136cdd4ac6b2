#include "document_cache.h"

#include <exception>
#include <utility>

document_text document_cache::get(std::unique_lock<std::mutex>& lock, const document_state& state,
                                  std::chrono::steady_clock::time_point asked,
                                  const std::function<writer()>& copy)
{
    if (kept_.valid() && (state == state_ || asked <= copied_)) {
        const std::shared_future<document_text> shared = kept_;
        lock.unlock();
        return shared.get();
    }
    // The copy first: should it fail, nothing is promised.
    const writer write = copy();
    std::promise<document_text> promise;
    const std::shared_future<document_text> shared = promise.get_future().share();
    kept_ = shared;
    state_ = state;
    copied_ = std::chrono::steady_clock::now();
    const std::uint64_t serial = ++serial_;
    ++made_;
    lock.unlock();
    try {
        promise.set_value(std::make_shared<const std::string>(write()));
    } catch (...) {
        // Those waiting hear of the failure; the next request tries again.
        promise.set_exception(std::current_exception());
        lock.lock();
        if (serial_ == serial) kept_ = {};
        lock.unlock();
        throw;
    }
    return shared.get();
}
