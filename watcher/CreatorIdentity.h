// The account a watcher's reloads read the INI file as: that of the thread
// that created the object. A thread made with CreateThread starts under the
// process's token, so a host that impersonates its client (an ASP page under
// Windows authentication, a COM+ library application, a service acting for a
// user) would otherwise reload as the process while the object was first
// loaded as the client. Portable: the token calls are a port.
#pragma once

#include <cstdint>

namespace stavora {

// The calling thread's impersonation token, as the platform keeps it.
class IThreadTokens {
 public:
  using Token = std::uintptr_t;  // 0: none
  static constexpr Token kNoToken = 0;

  // The calling thread's impersonation token, opened with the process's own
  // rights (OpenThreadToken with OpenAsSelf); kNoToken when the thread does
  // not impersonate or the token cannot be opened.
  virtual Token OpenCurrentThreadToken() = 0;
  // Makes the calling thread impersonate `token`; false when it cannot.
  virtual bool ImpersonateOnCurrentThread(Token token) = 0;
  // Ends the calling thread's impersonation.
  virtual void RevertCurrentThread() = 0;
  virtual void Close(Token token) = 0;

 protected:
  ~IThreadTokens() = default;
};

class CreatorIdentity {
 public:
  explicit CreatorIdentity(IThreadTokens& tokens) : m_tokens(tokens) {}
  ~CreatorIdentity() {
    if (m_token != IThreadTokens::kNoToken) m_tokens.Close(m_token);
  }
  CreatorIdentity(const CreatorIdentity&) = delete;
  CreatorIdentity& operator=(const CreatorIdentity&) = delete;

  // On the creating thread: keeps its impersonation token, if it has one.
  void CaptureOnCreatingThread() {
    if (m_token == IThreadTokens::kNoToken) m_token = m_tokens.OpenCurrentThreadToken();
  }

  // On the watcher thread, before it reads anything: takes on the kept
  // token. False when there was one and it could not be taken on (the
  // thread then reads as the process).
  bool AdoptOnWatcherThread() {
    if (m_token == IThreadTokens::kNoToken) return true;
    m_adopted = m_tokens.ImpersonateOnCurrentThread(m_token);
    return m_adopted;
  }

  // On the watcher thread, before it ends: back to the process's token.
  void RevertOnWatcherThread() {
    if (!m_adopted) return;
    m_tokens.RevertCurrentThread();
    m_adopted = false;
  }

 private:
  IThreadTokens& m_tokens;
  IThreadTokens::Token m_token = IThreadTokens::kNoToken;
  bool m_adopted = false;
};

}  // namespace stavora
