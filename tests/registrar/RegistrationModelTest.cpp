// The server's registration and unregistration, run by the product's own
// sequence with its own scripts (resources/*.rgs) over the model of Windows'
// registry: a 32-bit and a 64-bit DLL side by side on 64-bit Windows, per
// machine and per user, and a 32-bit DLL on 32-bit Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "registrar/OtherBitnessFile.h"
#include "registrar/RegistrarResults.h"
#include "RegistrarTestSupport.h"
#include "registrar/ServerRegistration.h"
#include "server/StavoraIdentity.h"
#include "tests/support/MemoryRegistry.h"
#include "tests/support/TypeLibraryModel.h"

namespace stavora {
namespace {

using Caller = MemoryRegistry::Caller;
using Lines = std::vector<std::string>;

const char16_t kAppId[] = u"{2E7B5F90-C4A1-4D83-B962-0F8A3C6D51E7}";
const char16_t kDll32[] = u"C:\\Program Files (x86)\\Kestrane\\Stavora\\Stavora.dll";
const char16_t kDll64[] = u"C:\\Program Files\\Kestrane\\Stavora\\Stavora.dll";
const std::string kClass = "CLSID\\{5D3E8C21-9B47-4F0A-8C6E-2B71D4A9E013}";

using testing_support::HrText;

// The module object's part: its one common variable.
class ModelModule final : public IRegistrationModule {
 public:
  std::int32_t AddCommonVariables(IRegistrarBase* registrar) override {
    return registrar->DefineVariable(u"APPID", kAppId);
  }
  void* ModuleInstance() const override { return nullptr; }
};

const RegistrationVariable kAppIdVariables[] = {{u"APPID", kAppId}, {nullptr, nullptr}};

// The DLL of one bitness, registering itself in the model as the DLL does on
// Windows: the same sequence, the same scripts and variables.
class ModelHost final : public IRegistrationHost {
 public:
  ModelHost(MemoryRegistry& registry, Caller caller, const std::set<WString>& files, Lines& log)
      : m_registry(registry),
        m_caller(caller),
        m_file(caller == Caller::k64On64 ? kDll64 : kDll32),
        m_files(files),
        m_log(log),
        m_typeLibrary(registry, caller, StavoraTypeLibraryFacts(), m_file) {}

  IRegistry& Registry(RegistryView view) override {
    if (view == OwnView()) return m_registry.As(m_caller);
    EXPECT_TRUE(HasOtherView()) << "the other view was opened on a platform without one";
    return m_registry.As(m_caller, view == RegistryView::k32 ? MemoryRegistry::View::k32 : MemoryRegistry::View::k64);
  }
  RegistryView OwnView() const override {
    return m_caller == Caller::k64On64 ? RegistryView::k64 : RegistryView::k32;
  }
  bool HasOtherView() const override { return m_caller != Caller::k32On32; }
  std::int32_t RunAppIdScript(bool registering, const ScriptTarget& target) override {
    return Run(testing_support::ShippedScript("StavoraApp.rgs"), kAppIdVariables, registering, target);
  }
  std::int32_t UpdateClassRows(bool registering, const ScriptTarget& target) override {
    return Run(testing_support::ShippedScript("StavoraLookup.rgs"), nullptr, registering, target);
  }
  ITypeLibraryCalls& TypeLibrary() override { return m_typeLibrary; }
  // The files as the caller sees them: a 32-bit process on 64-bit Windows
  // is sent from System32 to SysWOW64 unless it turned redirection off.
  bool FileExists(const WString& path, bool withoutRedirection) override {
    const WString system32 = u"C:\\Windows\\System32\\";
    if (m_caller == Caller::k32On64 && !withoutRedirection && path.compare(0, system32.size(), system32) == 0) {
      return m_files.count(u"C:\\Windows\\SysWOW64\\" + path.substr(system32.size())) != 0;
    }
    return m_files.count(path) != 0;
  }
  // The folders each bitness's processes are given ("WOW64 Implementation
  // Details").
  bool EnvironmentVariable(const WString& name, WString* value) override {
    const bool wow64 = m_caller == Caller::k32On64;
    const bool oneView = m_caller == Caller::k32On32;
    const WString programFiles = wow64 ? u"C:\\Program Files (x86)" : u"C:\\Program Files";
    const struct {
      const char16_t* name;
      WString value;
      bool set;
    } variables[] = {
        {u"SystemRoot", u"C:\\Windows", true},
        {u"ProgramFiles", programFiles, true},
        {u"CommonProgramFiles", programFiles + u"\\Common Files", true},
        {u"ProgramFiles(x86)", u"C:\\Program Files (x86)", !oneView},
        {u"CommonProgramFiles(x86)", u"C:\\Program Files (x86)\\Common Files", !oneView},
        {u"ProgramW6432", u"C:\\Program Files", !oneView},
        {u"CommonProgramW6432", u"C:\\Program Files\\Common Files", !oneView},
    };
    for (const auto& variable : variables) {
      if (variable.set && name == variable.name) {
        *value = variable.value;
        return true;
      }
    }
    return false;
  }
  void Log(const WString& message) override { m_log.push_back(std::string(message.begin(), message.end())); }

 private:
  std::int32_t Run(const WString& text, const RegistrationVariable* extra, bool registering,
                   const ScriptTarget& target) {
    CRegObject registrar;
    ModelModule module;
    const std::int32_t hr = DefineModuleVariables(registrar, module, extra, m_file.c_str(), false);
    if (regresult::Failed(hr)) return hr;
    return RunScriptAt(registrar, text.c_str(), registering, target);
  }

  MemoryRegistry& m_registry;
  Caller m_caller;
  WString m_file;
  const std::set<WString>& m_files;
  Lines& m_log;
  TypeLibraryModel m_typeLibrary;
};

// A machine as Windows leaves it: the classes trees with their common keys in
// both views, one other server's class, and the user's classes.
void SeedMachine(MemoryRegistry& registry) {
  for (const char16_t* root : {u"HKLM\\Software\\Classes", u"HKCU\\Software\\Classes"}) {
    const WString base = root;
    for (const char16_t* key : {u"AppID", u"CLSID", u"Interface", u"TypeLib", u"Wow6432Node\\CLSID",
                                u"Wow6432Node\\Interface"}) {
      registry.AddKey(base + u"\\" + key);
    }
  }
  registry.AddStringValue(u"HKLM\\Software\\Classes\\CLSID\\{0B0E0E0E-0000-4000-8000-000000000001}", u"", u"other");
  registry.AddKey(u"HKCU\\Software\\Microsoft");
}

Lines Sorted(Lines lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Lines of `lines` that start with `prefix`.
Lines Under(const Lines& lines, const std::string& prefix) {
  Lines out;
  for (const std::string& line : lines) {
    if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
  }
  return out;
}

std::string Text(const Lines& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

// One machine of the model with the DLLs' files on it, and what was logged.
struct ModelMachine {
  ModelMachine() {
    SeedMachine(registry);
    files = {kDll32, kDll64};
  }
  ModelHost Host(Caller caller) { return ModelHost(registry, caller, files, log); }
  std::int32_t Register(Caller caller, bool perUser) {
    ModelHost host = Host(caller);
    return RegisterModule(host, perUser);
  }
  std::int32_t Unregister(Caller caller, bool perUser) {
    ModelHost host = Host(caller);
    return UnregisterModule(host, perUser, kLookupSharedRegistration);
  }
  Lines Dump() const { return Sorted(registry.Dump()); }

  MemoryRegistry registry;
  std::set<WString> files;
  Lines log;
};

class RegistrationModelTest : public ::testing::Test, protected ModelMachine {
 protected:
  // The whole model after `caller` alone registered on a fresh machine.
  static Lines FreshRegistration(Caller caller, bool perUser) {
    ModelMachine fresh;
    EXPECT_EQ(HrText(0), HrText(fresh.Register(caller, perUser)));
    return fresh.Dump();
  }
  void ExpectNoHandlesLeft() {
    EXPECT_EQ(0u, registry.OpenHandleCount()) << "keys left open";
    EXPECT_EQ(0u, registry.HandleErrors()) << "invalid or doubly closed handles";
  }
};

TEST_F(RegistrationModelTest, ModelKeepsWindowsViewsAndMergesTheClassesRoot) {
  IRegistry& x86 = registry.As(Caller::k32On64);
  IRegistry& x64 = registry.As(Caller::k64On64);
  RegKey key = kNoKey;
  // A 32-bit caller's class key lands under Wow6432Node, its ProgID is shared.
  ASSERT_EQ(0, x86.CreateKey(regkey::kClassesRoot, u"CLSID\\{A}", regaccess::kRead | regaccess::kWrite, &key));
  x86.CloseKey(key);
  ASSERT_EQ(0, x86.CreateKey(regkey::kClassesRoot, u"Prog.Id", regaccess::kRead | regaccess::kWrite, &key));
  x86.CloseKey(key);
  EXPECT_TRUE(registry.KeyExists(u"HKLM\\Software\\Classes\\Wow6432Node\\CLSID\\{A}"));
  EXPECT_EQ(regerror::kFileNotFound, x64.OpenKey(regkey::kClassesRoot, u"CLSID\\{A}", regaccess::kRead, &key));
  ASSERT_EQ(0, x64.OpenKey(regkey::kClassesRoot, u"Prog.Id", regaccess::kRead, &key));
  x64.CloseKey(key);
  // KEY_WOW64_32KEY takes a 64-bit caller into the 32-bit view.
  ASSERT_EQ(0, x64.OpenKey(regkey::kLocalMachine, u"Software\\Classes\\CLSID\\{A}",
                           regaccess::kRead | regaccess::kView32, &key));
  x64.CloseKey(key);

  // A key that exists per user is read and written there through the merged
  // root; a new key made through it goes to the machine.
  registry.AddStringValue(u"HKCU\\Software\\Classes\\Prog.Id", u"", u"user");
  registry.AddStringValue(u"HKLM\\Software\\Classes\\Prog.Id", u"", u"machine");
  ASSERT_EQ(0, x64.OpenKey(regkey::kClassesRoot, u"Prog.Id", regaccess::kRead | regaccess::kWrite, &key));
  char16_t text[16];
  std::uint32_t bytes = sizeof(text);
  std::uint32_t type = 0;
  ASSERT_EQ(0, x64.QueryValue(key, nullptr, &type, text, &bytes));
  EXPECT_EQ(WString(u"user"), WString(text));
  ASSERT_EQ(0, x64.SetValue(key, u"V", regtype::kString, u"x", 4));
  x64.CloseKey(key);
  EXPECT_NE(nullptr, registry.FindValue(u"HKCU\\Software\\Classes\\Prog.Id", u"V"));
  ASSERT_EQ(0, x64.CreateKey(regkey::kClassesRoot, u"New.Id", regaccess::kRead | regaccess::kWrite, &key));
  x64.CloseKey(key);
  EXPECT_TRUE(registry.KeyExists(u"HKLM\\Software\\Classes\\New.Id"));
  // A key made below one that only the user has is the user's too; below a
  // key that both have and whose subkeys merge, it is the machine's.
  ASSERT_EQ(0, x64.CreateKey(regkey::kClassesRoot, u"Prog.Id\\Sub\\Deeper", regaccess::kRead | regaccess::kWrite, &key));
  x64.CloseKey(key);
  EXPECT_TRUE(registry.KeyExists(u"HKCU\\Software\\Classes\\Prog.Id\\Sub\\Deeper"));
  EXPECT_FALSE(registry.KeyExists(u"HKLM\\Software\\Classes\\Prog.Id\\Sub"));
  registry.AddKey(u"HKCU\\Software\\Classes\\TypeLib");
  registry.AddKey(u"HKLM\\Software\\Classes\\TypeLib");
  ASSERT_EQ(0, x64.CreateKey(regkey::kClassesRoot, u"TypeLib\\{L}\\1.0", regaccess::kRead | regaccess::kWrite, &key));
  x64.CloseKey(key);
  EXPECT_TRUE(registry.KeyExists(u"HKLM\\Software\\Classes\\TypeLib\\{L}\\1.0"));
  // Mapped onto the user's classes (RegOverridePredefKey), the classes root
  // is that key alone, in the caller's view, for every caller.
  RegKey user = kNoKey;
  ASSERT_EQ(0, x86.OpenKey(regkey::kCurrentUser, u"Software\\Classes", regaccess::kRead | regaccess::kWrite, &user));
  ASSERT_EQ(0, x86.OverrideClassesRoot(user));
  x86.CloseKey(user);
  EXPECT_EQ(regerror::kFileNotFound, x64.OpenKey(regkey::kClassesRoot, u"New.Id", regaccess::kRead, &key));
  ASSERT_EQ(0, x86.CreateKey(regkey::kClassesRoot, u"CLSID\\{C}", regaccess::kRead | regaccess::kWrite, &key));
  x86.CloseKey(key);
  EXPECT_TRUE(registry.KeyExists(u"HKCU\\Software\\Classes\\Wow6432Node\\CLSID\\{C}"));
  ASSERT_EQ(0, x64.OverrideClassesRoot(kNoKey));
  ASSERT_EQ(0, x64.OpenKey(regkey::kClassesRoot, u"New.Id", regaccess::kRead, &key));
  x64.CloseKey(key);

  // On 32-bit Windows there is one view, whatever the access asks.
  IRegistry& only = registry.As(Caller::k32On32);
  ASSERT_EQ(0, only.CreateKey(regkey::kLocalMachine, u"Software\\Classes\\CLSID\\{B}",
                              regaccess::kRead | regaccess::kWrite | regaccess::kView64, &key));
  only.CloseKey(key);
  EXPECT_TRUE(registry.KeyExists(u"HKLM\\Software\\Classes\\CLSID\\{B}"));
  EXPECT_FALSE(registry.KeyExists(u"HKCR\\CLSID")) << "the merged root is a view, not a tree";
  ExpectNoHandlesLeft();
}

struct SideBySide {
  bool perUser;
  Caller first;  // unregistered first
};

class SideBySideTest : public RegistrationModelTest, public ::testing::WithParamInterface<SideBySide> {};

TEST_P(SideBySideTest, UnregisteringOneBitnessLeavesTheOtherAsItsOwnRegistrationAndBothLeaveNothing) {
  const bool perUser = GetParam().perUser;
  const Caller first = GetParam().first;
  const Caller second = first == Caller::k64On64 ? Caller::k32On64 : Caller::k64On64;
  const Lines before = Dump();

  ASSERT_EQ(HrText(0), HrText(Register(Caller::k32On64, perUser)));
  ASSERT_EQ(HrText(0), HrText(Register(Caller::k64On64, perUser)));
  const std::string classes = perUser ? "HKCU\\Software\\Classes\\" : "HKLM\\Software\\Classes\\";
  const Lines both = Dump();
  EXPECT_FALSE(Under(both, classes + kClass).empty()) << "the 64-bit class key";
  EXPECT_FALSE(Under(both, classes + "Wow6432Node\\" + kClass).empty()) << "the 32-bit class key";

  ASSERT_EQ(HrText(0), HrText(Unregister(first, perUser)));
  EXPECT_EQ(Text(FreshRegistration(second, perUser)), Text(Dump()))
      << "what is left is not the remaining bitness's registration";
  EXPECT_EQ(Text({}), Text(log));

  ASSERT_EQ(HrText(0), HrText(Unregister(second, perUser)));
  EXPECT_EQ(Text(before), Text(Dump()));
  ExpectNoHandlesLeft();
}

INSTANTIATE_TEST_SUITE_P(EachScopeAndOrder, SideBySideTest,
                         ::testing::Values(SideBySide{false, Caller::k64On64}, SideBySide{false, Caller::k32On64},
                                           SideBySide{true, Caller::k64On64}, SideBySide{true, Caller::k32On64}),
                         [](const ::testing::TestParamInfo<SideBySide>& info) {
                           return std::string(info.param.perUser ? "PerUser" : "PerMachine") +
                                  (info.param.first == Caller::k64On64 ? "X64First" : "X86First");
                         });

// The type library's calls work through HKEY_CLASSES_ROOT, which writes and
// deletes a key that the user has in the user's classes: registered per user
// first, a machine registration of the library would land in the user's
// profile and a machine unregistration would remove the user's. Mapped onto
// the registration's own classes key, each scope keeps to its own, in either
// order, for either bitness; the mapping ends with the calls.
TEST_F(RegistrationModelTest, EachScopeKeepsToItsOwnClassesWhicheverWasRegisteredFirst) {
  for (Caller caller : {Caller::k64On64, Caller::k32On64}) {
    for (bool userFirst : {true, false}) {
      SCOPED_TRACE(std::string(caller == Caller::k64On64 ? "64-bit, " : "32-bit, ") +
                   (userFirst ? "per user first" : "per machine first"));
      ModelMachine machine;
      const Lines before = machine.Dump();
      const Lines userAlone = Under(FreshRegistration(caller, true), "HKCU\\");
      const Lines machineAlone = Under(FreshRegistration(caller, false), "HKLM\\");
      ASSERT_EQ(HrText(0), HrText(machine.Register(caller, userFirst)));
      ASSERT_FALSE(machine.registry.ClassesRootOverridden()) << "the classes root is still mapped";
      ASSERT_EQ(HrText(0), HrText(machine.Register(caller, !userFirst)));
      EXPECT_EQ(Text(userAlone), Text(Under(machine.Dump(), "HKCU\\")));
      EXPECT_EQ(Text(machineAlone), Text(Under(machine.Dump(), "HKLM\\")));

      // The machine's unregistration takes the machine's entries and leaves
      // the user's whole; the user's then leaves the machine as it was.
      ASSERT_EQ(HrText(0), HrText(machine.Unregister(caller, false)));
      EXPECT_EQ(Text(userAlone), Text(Under(machine.Dump(), "HKCU\\")));
      EXPECT_EQ(Text(Under(before, "HKLM\\")), Text(Under(machine.Dump(), "HKLM\\")));
      ASSERT_EQ(HrText(0), HrText(machine.Unregister(caller, true)));
      EXPECT_EQ(Text(before), Text(machine.Dump()));
      EXPECT_FALSE(machine.registry.ClassesRootOverridden());
      EXPECT_EQ(0u, machine.registry.OpenHandleCount()) << "keys left open";
      EXPECT_EQ(Text({}), Text(machine.log));
    }
  }

  // A type-library call that fails ends the mapping all the same.
  ModelMachine failing;
  failing.registry.SetReadOnly(u"HKLM\\Software\\Classes\\TypeLib");
  EXPECT_EQ(HrText(regresult::FromSystemError(regerror::kAccessDenied)),
            HrText(failing.Register(Caller::k64On64, false)));
  EXPECT_FALSE(failing.registry.ClassesRootOverridden());
  EXPECT_EQ(0u, failing.registry.OpenHandleCount()) << "keys left open";
}

TEST_F(RegistrationModelTest, UnregisteringTwiceSucceedsAndAFailedInstallIsTakenBack) {
  for (Caller caller : {Caller::k32On64, Caller::k64On64}) {
    SCOPED_TRACE(caller == Caller::k64On64 ? "64-bit" : "32-bit");
    const Lines before = Dump();
    ASSERT_EQ(HrText(0), HrText(Register(caller, false)));
    ASSERT_EQ(HrText(0), HrText(Unregister(caller, false)));
    EXPECT_EQ(HrText(0), HrText(Unregister(caller, false))) << "a second unregistration";
    EXPECT_EQ(Text(before), Text(Dump()));
  }

  // A step that fails does not stop the ones after it: the type library
  // cannot be removed, the application ID still is.
  ASSERT_EQ(HrText(0), HrText(Register(Caller::k64On64, false)));
  registry.SetReadOnly(u"HKLM\\Software\\Classes\\TypeLib\\{A1C94E72-3F58-4B6D-9E20-7C5D18F3B6A4}\\1.0\\FLAGS");
  EXPECT_EQ(HrText(regresult::FromSystemError(regerror::kAccessDenied)), HrText(Unregister(Caller::k64On64, false)));
  EXPECT_FALSE(registry.KeyExists(u"HKLM\\Software\\Classes\\AppID\\Stavora.DLL"));
  EXPECT_FALSE(registry.KeyExists(u"HKLM\\Software\\Classes\\Stavora.StavoraLookup"));

  // The class script, the second step, cannot write its class key.
  ModelMachine fresh;
  const Lines before = fresh.Dump();
  fresh.registry.SetReadOnly(u"HKLM\\Software\\Classes\\CLSID");
  ModelHost host = fresh.Host(Caller::k64On64);
  EXPECT_EQ(HrText(regresult::FromSystemError(regerror::kAccessDenied)),
            HrText(InstallModule(host, false, kLookupSharedRegistration)));
  EXPECT_EQ(Text(before), Text(fresh.Dump())) << "the failed installation left entries behind";
  ExpectNoHandlesLeft();
}

TEST_F(RegistrationModelTest, OtherViewsClassKeyIsLeftAsItIsWithItsValueTypes) {
  ASSERT_EQ(HrText(0), HrText(Register(Caller::k32On64, false)));
  // An administrator's additions to the 32-bit class key, and its server
  // path made an expandable string.
  const WString key = u"HKLM\\Software\\Classes\\Wow6432Node\\CLSID\\{5D3E8C21-9B47-4F0A-8C6E-2B71D4A9E013}";
  registry.AddStringValue(key, u"AppID", kAppId);
  registry.AddKey(key + u"\\TreatAs");
  std::vector<std::uint8_t> expand;
  for (char16_t unit : WString(u"%ProgramFiles(x86)%\\Kestrane\\Stavora\\Stavora.dll")) {
    expand.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    expand.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  expand.push_back(0);
  expand.push_back(0);
  registry.AddValue(key + u"\\InprocServer32", u"", regtype::kExpandString, expand);
  const Lines before = Dump();

  ASSERT_EQ(HrText(0), HrText(Register(Caller::k64On64, false)));
  ASSERT_EQ(HrText(0), HrText(Unregister(Caller::k64On64, false)));
  EXPECT_EQ(Text(before), Text(Dump()));
  const MemoryRegistry::Value* server = registry.FindValue(key + u"\\InprocServer32", u"");
  ASSERT_NE(nullptr, server);
  EXPECT_EQ(regtype::kExpandString, server->type);
  ExpectNoHandlesLeft();
}

// The other bitness's server file is looked for where that bitness finds
// it: a 32-bit process sees System32 as SysWOW64 and expands %ProgramFiles%
// to the x86 folder, a 64-bit process neither. Looked for as this process
// sees it, a live registration of the other bitness is taken for a dead one
// and loses its shared entries.
TEST_F(RegistrationModelTest, OtherBitnessFileIsLookedForAsThatBitnessSeesIt) {
  struct Case {
    const char* what;
    Caller unregistering;
    const char16_t* named;  // the other registration's InprocServer32
    bool expand;
    const char16_t* file;  // where that file really is
  };
  const Case cases[] = {
      {"64-bit file in System32", Caller::k32On64, u"C:\\Windows\\System32\\Stavora.dll", false,
       u"C:\\Windows\\System32\\Stavora.dll"},
      {"64-bit file in %ProgramFiles%", Caller::k32On64, u"%ProgramFiles%\\Vendor\\Stavora.dll", true,
       u"C:\\Program Files\\Vendor\\Stavora.dll"},
      {"32-bit file in System32", Caller::k64On64, u"C:\\Windows\\System32\\Stavora.dll", false,
       u"C:\\Windows\\SysWOW64\\Stavora.dll"},
      {"32-bit file in %CommonProgramFiles%", Caller::k64On64, u"%CommonProgramFiles%\\Vendor\\Stavora.dll", true,
       u"C:\\Program Files (x86)\\Common Files\\Vendor\\Stavora.dll"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Caller other = c.unregistering == Caller::k64On64 ? Caller::k32On64 : Caller::k64On64;
    const WString server = WString(u"HKLM\\Software\\Classes\\") +
                           (other == Caller::k32On64 ? u"Wow6432Node\\" : u"") +
                           u"CLSID\\{5D3E8C21-9B47-4F0A-8C6E-2B71D4A9E013}\\InprocServer32";
    const std::uint32_t type = c.expand ? regtype::kExpandString : regtype::kString;

    // The other bitness registered alone, its file where the case puts it.
    ModelMachine alone;
    alone.files = {c.file, c.unregistering == Caller::k64On64 ? kDll64 : kDll32};
    ASSERT_EQ(HrText(0), HrText(alone.Register(other, false)));
    alone.registry.AddStringValue(server, u"", c.named, type);

    ModelMachine both;
    both.files = alone.files;
    ASSERT_EQ(HrText(0), HrText(both.Register(other, false)));
    both.registry.AddStringValue(server, u"", c.named, type);
    ASSERT_EQ(HrText(0), HrText(both.Register(c.unregistering, false)));
    ASSERT_EQ(HrText(0), HrText(both.Unregister(c.unregistering, false)));
    EXPECT_EQ(Text(alone.Dump()), Text(both.Dump())) << "the other bitness's registration was not kept whole";
    EXPECT_EQ(Text({}), Text(both.log));
  }
}

// The rules at their edges, as a 64-bit process applies them to a 32-bit
// file: System32 matched without regard to case, the subfolders WOW64 leaves
// alone ("File System Redirector"), a variable that is not set, and a plain
// string left unexpanded.
TEST(OtherBitnessFile, RulesAtTheirEdges) {
  const EnvironmentLookup environment = [](const WString& name, WString* value) {
    if (name == u"SystemRoot") *value = u"C:\\Windows\\";
    else if (name == u"ProgramFiles(x86)") *value = u"C:\\Program Files (x86)";
    else return false;
    return true;
  };
  auto seen = [&](const char16_t* named, bool expand) {
    const OtherBitnessFile file = LocateOtherBitnessFile(named, expand, RegistryView::k64, environment);
    return std::string(file.path.begin(), file.path.end()) + (file.withoutRedirection ? " (unredirected)" : "");
  };
  EXPECT_EQ("C:\\Windows\\SysWOW64\\a\\S.dll", seen(u"c:\\windows\\SYSTEM32\\a\\S.dll", false));
  EXPECT_EQ("C:\\Windows\\System32\\drivers\\etc\\S.dll", seen(u"C:\\Windows\\System32\\drivers\\etc\\S.dll", false));
  EXPECT_EQ("C:\\Windows\\System32\\spool\\S.dll", seen(u"C:\\Windows\\System32\\spool\\S.dll", false));
  EXPECT_EQ("C:\\Windows\\SysWOW64\\catroot2x\\S.dll", seen(u"C:\\Windows\\System32\\catroot2x\\S.dll", false));
  EXPECT_EQ("C:\\Windows\\System32x\\S.dll", seen(u"C:\\Windows\\System32x\\S.dll", false));
  EXPECT_EQ("C:\\Program Files (x86)\\%Unset%\\S.dll", seen(u"%ProgramFiles%\\%Unset%\\S.dll", true));
  EXPECT_EQ("%ProgramFiles%\\S.dll", seen(u"%ProgramFiles%\\S.dll", false));
  EXPECT_EQ("50% off\\S.dll", seen(u"50% off\\S.dll", true));
  // A 32-bit process looks for a 64-bit file as it stands, unredirected.
  const OtherBitnessFile for64 =
      LocateOtherBitnessFile(u"C:\\Windows\\System32\\S.dll", false, RegistryView::k32, environment);
  EXPECT_TRUE(for64.path == u"C:\\Windows\\System32\\S.dll");
  EXPECT_TRUE(for64.withoutRedirection);
}

TEST_F(RegistrationModelTest, NothingIsKeptForARegistrationWhoseFileIsGone) {
  const Lines before = Dump();
  ASSERT_EQ(HrText(0), HrText(Register(Caller::k32On64, false)));
  const Lines ownView = Under(Dump(), "HKLM\\Software\\Classes\\Wow6432Node\\");
  ASSERT_EQ(HrText(0), HrText(Register(Caller::k64On64, false)));
  files.erase(kDll32);

  ASSERT_EQ(HrText(0), HrText(Unregister(Caller::k64On64, false)));
  // The dead registration's own keys stay where it wrote them (they are not
  // this unregistration's); nothing it shared with this one comes back.
  Lines expected = before;
  for (const std::string& line : ownView) {
    if (std::find(before.begin(), before.end(), line) == before.end()) expected.push_back(line);
  }
  EXPECT_EQ(Text(Sorted(expected)), Text(Dump()));
  ExpectNoHandlesLeft();
}

TEST_F(RegistrationModelTest, PerUserUnregistrationNeitherWritesNorReadsTheMachine) {
  // A machine registration of the 32-bit DLL, and a per-user one of the
  // 64-bit DLL; the machine's classes cannot be written.
  ASSERT_EQ(HrText(0), HrText(Register(Caller::k32On64, false)));
  const Lines userBefore = Under(Dump(), "HKCU\\");
  ASSERT_EQ(HrText(0), HrText(Register(Caller::k64On64, true)));
  const Lines machine = Under(Dump(), "HKLM\\");
  registry.SetReadOnly(u"HKLM\\Software\\Classes");

  ASSERT_EQ(HrText(0), HrText(Unregister(Caller::k64On64, true)));
  EXPECT_EQ(Text(userBefore), Text(Under(Dump(), "HKCU\\"))) << "the machine's registration was copied per user";
  EXPECT_EQ(Text(machine), Text(Under(Dump(), "HKLM\\")));
  EXPECT_EQ(Text({}), Text(log));
  ExpectNoHandlesLeft();
}

TEST_F(RegistrationModelTest, AFailedWriteBackIsLoggedAndTheUnregistrationStillSucceeds) {
  ASSERT_EQ(HrText(0), HrText(Register(Caller::k32On64, false)));
  ASSERT_EQ(HrText(0), HrText(Register(Caller::k64On64, false)));
  // Unregistration itself creates no key; the write-back does.
  registry.SetFailure(MemoryRegistry::Operation::kCreate, regerror::kAccessDenied);
  EXPECT_EQ(HrText(0), HrText(Unregister(Caller::k64On64, false)));
  registry.SetFailure(MemoryRegistry::Operation::kCreate, 0);
  EXPECT_EQ(Text({"UnregisterServer(): The other registry view's registration could not get back its shared "
                  "entries (0x80070005)."}),
            Text(log));
  EXPECT_FALSE(registry.KeyExists(u"HKLM\\Software\\Classes\\Stavora.StavoraLookup"));
  ExpectNoHandlesLeft();
}

TEST_F(RegistrationModelTest, OnOneViewUnregistrationWritesNothingBack) {
  const Lines before = Dump();
  ASSERT_EQ(HrText(0), HrText(Register(Caller::k32On32, false)));
  EXPECT_FALSE(Under(Dump(), "HKLM\\Software\\Classes\\" + kClass).empty()) << "one view: no Wow6432Node";
  // Nothing may be created or written while unregistering.
  registry.SetFailure(MemoryRegistry::Operation::kCreate, regerror::kAccessDenied);
  registry.SetFailure(MemoryRegistry::Operation::kSetValue, regerror::kAccessDenied);
  EXPECT_EQ(HrText(0), HrText(Unregister(Caller::k32On32, false)));
  EXPECT_EQ(Text(before), Text(Dump()));
  EXPECT_EQ(Text({}), Text(log));
  ExpectNoHandlesLeft();
}

// What registration writes, per machine and per user, for both bitnesses side
// by side and for the 32-bit DLL on 32-bit Windows, as recorded in
// registration-dumps.txt: a change to the scripts, the registrar or the
// sequence that changes a single key or value shows here. To record a new
// dump on purpose, run with STAVORA_RECORD_DUMPS=<file> and review its diff.
TEST_F(RegistrationModelTest, WhatRegistrationWritesIsTheRecordedRegistry) {
  std::string actual;
  for (const bool perUser : {false, true}) {
    ModelMachine both;
    ASSERT_EQ(HrText(0), HrText(both.Register(Caller::k32On64, perUser)));
    ASSERT_EQ(HrText(0), HrText(both.Register(Caller::k64On64, perUser)));
    actual += std::string("# x86 and x64 on 64-bit Windows, ") + (perUser ? "per user" : "per machine") + "\n";
    actual += Text(both.Dump());
  }
  ModelMachine only;
  ASSERT_EQ(HrText(0), HrText(only.Register(Caller::k32On32, false)));
  actual += "# x86 on 32-bit Windows, per machine\n" + Text(only.Dump());

  if (const char* record = std::getenv("STAVORA_RECORD_DUMPS")) {
    std::ofstream(record, std::ios::binary) << actual;
  }
  std::ifstream file(std::string(STAVORA_SOURCE_DIR) + "/tests/registrar/registration-dumps.txt", std::ios::binary);
  const std::string recorded((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(recorded, actual);
}

}  // namespace
}  // namespace stavora
