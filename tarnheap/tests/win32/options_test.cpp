// JE_MALLOC_CONF around the load of jemalloc.dll (the stand-in, which records what it
// read while loading and is unloaded after each case): retain is asked for in a form
// jemalloc accepts, and the C runtime's copies and the process environment are left
// as found.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "prim/prim.h"

namespace {
struct view {
  const char* narrow;
  const wchar_t* wide;
  std::wstring process;
  bool process_set;
};

view now() {
  wchar_t value[4096];
  SetLastError(0);
  DWORD n = GetEnvironmentVariableW(L"JE_MALLOC_CONF", value, 4096);
  bool set = n != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
  return {getenv("JE_MALLOC_CONF"), _wgetenv(L"JE_MALLOC_CONF"), std::wstring(value, n), set};
}

std::string text(const char* s) { return s != nullptr ? s : "(unset)"; }
std::wstring text(const wchar_t* s) { return s != nullptr ? s : L"(unset)"; }

struct options_case {
  const char* name;
  const wchar_t* runtime;  // set through the C runtime, which sets the process too; or null
  const wchar_t* process;  // then set in the process only, unseen by the runtime; or null
  const char* at_load;     // what jemalloc reads while it loads; null: the runtime's
                           // narrow value (in its code page) with retain appended
};

TEST(Options, RetainIsAskedForAndTheEnvironmentIsLeftAsFound) {
  std::wstring many = L"narenas:3";
  for (int i = 0; i < 110; ++i) many += L",narenas:3";
  const options_case cases[] = {
      {"unset", nullptr, nullptr, nullptr},
      {"own options", L"narenas:3", nullptr, nullptr},
      {"trailing comma", L"narenas:3,", nullptr, "narenas:3,retain:true"},
      {"longer than 1 KiB", many.c_str(), nullptr, nullptr},
      {"retain named", L"retain:false", nullptr, "retain:false"},
      {"outside the code page", L"narenas:3,junk:\u0436", nullptr, nullptr},
      {"process only", nullptr, L"narenas:3", nullptr},
      {"empty, process only", nullptr, L"", nullptr},
  };
  for (const options_case& c : cases) {
    SCOPED_TRACE(c.name);
    _wputenv(L"JE_MALLOC_CONF=");
    if (c.runtime != nullptr) _wputenv((L"JE_MALLOC_CONF=" + std::wstring(c.runtime)).c_str());
    if (c.process != nullptr) SetEnvironmentVariableW(L"JE_MALLOC_CONF", c.process);
    view before = now();
    std::string narrow_before = text(before.narrow);
    std::wstring wide_before = text(before.wide);

    jemalloc_entries e;
    ASSERT_TRUE(prim_bind_jemalloc("jemalloc.dll", &e));
    HMODULE standin = GetModuleHandleA("jemalloc.dll");
    auto seen = reinterpret_cast<const char* (*)()>(
        reinterpret_cast<void*>(GetProcAddress(standin, "standin_options_at_load")));
    std::string merged = before.narrow != nullptr && *before.narrow != '\0'
                             ? narrow_before + ",retain:true"
                             : "retain:true";
    EXPECT_EQ(text(seen()), c.at_load != nullptr ? c.at_load : merged);
    // The exported string asked for retain at the first call, and is put back after it.
    bool retain = false;
    size_t size = sizeof retain;
    EXPECT_EQ(e.mallctl("opt.retain", &retain, &size, nullptr, 0), 0);
    EXPECT_TRUE(retain);
    auto string = reinterpret_cast<const char**>(
        reinterpret_cast<void*>(GetProcAddress(standin, "je_malloc_conf")));
    EXPECT_EQ(*string, nullptr);
    FreeLibrary(standin);

    view after = now();
    EXPECT_EQ(text(after.narrow), narrow_before);
    EXPECT_EQ(text(after.wide), wide_before);
    EXPECT_EQ(after.process_set, before.process_set);
    EXPECT_EQ(after.process, before.process);
  }
  _wputenv(L"JE_MALLOC_CONF=");
}
}  // namespace
