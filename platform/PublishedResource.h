// PublishedResource: a value made once under a writer's lock and read by any
// thread without one, such as the class object and the type information that
// every call shares; owned, and freed when the library unloads.
#pragma once

#include <atomic>

#include "platform/ScopedResource.h"

namespace stavora {

// Publication is a release store of a value that is already complete, and a
// read is an acquire load: a reader that sees the value sees everything the
// writer did to it first, and one that sees the empty value takes the
// writer's lock and looks again. Values that are published separately are
// each whole when seen, so a reader that sees all of them needs no lock.
template <class Traits>
class PublishedResource {
 public:
  using Value = typename Traits::Value;

  PublishedResource() noexcept = default;
  ~PublishedResource() { Reset(); }
  PublishedResource(const PublishedResource&) = delete;
  PublishedResource& operator=(const PublishedResource&) = delete;

  // What was published, or the empty value; borrowed.
  Value Get() const noexcept { return m_value.load(std::memory_order_acquire); }

  // Takes over `complete` and makes it visible to every thread. Called under
  // the writer's lock, and only while nothing is published.
  void Publish(ScopedResource<Traits>&& complete) noexcept {
    assert(!Traits::Holds(m_value.load(std::memory_order_relaxed)) && "published twice");
    m_value.store(complete.Release(), std::memory_order_release);
  }

  // Frees what was published. Only when no reader can be running: at unload,
  // or in a test that owns every thread.
  void Reset() noexcept {
    ScopedResource<Traits> published(m_value.exchange(Traits::Empty(), std::memory_order_acquire));
  }

 private:
  std::atomic<Value> m_value{Traits::Empty()};
};

}  // namespace stavora
