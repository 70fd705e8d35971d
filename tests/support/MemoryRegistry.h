// MemoryRegistry: a registry held in memory, for the native tests, the fuzz
// target and the tool that turns the registration scripts into installer
// rows. Key and value names compare without regard to ASCII case; handles are
// tracked so that a run can be checked for leaked or doubly closed keys; the
// error codes are the real registry's.
//
// Used directly, every root is a plain tree of its own ("HKCR" included).
// Through As(caller), the same trees are seen as a process of that bitness
// sees the registry of Windows 7 and later: the 32-bit and 64-bit views of
// the classes keys, and HKEY_CLASSES_ROOT as the merged view of the per-user
// and the machine's classes. The rules are in MemoryRegistry.cpp, each with
// the page that documents it. OverrideClassesRoot maps HKEY_CLASSES_ROOT onto
// a key for every caller, as RegOverridePredefKey does for a process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "registrar/RegistryAccess.h"
#include "platform/WString.h"

namespace stavora {

class MemoryRegistry final : public IRegistry {
 public:
  struct Value {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
  };

  struct Node;  // one key, with its values and subkeys

  enum class Operation { kOpen, kCreate, kClose, kSetValue, kDeleteValue, kDeleteKey, kEnum, kQuery, kCount };

  // Who looks: a 32-bit or a 64-bit process on 64-bit Windows, or a 32-bit
  // process on 32-bit Windows, where there is one registry view.
  enum class Caller { k32On64, k64On64, k32On32 };
  // The view added to every call's access, as KEY_WOW64_32KEY or
  // KEY_WOW64_64KEY would be; kProcess adds nothing.
  enum class View { kProcess, k32, k64 };

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
  std::int32_t QueryValue(RegKey key, const char16_t* name, std::uint32_t* type, void* data,
                          std::uint32_t* bytes) override;
  std::int32_t EnumValue(RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* length) override;
  std::int32_t OverrideClassesRoot(RegKey key) override;

  // Whether HKEY_CLASSES_ROOT is mapped onto a key now.
  bool ClassesRootOverridden() const { return m_classesOverride.set; }

  // The registry as `caller` sees it, over the same trees. The object lives
  // as long as this registry; its handles count with this registry's.
  IRegistry& As(Caller caller, View view = View::kProcess);

  // Setting up and inspecting. Paths start with a root's short name ("HKCR",
  // "HKCU", "HKLM", "HKU", "HKPD", "HKCC", "HKDD") and separate keys with
  // backslashes. A value name of "" is the default value.
  void AddKey(const WString& path);
  void AddValue(const WString& path, const WString& name, std::uint32_t type,
                const std::vector<std::uint8_t>& data);
  // `text` as UTF-16 with its terminating zero, a value of type `type`.
  void AddStringValue(const WString& path, const WString& name, const WString& text,
                      std::uint32_t type = regtype::kString);
  // Opening the key for writing, creating or writing under it, and deleting
  // it are then refused with ERROR_ACCESS_DENIED.
  void SetReadOnly(const WString& path);
  // Every later call of `op` fails with `error` (0 clears it). A failed close
  // still closes the handle.
  void SetFailure(Operation op, std::int32_t error);

  bool KeyExists(const WString& path) const;
  const Value* FindValue(const WString& path, const WString& name) const;
  // Every key and value below the roots, one line each, in insertion order
  // (the physical trees: a 32-bit view's keys show under Wow6432Node):
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
  struct Lens;
  class Session;
  // Where a key lives: its own node, and for a key of the merged classes
  // root whose subkeys merge, the machine's key whose subkeys show beside
  // the per-user key's.
  struct Place {
    std::shared_ptr<Node> node;
    std::shared_ptr<Node> mergedMachine;
  };
  struct Handle {
    Place place;
    std::uint32_t access = 0;
    RegKey root = kNoKey;
    std::vector<WString> logical;  // the path below `root` as the caller named it
    bool view32 = false;
  };

  std::int32_t Injected(Operation op);
  std::int32_t Resolve(const Lens& lens, RegKey key, Handle* handle);
  std::int32_t Locate(const Lens& lens, RegKey root, const std::vector<WString>& logical, bool view32,
                      Place* place) const;
  std::shared_ptr<Node> RootNode(RegKey key) const;
  RegKey NewHandle(const Handle& handle);
  std::shared_ptr<Node> FindPath(const WString& path, bool create) const;

  std::int32_t DoOpen(const Lens& lens, RegKey parent, const char16_t* name, std::uint32_t access, RegKey* key);
  std::int32_t DoCreate(const Lens& lens, RegKey parent, const char16_t* name, std::uint32_t access, RegKey* key);
  std::int32_t DoClose(RegKey key);
  std::int32_t DoSetValue(const Lens& lens, RegKey key, const char16_t* name, std::uint32_t type, const void* data,
                          std::uint32_t bytes);
  std::int32_t DoDeleteValue(const Lens& lens, RegKey key, const char16_t* name);
  std::int32_t DoDeleteKey(const Lens& lens, RegKey parent, const char16_t* name);
  std::int32_t DoEnumKey(const Lens& lens, RegKey key, std::uint32_t index, char16_t* name, std::uint32_t* length);
  std::int32_t DoQuerySubkeyCount(const Lens& lens, RegKey key, std::uint32_t* count);
  std::int32_t DoQueryValue(const Lens& lens, RegKey key, const char16_t* name, std::uint32_t* type, void* data,
                            std::uint32_t* bytes);
  std::int32_t DoEnumValue(const Lens& lens, RegKey key, std::uint32_t index, char16_t* name,
                           std::uint32_t* length);
  std::int32_t DoOverrideClassesRoot(const Lens& lens, RegKey key);

  // Where HKEY_CLASSES_ROOT leads while it is mapped: a root and the path
  // below it, as the mapped key was opened.
  struct ClassesOverride {
    bool set = false;
    RegKey root = kNoKey;
    std::vector<WString> logical;
  };

  std::vector<std::shared_ptr<Node>> m_roots;
  std::vector<std::unique_ptr<Session>> m_sessions;
  std::map<RegKey, Handle> m_handles;
  RegKey m_nextHandle = 0x1000;
  std::size_t m_handleErrors = 0;
  std::size_t m_calls = 0;
  std::size_t m_mutations = 0;
  ClassesOverride m_classesOverride;
  std::int32_t m_failures[static_cast<int>(Operation::kCount)] = {};
};

}  // namespace stavora
