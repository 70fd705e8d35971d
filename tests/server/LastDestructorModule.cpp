// A DLL for LastStaticDestructorTest: a clean-up run by LastStaticDestructor
// as Stavora.dll runs its own, ordinary static objects beside it, and a
// DllMain like Stavora.dll's; each reports to the host as it runs.
#include <windows.h>

#include "server/LastStaticDestructor.h"

namespace {

using Report = void (*)(const char* event);
Report g_report = nullptr;

void Tell(const char* event) {
  if (g_report != nullptr) g_report(event);
}

struct Ordinary {
  explicit Ordinary(const char* name) : m_name(name) {}
  ~Ordinary() { Tell(m_name); }
  const char* m_name;
};
Ordinary g_ordinary("static");

// Defined after the ordinary object: only its priority puts it first.
void CleanUp() { Tell("clean-up"); }
__attribute__((init_priority(101))) stavora::LastStaticDestructor g_last(&CleanUp);

}  // namespace

extern "C" __declspec(dllexport) void SetReport(Report report) {
  g_report = report;
  static Ordinary local("function static");  // destroyed before the others
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH) {
    Tell("detach");
    g_last.Detaching(reserved);
  }
  return TRUE;
}
