// The entries of a registered type library, written into the in-memory
// registry: exact keys and values, the help folder of the first registration
// kept, and a refused write reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/MemoryRegistry.h"
#include "registrar/TypeLibraryEntries.h"

namespace stavora {
namespace {

TypeLibraryFacts SampleFacts() {
  TypeLibraryFacts facts;
  facts.libId = u"{A1C94E72-3F58-4B6D-9E20-7C5D18F3B6A4}";
  facts.majorVersion = 2;
  facts.minorVersion = 10;
  facts.lcid = 0x409;
  facts.name = u"Sample 2.10 Type Library";
  facts.flags = 8;
  facts.interfaces.push_back({u"{6F2A9D14-C83B-4E57-A1D6-93E0B74C25F8}", u"ISample"});
  facts.interfaces.push_back({u"{11111111-2222-3333-4444-555555555555}", u"DSampleEvents", kDispatchProxyStub});
  return facts;
}

TEST(TypeLibraryEntries, WritesTheRegisteredLibraryAndKeepsTheFirstHelpFolder) {
  MemoryRegistry registry;
  const TypeLibraryFacts facts = SampleFacts();
  ASSERT_EQ(0, WriteTypeLibraryEntries(registry, regkey::kClassesRoot, facts, u"win64",
                                       u"C:\\Program Files\\S\\S.dll", HelpDirectoryOfPath(u"C:\\Program Files\\S\\S.dll")));
  ASSERT_EQ(0, WriteInterfaceEntries(registry, regkey::kClassesRoot, facts));
  // A second registration, of the other platform's file, adds its file only.
  ASSERT_EQ(0, WriteTypeLibraryEntries(registry, regkey::kClassesRoot, facts, u"win32",
                                       u"C:\\Program Files (x86)\\S\\S.dll", u"C:\\Program Files (x86)\\S"));
  EXPECT_EQ(0u, registry.OpenHandleCount());

  const std::string lib = "HKCR\\TypeLib\\{A1C94E72-3F58-4B6D-9E20-7C5D18F3B6A4}\\2.a";
  const std::string dual = "HKCR\\Interface\\{6F2A9D14-C83B-4E57-A1D6-93E0B74C25F8}";
  const std::string events = "HKCR\\Interface\\{11111111-2222-3333-4444-555555555555}";
  const std::vector<std::string> expected = {
      "HKCR\\TypeLib",
      "HKCR\\TypeLib\\{A1C94E72-3F58-4B6D-9E20-7C5D18F3B6A4}",
      lib,
      lib + " @ = S:Sample 2.10 Type Library",
      lib + "\\409",
      lib + "\\409\\win64",
      lib + "\\409\\win64 @ = S:C:\\Program Files\\S\\S.dll",
      lib + "\\409\\win32",
      lib + "\\409\\win32 @ = S:C:\\Program Files (x86)\\S\\S.dll",
      lib + "\\FLAGS",
      lib + "\\FLAGS @ = S:8",
      lib + "\\HELPDIR",
      lib + "\\HELPDIR @ = S:C:\\Program Files\\S",
      "HKCR\\Interface",
      dual,
      dual + " @ = S:ISample",
      dual + "\\ProxyStubClsid",
      dual + "\\ProxyStubClsid @ = S:{00020424-0000-0000-C000-000000000046}",
      dual + "\\ProxyStubClsid32",
      dual + "\\ProxyStubClsid32 @ = S:{00020424-0000-0000-C000-000000000046}",
      dual + "\\TypeLib",
      dual + "\\TypeLib @ = S:{A1C94E72-3F58-4B6D-9E20-7C5D18F3B6A4}",
      dual + "\\TypeLib Version = S:2.a",
      events,
      events + " @ = S:DSampleEvents",
      events + "\\ProxyStubClsid",
      events + "\\ProxyStubClsid @ = S:{00020420-0000-0000-C000-000000000046}",
      events + "\\ProxyStubClsid32",
      events + "\\ProxyStubClsid32 @ = S:{00020420-0000-0000-C000-000000000046}",
      events + "\\TypeLib",
      events + "\\TypeLib @ = S:{A1C94E72-3F58-4B6D-9E20-7C5D18F3B6A4}",
      events + "\\TypeLib Version = S:2.a",
  };
  std::vector<std::string> dump = registry.Dump();
  std::sort(dump.begin(), dump.end());
  std::vector<std::string> sorted = expected;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, dump);
}

TEST(TypeLibraryEntries, RefusedWriteIsReported) {
  MemoryRegistry registry;
  registry.SetFailure(MemoryRegistry::Operation::kSetValue, regerror::kAccessDenied);
  EXPECT_EQ(regerror::kAccessDenied,
            WriteTypeLibraryEntries(registry, regkey::kClassesRoot, SampleFacts(), u"win64", u"C:\\S.dll", u"C:"));
  EXPECT_EQ(regerror::kAccessDenied, WriteInterfaceEntries(registry, regkey::kClassesRoot, SampleFacts()));
  EXPECT_EQ(0u, registry.OpenHandleCount());
}

}  // namespace
}  // namespace stavora
