// MemoryRegistry: a registry held in memory, for the native tests, the fuzz
// target and the tool that turns the registration scripts into installer
// rows. Key and value names compare without regard to ASCII case; handles are
// tracked so that a run can be checked for leaked or doubly closed keys; the
// error codes are the real registry's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "registrar/RegistryAccess.h"
#include "store/NameRule.h"

namespace stavora {

class MemoryRegistry final : public IRegistry {
 public:
  struct Value {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
  };

  enum class Operation { kOpen, kCreate, kClose, kSetValue, kDeleteValue, kDeleteKey, kEnum, kQuery, kCount };

  MemoryRegistry();
  ~MemoryRegistry() override;
  MemoryRegistry(const MemoryRegistry&) = delete;
  MemoryRegistry& operator=(const MemoryRegistry&) = delete;

  std::int32_t OpenKey(RegKey parent, const char16_t* name, std::uint32_t access, RegKey* key) override;
  std::int32_t CreateKey(RegKey parent, const char16_t* name, std::uint32_t access, RegKey* key) override;
  std::int32_t CloseKey(RegKey key) override;
  std::int32_t SetValue(RegKey key, const char16_t* name, std::uint32_t type, const void* data,
                        std::uint32_t bytes) override;
  std::int32_t DeleteValue(RegKey key, const char16_t* name) override;
  std::int32_t DeleteKey(RegKey parent, const char16_t* name) override;
  std::int32_t EnumKey(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* length) override;
  std::int32_t QuerySubkeyCount(RegKey key, std::uint32_t* count) override;

  // Setting up and inspecting. Paths start with a root's short name ("HKCR",
  // "HKCU", "HKLM", "HKU", "HKPD", "HKCC", "HKDD") and separate keys with
  // backslashes. A value name of "" is the default value.
  void AddKey(const WString& path);
  void AddValue(const WString& path, const WString& name, std::uint32_t type,
                const std::vector<std::uint8_t>& data);
  void AddStringValue(const WString& path, const WString& name, const WString& text);
  // Opening the key for writing, creating or writing under it, and deleting
  // it are then refused with ERROR_ACCESS_DENIED.
  void SetReadOnly(const WString& path);
  // Every later call of `op` fails with `error` (0 clears it). A failed close
  // still closes the handle.
  void SetFailure(Operation op, std::int32_t error);

  bool KeyExists(const WString& path) const;
  const Value* FindValue(const WString& path, const WString& name) const;
  // Every key and value below the roots, one line each, in insertion order:
  // "HKCR\A\B" for a key, "HKCR\A\B @ = S:text" for its default value,
  // "HKCR\A\B name = S:text" for a named one. Strings show as S:text, other
  // types as T<type>:<hex bytes>.
  std::vector<std::string> Dump() const;

  // One key with its values, for callers that turn the registry into
  // another form (the installer's registry rows).
  struct KeyRecord {
    WString path;  // as in Dump: "HKCR\A\B"
    std::vector<std::pair<WString, Value>> values;  // "" names the default value
    std::size_t subkeyCount = 0;
  };
  // Every key below the roots, in Dump's order.
  std::vector<KeyRecord> Keys() const;

  std::size_t OpenHandleCount() const { return m_handles.size(); }
  // Closes of handles that are not open and uses of handles that were never
  // opened or are closed already.
  std::size_t HandleErrors() const { return m_handleErrors; }
  // Calls of any operation, and calls that changed something.
  std::size_t CallCount() const { return m_calls; }
  std::size_t MutationCount() const { return m_mutations; }

 private:
  struct Node;
  struct Handle {
    std::shared_ptr<Node> node;
    std::uint32_t access = 0;
  };

  std::int32_t Resolve(RegKey key, std::shared_ptr<Node>* node, std::uint32_t* access);
  std::int32_t Injected(Operation op);
  RegKey NewHandle(const std::shared_ptr<Node>& node, std::uint32_t access);
  std::shared_ptr<Node> FindPath(const WString& path, bool create) const;

  std::vector<std::shared_ptr<Node>> m_roots;
  std::map<RegKey, Handle> m_handles;
  RegKey m_nextHandle = 0x1000;
  std::size_t m_handleErrors = 0;
  std::size_t m_calls = 0;
  std::size_t m_mutations = 0;
  std::int32_t m_failures[static_cast<int>(Operation::kCount)] = {};
};

}  // namespace stavora
