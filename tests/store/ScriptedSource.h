// Test doubles for the loader: a profile service that answers call by call
// from a script and records every call, and a lock that records its use.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "store/ProfileSource.h"
#include "store/StoreLock.h"

namespace stavora {
namespace testing_support {

// Records how often it was entered and left, and whether it is held now;
// runs `onLeave`, when set, as it is left.
class RecordingLock final : public IStoreLock {
 public:
  void Enter() override {
    ++enters;
    held = true;
  }
  void Leave() override {
    ++leaves;
    held = false;
    if (onLeave) onLeave();
  }
  std::function<void()> onLeave;
  int enters = 0;
  int leaves = 0;
  bool held = false;
};

// A list as the service writes it, without the final zero: "A\0B\0".
inline WString NameList(std::initializer_list<const char16_t*> names) {
  WString list;
  for (const char16_t* name : names) {
    list += name;
    list += u'\0';
  }
  return list;
}

struct ProfileCall {
  bool hasSection = false;
  WString section;
  bool hasKey = false;
  WString key;
  std::uint32_t size = 0;
  WString path;
  bool lockHeld = false;
};

// Answers each GetString call with the next scripted text, cut to the buffer
// the way GetPrivateProfileStringW cuts it: a value to size - 1 units
// returning size - 1, a list to size - 2 units ended by two zeros returning
// size - 2. A scripted call may also throw.
class ScriptedSource final : public IProfileSource {
 public:
  explicit ScriptedSource(const RecordingLock& lock) : m_lock(lock) {}

  void SetFileSize(std::int64_t size) { m_fileSize = size; }
  // The next answer, a list (for the two list forms) or a value.
  void Answer(const WString& text) { m_script.push_back({text, false}); }
  void AnswerList(std::initializer_list<const char16_t*> names) { Answer(NameList(names)); }
  void AnswerNothing() { Answer(WString()); }
  void Throw() { m_script.push_back({WString(), true}); }
  // A faulty answer: the whole buffer filled with 'x', no zero anywhere, and
  // `result` returned.
  void AnswerUnterminated(std::uint32_t result) {
    Step step{WString(), false};
    step.unterminated = true;
    step.result = result;
    m_script.push_back(step);
  }

  std::uint32_t GetString(const char16_t* section, const char16_t* key, char16_t* buffer,
                          std::uint32_t size, const WString& path) override {
    ProfileCall call;
    call.hasSection = section != nullptr;
    if (section != nullptr) call.section = section;
    call.hasKey = key != nullptr;
    if (key != nullptr) call.key = key;
    call.size = size;
    call.path = path;
    call.lockHeld = m_lock.held;
    calls.push_back(call);
    if (onCall) onCall(calls.size());
    if (m_script.empty()) {
      ADD_FAILURE() << "unscripted call " << calls.size() << " (buffer " << size << ")";
      return 0;
    }
    const Step step = m_script.front();
    m_script.pop_front();
    if (step.throws) throw std::bad_alloc();
    if (step.unterminated) {
      for (std::uint32_t i = 0; i < size; ++i) buffer[i] = u'x';
      return step.result;
    }
    return key == nullptr ? WriteList(step.text, buffer, size) : WriteValue(step.text, buffer, size);
  }

  std::int64_t GetFileSize(const WString& path) override {
    ++fileSizeCalls;
    fileSizePath = path;
    fileSizeLockHeld = m_lock.held;
    return m_fileSize;
  }

  // The file's state is the same at every look (it exists, with 4096 bytes)
  // unless states are scripted: each look then takes the next one, the last
  // one staying.
  void StatesOfFile(std::initializer_list<std::uint64_t> lastWrites) {
    for (std::uint64_t lastWrite : lastWrites) {
      FileState state;
      state.exists = true;
      state.size = kDefaultSize;
      state.lastWrite = lastWrite;
      m_states.push_back(state);
    }
  }

  // From now on the file exists with `size` bytes at every look.
  void FileOfSize(std::uint64_t size) {
    FileState state;
    state.exists = true;
    state.size = size;
    m_states.assign(1, state);
  }
  // From now on the file is missing at every look.
  void FileGone() { m_states.assign(1, FileState()); }

  FileState GetFileState(const WString&) override {
    ++fileStateCalls;
    if (m_states.size() > 1) {
      const FileState state = m_states.front();
      m_states.pop_front();
      return state;
    }
    if (!m_states.empty()) return m_states.front();
    FileState state;
    state.exists = true;
    state.size = kDefaultSize;
    return state;
  }

  std::size_t Unanswered() const { return m_script.size(); }

  std::vector<ProfileCall> calls;
  // Called with the count of calls so far, as each call arrives.
  std::function<void(std::size_t)> onCall;
  int fileSizeCalls = 0;
  int fileStateCalls = 0;
  WString fileSizePath;
  bool fileSizeLockHeld = false;

 private:
  struct Step {
    WString text;
    bool throws;
    bool unterminated = false;
    std::uint32_t result = 0;
  };

  static std::uint32_t WriteValue(const WString& text, char16_t* buffer, std::uint32_t size) {
    if (size == 0) return 0;
    const std::size_t count = text.size() < size - 1 ? text.size() : size - 1;
    text.copy(buffer, count);
    buffer[count] = u'\0';
    return static_cast<std::uint32_t>(count);
  }

  static std::uint32_t WriteList(const WString& text, char16_t* buffer, std::uint32_t size) {
    if (text.size() + 1 <= size) {
      text.copy(buffer, text.size());
      buffer[text.size()] = u'\0';
      return static_cast<std::uint32_t>(text.size());
    }
    if (size < 2) {
      if (size == 1) buffer[0] = u'\0';
      return 0;
    }
    text.copy(buffer, size - 2);
    buffer[size - 2] = u'\0';
    buffer[size - 1] = u'\0';
    return size - 2;
  }

  static constexpr std::uint64_t kDefaultSize = 4096;
  const RecordingLock& m_lock;
  std::int64_t m_fileSize = kDefaultSize;
  std::deque<Step> m_script;
  std::deque<FileState> m_states;
};

}  // namespace testing_support
}  // namespace stavora
