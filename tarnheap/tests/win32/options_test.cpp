// JE_MALLOC_CONF around the load of jemalloc.dll (the stand-in, which records what it read
// while loading, unloaded after each case): retain is asked for in a form jemalloc
// accepts, and the C runtime's copies and the process environment are left as found.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "prim/prim.h"

namespace {
// The variable in the runtime's narrow and wide copies and in the process; - when unset.
std::wstring state() {
  const char* narrow = getenv("JE_MALLOC_CONF");
  const wchar_t* wide = _wgetenv(L"JE_MALLOC_CONF");
  wchar_t process[4096];
  SetLastError(0);
  DWORD n = GetEnvironmentVariableW(L"JE_MALLOC_CONF", process, 4096);
  bool set = n != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
  return (narrow ? std::wstring(narrow, narrow + strlen(narrow)) : L"-") + L"|" +
         (wide ? wide : L"-") + L"|" + (set ? std::wstring(process, n) : L"-");
}

TEST(Options, RetainIsAskedForAndTheEnvironmentIsLeftAsFound) {
  std::wstring many = L"narenas:3";
  for (int i = 0; i < 110; ++i) many += L",narenas:3";
  // Set through the runtime (which sets the process too), then in the process only; and
  // what jemalloc reads while it loads, null for the runtime's value with retain added.
  const struct {
    const wchar_t* runtime;
    const wchar_t* process;
    const char* at_load;
  } cases[] = {
      {nullptr, nullptr, nullptr},
      {L"narenas:3", nullptr, nullptr},
      {L"narenas:3,", nullptr, "narenas:3,retain:true"},
      {many.c_str(), nullptr, nullptr},  // longer than 1 KiB
      {L"retain:false", nullptr, "retain:false"},
      {L"narenas:3,junk:\u0436", nullptr, nullptr},  // outside the ANSI code page
      {nullptr, L"narenas:3", nullptr},
      {nullptr, L"", nullptr},
  };
  for (const auto& c : cases) {
    _wputenv(L"JE_MALLOC_CONF=");
    if (c.runtime != nullptr) _wputenv((L"JE_MALLOC_CONF=" + std::wstring(c.runtime)).c_str());
    if (c.process != nullptr) SetEnvironmentVariableW(L"JE_MALLOC_CONF", c.process);
    SCOPED_TRACE(testing::PrintToString(state()));
    std::wstring before = state();
    const char* narrow = getenv("JE_MALLOC_CONF");
    std::string expected = c.at_load                ? c.at_load
                           : narrow && *narrow != 0 ? std::string(narrow) + ",retain:true"
                                                    : "retain:true";

    jemalloc_entries e;
    ASSERT_TRUE(prim_bind_jemalloc("jemalloc.dll", &e));
    HMODULE standin = GetModuleHandleA("jemalloc.dll");
    auto at_load = reinterpret_cast<const char* (*)()>(
        reinterpret_cast<void*>(GetProcAddress(standin, "standin_options_at_load")));
    EXPECT_EQ(std::string(at_load() ? at_load() : "-"), expected);
    // The exported string asked for retain at the first call and was put back after it.
    bool retain = false;
    size_t size = sizeof retain;
    EXPECT_EQ(e.mallctl("opt.retain", &retain, &size, nullptr, 0), 0);
    EXPECT_TRUE(retain);
    EXPECT_EQ(*reinterpret_cast<const char**>(
                  reinterpret_cast<void*>(GetProcAddress(standin, "je_malloc_conf"))),
              nullptr);
    FreeLibrary(standin);
    EXPECT_EQ(state(), before);
  }
  _wputenv(L"JE_MALLOC_CONF=");
}
}  // namespace
