// The memory of a watcher's change reads: one read at a time, each in a block
// of its own that belongs to the read until its completion. Portable: `Read`
// is whatever the platform's read needs (records buffer, overlapped block).
#pragma once

#include <new>

namespace stavora {

template <class Read>
class OneReadAtATime {
 public:
  OneReadAtATime() = default;
  OneReadAtATime(const OneReadAtATime&) = delete;
  OneReadAtATime& operator=(const OneReadAtATime&) = delete;
  // A read still out is never freed here: see Abandon.
  ~OneReadAtATime() = default;

  // A fresh block for the next read; nullptr while the last read may still
  // complete (its block is never handed out again, nor is another read to go
  // out beside it), after Abandon, or when memory runs out.
  Read* Begin() {
    if (m_outstanding != nullptr || m_abandoned) return nullptr;
    m_outstanding = new (std::nothrow) Read();
    return m_outstanding;
  }

  // The read of `read` could not be issued: its block is freed at once.
  void NotIssued(Read* read) {
    if (read == m_outstanding) m_outstanding = nullptr;
    delete read;
  }

  // The completion of the read of `read`: the system is done with the block,
  // which is freed; the next read may go out.
  void Completed(Read* read) {
    if (read == m_outstanding) m_outstanding = nullptr;
    delete read;
  }

  bool Outstanding() const { return m_outstanding != nullptr; }
  // The read still out, or nullptr.
  Read* Current() const { return m_outstanding; }

  // The reads end without waiting any longer for the outstanding one's
  // completion: its block is left to it, since the system may still write
  // into it (freed by the completion if that ever runs, else never), and no
  // read goes out from here on.
  void Abandon() {
    m_abandoned = true;
    m_outstanding = nullptr;
  }

 private:
  Read* m_outstanding = nullptr;
  bool m_abandoned = false;
};

}  // namespace stavora
