// A clean-up that runs after every other static destructor of the module,
// and only when the module is unloaded by FreeLibrary (at process exit the
// memory goes with the process). Windows only.
#pragma once

namespace stavora {

// Define one object of this class with init_priority(101): constructed
// before every other static object of the module, it is destroyed after all
// of them. The runtime runs the static destructors after DllMain has seen
// DLL_PROCESS_DETACH, so DllMain only says how the module is being unloaded.
class LastStaticDestructor {
 public:
  using CleanUp = void (*)();

  // Not constexpr: the object is made with the other dynamic initialisers of
  // its priority, so its destructor is registered ahead of theirs.
  explicit LastStaticDestructor(CleanUp cleanUp) : m_cleanUp(cleanUp) {}
  ~LastStaticDestructor() {
    if (m_freedByFreeLibrary) m_cleanUp();
  }
  LastStaticDestructor(const LastStaticDestructor&) = delete;
  LastStaticDestructor& operator=(const LastStaticDestructor&) = delete;

  // From DllMain's DLL_PROCESS_DETACH: `reserved` as it was given (null when
  // FreeLibrary unloads the module).
  void Detaching(const void* reserved) { m_freedByFreeLibrary = reserved == nullptr; }

 private:
  CleanUp m_cleanUp;
  bool m_freedByFreeLibrary = false;
};

}  // namespace stavora
