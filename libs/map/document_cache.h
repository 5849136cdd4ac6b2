// One of the flight's documents (the GeoJSON track, the KML), made once
// for a state of the flight and shared by every request for it, so that
// thirty pages reloading together cost one document. The flight is copied
// under its lock, which is cheap; the text is written from the copy after
// the lock is let go, so the lines that follow never wait for a reader.
// Only the newest document is kept: the memory is one document's, besides
// the answers still being sent.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>

using document_text = std::shared_ptr<const std::string>;

// The state of the flight a document shows: its generation, and a version
// that changes with anything the document says.
struct document_state {
    std::uint64_t generation = 0;
    std::uint64_t version = 0;
};

inline bool operator==(const document_state& a, const document_state& b)
{
    return a.generation == b.generation && a.version == b.version;
}

class document_cache {
public:
    // Writes the document from a copy that owns everything it needs.
    using writer = std::function<std::string()>;

    // The document for `state`, which the caller read under `lock`, held
    // on entry, for a request that came at `asked`. The document kept
    // serves it when it shows that state or was copied after the request
    // came (it is then as new as the request), made or still being made;
    // otherwise `copy` is called under the lock and its writer after it.
    // Lets go of the lock.
    document_text get(std::unique_lock<std::mutex>& lock, const document_state& state,
                      std::chrono::steady_clock::time_point asked, const std::function<writer()>& copy);

    // Documents begun so far.
    [[nodiscard]] std::uint64_t made() const { return made_; }

private:
    // Guarded by the caller's lock.
    document_state state_;
    std::chrono::steady_clock::time_point copied_;
    std::shared_future<document_text> kept_;
    std::uint64_t serial_ = 0;  // which making kept_ is
    std::atomic<std::uint64_t> made_{0};
};
