// Reloads read as the account that created the object: the watcher thread
// takes on the creating thread's impersonation token, over tokens and a file
// that answer per account. (Wine enforces no access lists, so this is where
// the rule is proven.)
#include "watcher/CreatorIdentity.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "store/Loader.h"

namespace stavora {
namespace {

// The account the calling thread acts as: the process's unless it
// impersonates.
thread_local std::string t_account = "process";

// Tokens are numbers 1, 2, ... standing for accounts.
class AccountTokens final : public IThreadTokens {
 public:
  Token OpenCurrentThreadToken() override {
    if (t_account == "process") return kNoToken;
    accounts.push_back(t_account);
    return accounts.size();
  }
  bool ImpersonateOnCurrentThread(Token token) override {
    if (token == kNoToken || token > accounts.size()) return false;
    t_account = accounts[token - 1];
    return true;
  }
  void RevertCurrentThread() override { t_account = "process"; }
  void Close(Token) override { ++closed; }

  std::vector<std::string> accounts;
  int closed = 0;
};

// A file with one section S holding K=secret that only `reader` may read;
// anyone else is denied: every call returns 0, though the file has bytes.
class FileForOneAccount final : public IProfileSource {
 public:
  explicit FileForOneAccount(std::string reader) : m_reader(std::move(reader)) {}
  std::uint32_t GetString(const char16_t* section, const char16_t* key, char16_t* buffer,
                          std::uint32_t size, const WString&) override {
    readers.push_back(t_account);
    if (t_account != m_reader) return 0;
    const WString text = section == nullptr ? WString(u"S\0", 2)
                         : key == nullptr   ? WString(u"K\0", 2)
                                            : WString(u"secret");
    if (text.size() + 1 > size) return 0;
    text.copy(buffer, text.size());
    buffer[text.size()] = u'\0';
    return static_cast<std::uint32_t>(text.size());
  }
  std::int64_t GetFileSize(const WString&) override { return t_account == m_reader ? 20 : -1; }
  FileState GetFileState(const WString&) override {
    FileState state;
    state.exists = true;
    state.size = 20;
    return state;
  }
  std::vector<std::string> readers;

 private:
  std::string m_reader;
};

class MutexLock final : public IStoreLock {
 public:
  void Enter() override { m_mutex.lock(); }
  void Leave() override { m_mutex.unlock(); }

 private:
  std::mutex m_mutex;
};

struct ReloadSeen {
  LoadResult result = LoadResult::kAbandoned;
  std::string accountDuring;
  std::string accountAfter;
  bool adopted = false;
};

// Creates on this thread as `creator`, then reloads on a new thread the way
// the watcher thread does.
ReloadSeen ReloadOnAWatcherThread(const std::string& creator, AccountTokens& tokens,
                                 FileForOneAccount& file, SectionMap& store) {
  t_account = creator;
  ReloadSeen seen;
  {
    CreatorIdentity identity(tokens);
    identity.CaptureOnCreatingThread();
    MutexLock lock;
    ServedStore served(store, lock);
    std::thread watcher([&] {
      seen.adopted = identity.AdoptOnWatcherThread();
      seen.result = LoadStore(served, file, u"C:\\CLIENT\\STAVORA.INI").result;
      seen.accountDuring = t_account;
      identity.RevertOnWatcherThread();
      seen.accountAfter = t_account;
    });
    watcher.join();
  }
  t_account = "process";
  return seen;
}

// The watcher reads as the creating thread's account and is back to the
// process's before it ends. A creating thread that does not impersonate gives
// it no token to take on: it reads as the process, as the object did.
TEST(CreatorIdentity, AReloadReadsAsTheAccountThatCreatedTheObject) {
  struct Row {
    const char* creator;
    std::vector<std::string> tokensOpened;
    int tokensClosed;
  };
  const Row rows[] = {{"client", {"client"}, 1}, {"process", {}, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.creator);
    AccountTokens tokens;
    FileForOneAccount file(row.creator);
    SectionMap store;
    const ReloadSeen seen = ReloadOnAWatcherThread(row.creator, tokens, file, store);

    EXPECT_TRUE(seen.adopted);
    EXPECT_EQ(LoadResult::kServed, seen.result);
    EXPECT_EQ((SectionMap{{u"S", {{u"K", u"secret"}}}}), store);
    EXPECT_EQ(std::vector<std::string>(3, row.creator), file.readers);
    EXPECT_EQ(row.creator, seen.accountDuring);
    EXPECT_EQ("process", seen.accountAfter) << "the thread did not revert before ending";
    EXPECT_EQ(row.tokensOpened, tokens.accounts);
    EXPECT_EQ(row.tokensClosed, tokens.closed) << "a kept token was not closed, or closed twice";
  }
}

}  // namespace
}  // namespace stavora
